#pragma once
// Builds binary log file contents for the export tests: the binary note
// header followed by blocks of records with given messages.

#include <cstdint>
#include <string>
#include <vector>

#include "MultiFileStream/KivFileOutputSupport.h"
#include "TraceData/TraceRecordBuilder.h"

namespace kivtooltest {

struct StringOutput {
  std::string data;
  void write(const void* bytes, size_t length) { data.append(static_cast<const char*>(bytes), length); }
};

// Records, one per message, numbered from `sequence` on.
inline std::string Records(const std::vector<std::string>& messages, uint32_t& sequence) {
  std::string body;
  for (const std::string& message : messages) {
    TraceRecordFields fields{sequence++, TraceTimestamp::Now(), 77, "mod", "lab", "cli", message};
    uint8_t record[TraceRecordBuilder::kMaxRecordSize];
    uint32_t size = TraceRecordBuilder::BuildRecord(fields, record, sizeof record);
    body.append(reinterpret_cast<const char*>(record), size);
  }
  return body;
}

// A block of process `pid` around `body`.
inline std::string BlockAround(uint32_t pid, const std::string& body) {
  StringOutput out;
  TraceRecordBuilder::AppendBlock(out, TraceBlockHeader(static_cast<uint32_t>(body.size()), pid),
                                  body.data());
  return out.data;
}

// One block of process `pid` holding one record per message.
inline std::string Block(uint32_t pid, const std::vector<std::string>& messages, uint32_t& sequence) {
  return BlockAround(pid, Records(messages, sequence));
}

inline std::string BinaryLog(const std::vector<std::string>& blocks) {
  std::string log = KivBinaryFileOutputSupport::GetHeader();
  for (const std::string& block : blocks) log += block;
  return log;
}

}  // namespace kivtooltest

namespace kivtooltest {

// One record with every field chosen.
inline std::string Record(const TraceRecordFields& fields) {
  uint8_t record[TraceRecordBuilder::kMaxRecordSize];
  uint32_t size = TraceRecordBuilder::BuildRecord(fields, record, sizeof record);
  return std::string(reinterpret_cast<const char*>(record), size);
}

// A control record (as the dispatcher writes them) reporting event `code`
// of process `pid`.
inline std::string ControlRecord(uint32_t sequence, const TraceTimestamp& time, uint32_t code, uint32_t pid) {
  using namespace TracePacketShared;
  uint8_t body[256];
  uint32_t length = EncodePacket(body, false, DataType::Binary, Timestamp, &time, sizeof time);
  const ControlMessagePacketHeader control{code, pid};
  length += EncodePacket(body + length, false, DataType::Binary, ControlMessage, &control, sizeof control);
  length += EncodePacket(body + length, false, DataType::String, MessageText, "", 0);
  uint8_t header[TraceRecordBuilder::kRecordHeaderPacketSize];
  TraceRecordBuilder::BuildRecordHeader(sequence, length, header);
  return std::string(reinterpret_cast<const char*>(header), sizeof header) +
         std::string(reinterpret_cast<const char*>(body), length);
}

}  // namespace kivtooltest
