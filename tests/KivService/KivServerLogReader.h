#pragma once
// Reads the dispatcher's binary log files back for tests: every record of
// every block, in the order written (no re-ordering), with its block's
// process id and the file it came from.

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "MemoryStream/MemoryInputStream.h"
#include "MultiFileStream/KivFileOutputSupport.h"
#include "TestSupport/Sandbox.h"
#include "TraceData/TracePacket.h"
#include "TraceData/TraceRecordReader.h"
#include "TraceData/TraceStructures.h"

namespace kivtest {

struct LogRecord {
  uint32_t sequence = 0;
  uint32_t blockPid = 0;
  uint32_t control = 0;  // control code, 0 for a client record
  uint32_t controlPid = 0;
  std::string text;
  std::string module;
  size_t file = 0;  // index into the file list, oldest first
  bool IsControl(uint32_t code) const { return control == code; }
};

struct LogContents {
  std::vector<std::string> files;
  std::vector<LogRecord> records;
  // Records of control code `code` (any code when 0).
  std::vector<LogRecord> Controls(uint32_t code = 0) const {
    std::vector<LogRecord> out;
    for (const auto& r : records)
      if (r.control != 0 && (code == 0 || r.control == code)) out.push_back(r);
    return out;
  }
  std::vector<LogRecord> FromBlockPid(uint32_t pid) const {
    std::vector<LogRecord> out;
    for (const auto& r : records)
      if (r.blockPid == pid && r.control == 0) out.push_back(r);
    return out;
  }
  // Position of the first record with this sequence number, or -1.
  long IndexOf(uint32_t sequence) const {
    for (size_t i = 0; i < records.size(); ++i)
      if (records[i].sequence == sequence) return static_cast<long>(i);
    return -1;
  }
};

namespace detail {
struct FieldCollector {
  LogRecord* record;
  void OnRead(std::string_view text, uint16_t id) {
    if (id == TracePacketShared::MessageText) record->text.assign(text);
    if (id == TracePacketShared::ModuleName) record->module.assign(text);
  }
  void OnRead(uint32_t, uint16_t) {}
  void OnRead(const uint8_t* data, uint32_t length, uint16_t id) {
    if (id == TracePacketShared::ControlMessage && length == sizeof(ControlMessagePacketHeader)) {
      ControlMessagePacketHeader control;
      std::memcpy(&control, data, sizeof control);
      record->control = control.m_Code;
      record->controlPid = control.m_ProcessId;
    }
  }
};
}  // namespace detail

// Calls onBlock(fileIndex, header, body, bodyLength) for every block of the
// binary log files `paths` (oldest first), in file order. A block cut short at
// the end of the newest file is one the running dispatcher is still writing,
// and is left out; one cut short anywhere else raises.
template <class OnBlock>
void ForEachLogBlock(const std::vector<std::string>& paths, OnBlock&& onBlock) {
  for (size_t f = 0; f < paths.size(); ++f) {
    const std::string bytes = ReadFile(paths[f]);
    if (bytes.size() < KivBinaryFileOutputSupport::HeaderSize) continue;
    MemoryInputStream in(bytes.data() + KivBinaryFileOutputSupport::HeaderSize,
                         static_cast<uint32_t>(bytes.size() - KivBinaryFileOutputSupport::HeaderSize));
    while (in.GetDataLength() > 0) {
      TraceBlockHeader header;
      const uint8_t* body = nullptr;
      try {
        TracePacketDeserializer<MemoryInputStream> packet(in);
        packet.ReadAttributes();
        packet >> header;
        body = in.ReadView(header.m_BodyLength);
      } catch (const std::logic_error&) {
        if (f + 1 == paths.size()) break;
        throw;
      }
      onBlock(f, header, body, header.m_BodyLength);
    }
  }
}

// The files of `directory` whose names start with `prefix`, oldest first.
inline std::vector<std::string> LogFiles(const std::string& directory, const std::string& prefix) {
  std::vector<std::string> out;
  for (const auto& name : ListDir(directory))
    if (name.rfind(prefix, 0) == 0) out.push_back(directory + name);
  return out;
}

// Every record of the "kivlog-LOCAL*" files of `directory` (binary format).
inline LogContents ReadBinaryLog(const std::string& directory) {
  LogContents log;
  log.files = LogFiles(directory, "kivlog-LOCAL");
  ForEachLogBlock(log.files,
                  [&](size_t f, const TraceBlockHeader& header, const uint8_t* data, uint32_t length) {
                    MemoryInputStream body(data, length);
                    while (body.GetDataLength() > 0) {
                      TraceRecordReader reader;
                      reader.Process(body);
                      LogRecord record;
                      record.sequence = reader.GetSequenceNumber();
                      record.blockPid = header.m_ProcessId;
                      record.file = f;
                      detail::FieldCollector collector{&record};
                      reader.Deserialize(collector);
                      log.records.push_back(std::move(record));
                    }
                  });
  return log;
}

// Binary log configuration with the log files in <sandbox>/log.
inline std::string BinaryLogConfig(bool statusTrace = true) {
  return std::string(R"(<?xml version="1.0"?>
<KIVConfig trace="1">
  <Logfile path="$(OLVAN_VORNEL_DIR)/log" size="1024" maxbackups="50" preserve_size="2048"
           preserve_maxbackups="50" log_format="binary"/>
  <StatusTrace state=")") +
         (statusTrace ? "on" : "off") + R"("/>
  <Network mode="none"/>
</KIVConfig>
)";
}

}  // namespace kivtest
