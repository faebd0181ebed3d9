#pragma once
// One record with every field decoded, for consumers that need the fields
// apart (filters, structured output) rather than a rendered text line.
//
//   DecodedRecordCollector collector([&](const DecodedRecord& r) { ... });
//   TraceBlockReader<DecodedRecordCollector<decltype(sink)>> reader(collector);
//   while (input.GetDataLength() > 0) reader.Process(input);
//
// Not thread-safe.

#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "TraceData/TraceStructures.h"

struct DecodedRecord {
  std::string m_Host;  // the block's host name (empty for local blocks of old writers)
  uint32_t m_SequenceNumber = 0;
  uint32_t m_ProcessId = 0;
  uint32_t m_ThreadId = 0;
  bool m_HasTimestamp = false;
  TraceTimestamp m_Timestamp;
  std::string m_Module;
  std::string m_Label;
  std::string m_Client;
  std::string m_Message;  // raw bytes as written; for a control record any text it carries
  bool m_IsControl = false;
  ControlMessagePacketHeader m_Control;

  // Back to a fresh record; keeps the strings' capacity.
  void Reset() {
    m_Host.clear();
    m_SequenceNumber = m_ProcessId = m_ThreadId = 0;
    m_HasTimestamp = false;
    m_Timestamp = TraceTimestamp();
    m_Module.clear();
    m_Label.clear();
    m_Client.clear();
    m_Message.clear();
    m_IsControl = false;
    m_Control = ControlMessagePacketHeader();
  }
};

// The record consumer of TraceBlockReader that fills one DecodedRecord and
// calls `sink(const DecodedRecord&)` at the end of each record. The sink is
// borrowed (stored by reference) and must outlive the collector.
template <class Sink>
class DecodedRecordCollector {
 public:
  explicit DecodedRecordCollector(Sink& sink) : m_Sink(sink) {}

  void OnRecordBegin() { m_Record.Reset(); }
  void OnSequenceNumber(uint32_t sequenceNumber) { m_Record.m_SequenceNumber = sequenceNumber; }

  void OnRead(std::string_view text, uint16_t id) {
    using namespace TracePacketShared;
    switch (id) {
      case MessageText:
        m_Record.m_Message.append(text);
        break;
      case HostName:
        m_Record.m_Host.assign(text);
        break;
      case ModuleName:
        m_Record.m_Module.assign(text);
        break;
      case LabelName:
        m_Record.m_Label.assign(text);
        break;
      case ClientName:
        m_Record.m_Client.assign(text);
        break;
      default:
        break;
    }
  }

  void OnRead(uint32_t value, uint16_t id) {
    if (id == TracePacketShared::ThreadId) m_Record.m_ThreadId = value;
    if (id == TracePacketShared::ProcessId) m_Record.m_ProcessId = value;
  }

  // Structures of the wrong size are ignored rather than half read.
  void OnRead(const uint8_t* data, uint32_t length, uint16_t id) {
    if (id == TracePacketShared::Timestamp && length == sizeof(TraceTimestamp)) {
      std::memcpy(&m_Record.m_Timestamp, data, sizeof(TraceTimestamp));
      m_Record.m_HasTimestamp = true;
    } else if (id == TracePacketShared::ControlMessage && length == sizeof(ControlMessagePacketHeader)) {
      std::memcpy(&m_Record.m_Control, data, sizeof(ControlMessagePacketHeader));
      m_Record.m_IsControl = true;
    }
  }

  void OnRecordEnd() { m_Sink(m_Record); }

 private:
  Sink& m_Sink;
  DecodedRecord m_Record;
};
