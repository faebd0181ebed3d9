#pragma once
// Reading a trace ring back the way the dispatcher does: take every stored
// byte, then walk the records with the trace data readers.

#include <cstdint>
#include <cstring>
#include <optional>
#include <string>
#include <vector>

#include "MemoryStream/CircularMemoryInputStream.h"
#include "MemoryStream/MemoryInputStream.h"
#include "TraceData/TraceRecordReader.h"
#include "TraceData/TraceStructures.h"

namespace kivtest {

struct ReadRecord {
  uint32_t sequence = 0;
  std::vector<uint8_t> bytes;  // the whole record as stored
  std::optional<TraceTimestamp> timestamp;
  std::optional<uint32_t> threadId;
  std::optional<std::string> module, label, client, text;
  uint32_t control = 0;  // control code of a dispatcher's record, else 0
  uint32_t controlPid = 0;
  uint32_t blockPid = 0;  // set by readers of blocks
};

struct RecordFieldCollector {
  ReadRecord* r;
  void OnRead(std::string_view s, uint16_t id) {
    using namespace TracePacketShared;
    std::string v(s);
    if (id == ModuleName) r->module = v;
    if (id == LabelName) r->label = v;
    if (id == ClientName) r->client = v;
    if (id == MessageText) r->text = v;
  }
  void OnRead(uint32_t value, uint16_t id) {
    if (id == TracePacketShared::ThreadId) r->threadId = value;
  }
  void OnRead(const uint8_t* data, uint32_t length, uint16_t id) {
    if (id == TracePacketShared::Timestamp && length == sizeof(TraceTimestamp)) {
      TraceTimestamp t;
      std::memcpy(&t, data, sizeof t);
      r->timestamp = t;
    }
    if (id == TracePacketShared::ControlMessage && length == sizeof(ControlMessagePacketHeader)) {
      ControlMessagePacketHeader c;
      std::memcpy(&c, data, sizeof c);
      r->control = c.m_Code;
      r->controlPid = c.m_ProcessId;
    }
  }
};

// Parses a run of whole records; raises when the bytes are not exactly that.
inline std::vector<ReadRecord> ParseRecords(const std::vector<uint8_t>& bytes) {
  std::vector<ReadRecord> out;
  MemoryInputStream in(bytes.data(), static_cast<uint32_t>(bytes.size()));
  while (in.GetDataLength() > 0) {
    const uint32_t start = static_cast<uint32_t>(bytes.size()) - in.GetDataLength();
    TraceRecordReader reader;
    reader.Process(in);
    ReadRecord r;
    r.sequence = reader.GetSequenceNumber();
    const uint32_t end = static_cast<uint32_t>(bytes.size()) - in.GetDataLength();
    r.bytes.assign(bytes.begin() + start, bytes.begin() + end);
    RecordFieldCollector collector{&r};
    reader.Deserialize(collector);
    out.push_back(std::move(r));
  }
  return out;
}

// Takes every byte stored in the ring at `region` (a drain, as the
// dispatcher's trace server makes).
inline std::vector<uint8_t> DrainRing(void* region, size_t length) {
  CircularMemoryInputStream ring(region, length);
  std::vector<uint8_t> bytes(ring.GetDataLength());
  if (!bytes.empty()) ring.read(bytes.data(), bytes.size());
  return bytes;
}

}  // namespace kivtest
