#include "TraceData/CsvRecord.h"

#include "TraceData/ControlEvents.h"
#include "TraceData/JsonRecord.h"

namespace {
constexpr std::string_view kReplacement = "\xEF\xBF\xBD";  // U+FFFD
}

const std::string& CsvHeader() {
  static const std::string kHeader =
      "time,seq,host,pid,tid,module,label,client,message,control_code,control_name\r\n";
  return kHeader;
}

void AppendCsvField(std::string& out, std::string_view text) {
  const bool quote = text.find_first_of(",\"\r\n") != std::string_view::npos;
  if (quote) out += '"';
  const auto special = [](unsigned char c) { return c == '"' || c == 0; };
  AppendUtf8(out, text, kReplacement, special, [&](unsigned char c) {
    // NUL bytes become U+FFFD: strict readers refuse them.
    out += c == '"' ? std::string_view("\"\"") : kReplacement;
  });
  if (quote) out += '"';
}

void AppendCsvRecord(std::string& out, const DecodedRecord& record, bool utc) {
  if (record.m_HasTimestamp) AppendIsoTime(out, record.m_Timestamp, utc);
  out += ',';
  out += std::to_string(record.m_SequenceNumber);
  out += ',';
  AppendCsvField(out, record.m_Host);
  out += ',';
  out += std::to_string(record.m_ProcessId);
  out += ',';
  out += std::to_string(record.m_ThreadId);
  out += ',';
  if (record.m_IsControl) {
    out += ",,";
    AppendCsvField(out, record.m_Client);
    out += ',';
    AppendCsvField(out, ControlMessageText(record));
    out += ',';
    out += std::to_string(record.m_Control.m_Code);
    out += ',';
    const char* name = ControlEventName(record.m_Control.m_Code);
    out += name ? name : "unknown";
  } else {
    AppendCsvField(out, record.m_Module);
    out += ',';
    AppendCsvField(out, record.m_Label);
    out += ',';
    AppendCsvField(out, record.m_Client);
    out += ',';
    AppendCsvField(out, record.m_Message);
    out += ",,";
  }
  out += "\r\n";
}
