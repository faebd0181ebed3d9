#pragma once
// A trace record under construction (`TraceRecord<1024>`): its sequence
// number and a body of packets in a buffer whose first N bytes are inline,
// and the destination of whole blocks (`TraceBlock`).
//
//   TraceRecord<1024> record(sequence);
//   AddControlFields(record, TraceTimestamp::Now(), TracePacketShared::ClientAttached, pid, "");
//   TraceBlock<Dispatcher, 65536> block(dispatcher, 0);   // 0: this process's own id
//   record >> block;                                      // one block, one write

#include <cstdint>
#include <string_view>

#include "MemoryStream/MemoryOutputStream.h"
#include "TraceData/TracePacket.h"
#include "TraceData/TraceRecordBuilder.h"
#include "TraceData/TraceStructures.h"

template <uint32_t N>
class TraceRecord {
 public:
  explicit TraceRecord(uint32_t sequenceNumber) : m_SequenceNumber(sequenceNumber) {}
  TraceRecord(const TraceRecord&) = delete;
  TraceRecord& operator=(const TraceRecord&) = delete;

  // Appends one field packet to the body.
  template <class T>
  TraceRecord& operator<<(const TracePacket<T>& packet) {
    TracePacketSerializer<SmartBufferOutputStream<N>>(m_Body) << packet;
    return *this;
  }

  uint32_t GetSequenceNumber() const { return m_SequenceNumber; }
  uint32_t GetBodyLength() const { return m_Body.GetLength(); }
  const uint8_t* GetBody() const { return m_Body.Data(); }

  // Appends the record alone (record header packet, body) to `out`, any
  // stream with write(data, length).
  template <class OutputStream>
  void WriteTo(OutputStream& out) const {
    uint8_t header[TraceRecordBuilder::kRecordHeaderPacketSize];
    TraceRecordBuilder::BuildRecordHeader(m_SequenceNumber, m_Body.GetLength(), header);
    out.write(header, sizeof(header));
    if (m_Body.GetLength() != 0) out.write(m_Body.Data(), m_Body.GetLength());
  }

  // Writes this record as a block of its own: block header packet (the
  // block's process id), record header packet, body, all in one
  // block.write(data, length). `Block` offers GetProcessId() and write().
  template <class Block>
  const TraceRecord& operator>>(Block& block) const {
    const uint32_t recordSize = TraceRecordBuilder::kRecordHeaderPacketSize + m_Body.GetLength();
    SmartBufferOutputStream<N + TraceRecordBuilder::kBlockHeaderPacketSize +
                            TraceRecordBuilder::kRecordHeaderPacketSize>
        out;
    uint8_t* p = out.Extend(TraceRecordBuilder::kBlockHeaderPacketSize + recordSize);
    p += TraceRecordBuilder::BuildBlockHeader(TraceBlockHeader(recordSize, block.GetProcessId()), p);
    p += TraceRecordBuilder::BuildRecordHeader(m_SequenceNumber, m_Body.GetLength(), p);
    if (m_Body.GetLength() != 0) std::memcpy(p, m_Body.Data(), m_Body.GetLength());
    block.write(out.Data(), out.GetLength());
    return *this;
  }

 private:
  uint32_t m_SequenceNumber;
  SmartBufferOutputStream<N> m_Body;
};

// Adds the fields of a control record, in the order readers expect them:
// Timestamp, ControlMessage (code, process concerned), MessageText.
template <uint32_t N>
void AddControlFields(TraceRecord<N>& record, const TraceTimestamp& when, uint32_t code, uint32_t processId,
                      std::string_view text) {
  const ControlMessagePacketHeader control{code, processId};
  record << TracePacket<TraceTimestamp>(when, TracePacketShared::Timestamp)
         << TracePacket<ControlMessagePacketHeader>(control, TracePacketShared::ControlMessage)
         << TracePacket<std::string_view>(text, TracePacketShared::MessageText);
}

// The destination of blocks: a stream with write(data, length) (the trace
// stream dispatcher) and the process id its block headers carry (0: the
// writing process's own). The destination is borrowed and must outlive the
// block. The first N bytes of a block assembled by WriteRecords are inline.
template <class Destination, uint32_t N>
class TraceBlock {
 public:
  TraceBlock(Destination& destination, uint32_t processId)
      : m_Destination(destination), m_ProcessId(processId) {}
  TraceBlock(const TraceBlock&) = delete;
  TraceBlock& operator=(const TraceBlock&) = delete;

  uint32_t GetProcessId() const { return m_ProcessId; }

  // Passes an already complete block to the destination.
  void write(const void* data, uint32_t length) { m_Destination.write(data, length); }

  // Wraps `length` bytes of whole records into one block and writes it in
  // one call.
  void WriteRecords(const void* records, uint32_t length) {
    m_Buffer.Clear();
    TraceRecordBuilder::AppendBlock(m_Buffer, TraceBlockHeader(length, m_ProcessId), records);
    m_Destination.write(m_Buffer.Data(), m_Buffer.GetLength());
  }

 private:
  Destination& m_Destination;
  uint32_t m_ProcessId;
  SmartBufferOutputStream<N> m_Buffer;
};
