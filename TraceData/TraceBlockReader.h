#pragma once
// Reads trace blocks and delivers their records, in ascending sequence order
// within each block, to a record consumer (callbacks in TracePacketReader.h).
//
// The input offers read(destination, length) (exactly `length` bytes or
// raise) and GetDataLength() (bytes still unread), which bounds every length
// taken from the input before anything is allocated. Inputs over memory that
// also offer ReadView(length) are read in place, without a copy.

#include <cstdint>
#include <cstring>
#include <exception>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "MemoryStream/MemoryInputStream.h"
#include "Support/Logging.h"
#include "Support/Validation2Exception.h"
#include "TraceData/ReOrderer.h"
#include "TraceData/TracePacket.h"
#include "TraceData/TraceRecordReader.h"
#include "TraceData/TraceStructures.h"

// What the consumer is told about every record besides its body: the
// block's host name and process id, fed before the body so that fields in
// the body override them. A record whose delivery fails is dropped alone.
template <class Client>
class ReOrdererHelper {
 public:
  explicit ReOrdererHelper(Client& client) : m_Client(client) {}

  void SetBlock(std::string_view hostName, uint32_t processId) {
    m_HostName = hostName;
    m_ProcessId = processId;
  }

  // False when the record's body could not be delivered whole (damage, or
  // the consumer failed while reading it).
  bool Process(const TraceRecordReader& record) noexcept {
    try {
      m_Client.OnRecordBegin();
      m_Client.OnRead(m_HostName, TracePacketShared::HostName);
      m_Client.OnRead(m_ProcessId, TracePacketShared::ProcessId);
      // The sequence number lives in the record header, not in a packet.
      if constexpr (requires(Client & c) { c.OnSequenceNumber(uint32_t{}); }) {
        m_Client.OnSequenceNumber(record.GetSequenceNumber());
      }
      record.Deserialize(m_Client);
    } catch (const std::exception& e) {
      KIV_DIAG_NOTHROW("TraceBlockReader: record " << record.GetSequenceNumber() << " dropped: " << e.what());
      return false;
    }
    try {
      m_Client.OnRecordEnd();
    } catch (...) {  // the consumer's callback: its failure costs this record only
    }
    return true;
  }

 private:
  Client& m_Client;
  std::string_view m_HostName;
  uint32_t m_ProcessId = 0;
};

template <class Client, uint32_t Window = 1000>
class TraceBlockReader {
 public:
  // The consumer is borrowed and must outlive the reader.
  explicit TraceBlockReader(Client& client) : m_Helper(client), m_Queue(m_Helper) {}
  TraceBlockReader(const TraceBlockReader&) = delete;
  TraceBlockReader& operator=(const TraceBlockReader&) = delete;

  // Reads exactly one block and delivers its records.
  // Raises, having delivered nothing, when the block header or body cannot
  // be read: "Invalid trace packet header", "Incorrect data length for
  // specified data type." (not a 40-byte Binary packet) or "Insufficent data
  // to read" (the declared body is longer than the input). Damage inside the
  // body ends the block quietly: the records read before it are delivered,
  // the rest of the block is dropped and counted in GetDamagedBlockCount().
  template <class InputStream>
  void Process(InputStream& input) {
    TracePacketDeserializer<InputStream> deserializer(input);
    const auto& a = deserializer.ReadAttributes();
    Validation2Exception::CheckLogic(a.m_DataType == TracePacketShared::DataType::Binary,
                                     "Incorrect data length for specified data type.");
    TraceBlockHeader header;
    deserializer >> header;
    const std::string_view host(header.m_HostName, strnlen(header.m_HostName, sizeof(header.m_HostName)));
    if (header.m_BodyLength == 0) return;

    Validation2Exception::CheckLogic(header.m_BodyLength <= static_cast<uint64_t>(input.GetDataLength()),
                                     "Insufficent data to read");
    MemoryInputStream& body = LoadBody(input, header.m_BodyLength);

    m_Helper.SetBlock(host, header.m_ProcessId);
    // Framed first, checked and decoded after: a block from one writer is
    // almost always in order already, and then each record is walked once,
    // by decoding it, with no re-ordering window.
    m_Records.clear();
    bool inOrder = true;
    bool framingDamaged = false;
    std::string framingDamage;
    while (body.GetDataLength() > 0) {
      try {
        TraceRecordReader record;
        record.Frame(body);
        if (!m_Records.empty() && record.GetSequenceNumber() < m_Records.back().GetSequenceNumber()) {
          inOrder = false;
        }
        m_Records.push_back(record);
      } catch (const std::exception& e) {
        framingDamaged = true;
        framingDamage = e.what();
        break;
      }
    }
    if (inOrder) {
      for (const TraceRecordReader& record : m_Records) {
        // A record that failed to decode is checked: damage ends the block
        // there, as the check before delivery would have; a consumer's
        // failure costs that record alone.
        if (!m_Helper.Process(record) && !Checked(record)) return;
      }
    } else {
      // Damage ends the block before anything is re-ordered across it.
      size_t intact = 0;
      while (intact < m_Records.size() && Checked(m_Records[intact])) ++intact;
      const bool damaged = intact < m_Records.size();
      try {
        for (size_t i = 0; i < intact; ++i) m_Queue.Push(m_Records[i]);
      } catch (const std::exception& e) {  // no memory for the window: what it holds still goes out
        ++m_DamagedBlocks;
        m_LastDamage = e.what();
      }
      m_Queue.Flush();
      if (damaged) return;
    }
    if (framingDamaged) Damaged(framingDamage);
  }

  // Blocks whose body was cut short by damage, and the last reason.
  uint32_t GetDamagedBlockCount() const { return m_DamagedBlocks; }
  const std::string& GetLastDamage() const { return m_LastDamage; }

 private:
  template <class InputStream>
  MemoryInputStream& LoadBody(InputStream& input, uint32_t length) {
    if constexpr (requires(InputStream & s) { s.ReadView(uint32_t{}); }) {
      m_InPlace.Assign(input.ReadView(length), length);
      return m_InPlace;
    } else {
      if (!m_Copy) m_Copy = std::make_unique<BufferedMemoryInputStream<65536>>();
      m_Copy->Load(input, length);
      return *m_Copy;
    }
  }

  // Counts damage that ends the rest of the block.
  void Damaged(const std::string& reason) {
    ++m_DamagedBlocks;
    m_LastDamage = reason;
    KIV_DIAG_NOTHROW("TraceBlockReader: rest of block dropped: " << reason);
  }
  // False, with the damage counted, for a record whose body is not a clean
  // run of packets.
  bool Checked(const TraceRecordReader& record) {
    try {
      record.Check();
      return true;
    } catch (const std::exception& e) {
      Damaged(e.what());
      return false;
    }
  }

  ReOrdererHelper<Client> m_Helper;
  ReOrderer<TraceRecordReader, ReOrdererHelper<Client>, Window> m_Queue;
  // The records of the block being read, in block order; kept for the next block.
  std::vector<TraceRecordReader> m_Records;
  MemoryInputStream m_InPlace;
  std::unique_ptr<BufferedMemoryInputStream<65536>> m_Copy;
  uint32_t m_DamagedBlocks = 0;
  std::string m_LastDamage;
};
