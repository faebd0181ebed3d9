#pragma once
// The record consumer that renders text: collects each record's fields into
// a LegacyKivRecord and writes its line to the output when the record ends,
// reporting progress first when asked to. The record borrows the names and
// message text it is given: fed from TraceRecordReader::Deserialize, they
// lie in the block buffer until the record ends.
//
// The input (for progress: GetDataLength(), the bytes still unread), the
// output (write(data, length)) and the progress stream are borrowed and must
// outlive the consumer. Not thread-safe.

#include <cstdint>
#include <cstring>
#include <string_view>

#include "TraceData/LegacyKivRecord.h"
#include "TraceData/ProgressReporter.h"
#include "TraceData/TraceStructures.h"

template <class InputStream, class Output, class ProgressStream>
class BlockReaderClient {
 public:
  BlockReaderClient(InputStream& input, Output& output, ProgressStream& progress, std::string_view separator,
                    bool showProgress)
      : m_Input(input),
        m_Output(output),
        m_Progress(progress),
        m_StartRemaining(static_cast<uint64_t>(input.GetDataLength())),
        m_Record(separator),
        m_ShowProgress(showProgress) {
    if (m_ShowProgress) m_Progress.SetProgress(Fraction());
  }

  void OnRecordBegin() { m_Record.Reset(); }

  void OnRead(std::string_view text, uint16_t id) {
    using namespace TracePacketShared;
    switch (id) {
      case MessageText:
        m_Record.AppendMessage(text);
        break;
      case ModuleName:
        m_Record.SetModuleName(text);
        break;
      case LabelName:
        m_Record.SetLabelName(text);
        break;
      case ClientName:
        m_Record.SetClientName(text);
        break;
      default:
        break;
    }
  }

  void OnRead(uint32_t value, uint16_t id) {
    if (id == TracePacketShared::ThreadId) m_Record.SetThreadId(value);
    if (id == TracePacketShared::ProcessId) m_Record.SetProcessId(value);
  }

  // Structures of the wrong size are ignored rather than half read.
  void OnRead(const uint8_t* data, uint32_t length, uint16_t id) {
    if (id == TracePacketShared::Timestamp && length == sizeof(TraceTimestamp)) {
      TraceTimestamp timestamp;
      std::memcpy(&timestamp, data, sizeof(timestamp));
      m_Record.SetTimestamp(timestamp);
    } else if (id == TracePacketShared::ControlMessage && length == sizeof(ControlMessagePacketHeader)) {
      ControlMessagePacketHeader control;
      std::memcpy(&control, data, sizeof(control));
      m_Record.AppendControlMessage(control);
    }
  }

  void OnRecordEnd() {
    if (m_ShowProgress) m_Progress.SetProgress(Fraction());
    m_Record >> m_Output;
  }

 private:
  // Part of the input consumed since rendering started; the input stands at
  // the end of the block being delivered.
  double Fraction() const {
    return ConsumedFraction(m_StartRemaining, static_cast<uint64_t>(m_Input.GetDataLength()));
  }

  InputStream& m_Input;
  Output& m_Output;
  ProgressReporter<ProgressStream> m_Progress;
  uint64_t m_StartRemaining;
  LegacyKivRecord m_Record;
  bool m_ShowProgress;
};
