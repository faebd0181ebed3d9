#include "TraceData/SyslogRecord.h"

#include <strings.h>

#include "TraceData/ControlEvents.h"
#include "TraceData/JsonRecord.h"

namespace {

constexpr int kFacilityUser = 1;
constexpr size_t kMaxHostLength = 255;
constexpr size_t kMaxMsgIdLength = 32;

// A header field: printable ASCII only, at most `maxLength`, "-" when empty.
void AppendHeaderField(std::string& out, std::string_view text, size_t maxLength) {
  if (text.empty()) {
    out += '-';
    return;
  }
  if (text.size() > maxLength) text = text.substr(0, maxLength);
  for (char c : text) out += (c >= 33 && c <= 126) ? c : '_';
}

void AppendParam(std::string& out, const char* name, std::string_view value) {
  out += ' ';
  out += name;
  out += "=\"";
  AppendSdParamValue(out, value);
  out += '"';
}

}  // namespace

int SyslogSeverity(std::string_view label) {
  struct Level {
    const char* word;
    int severity;
  };
  static constexpr Level kLevels[] = {{"error", 3}, {"warning", 4}, {"debug", 7}};
  for (const Level& level : kLevels)
    if (label.size() == std::char_traits<char>::length(level.word) &&
        strncasecmp(label.data(), level.word, label.size()) == 0)
      return level.severity;
  return 6;
}

void AppendSdParamValue(std::string& out, std::string_view text) {
  const auto special = [](unsigned char c) { return c == '"' || c == '\\' || c == ']'; };
  AppendUtf8(out, text, "\xEF\xBF\xBD" /* U+FFFD */, special, [&](unsigned char c) {
    out += '\\';
    out += static_cast<char>(c);
  });
}

void AppendSyslogRecord(std::string& out, const DecodedRecord& record, const SyslogRecordFormat& format) {
  std::string message;
  message.reserve(160 + record.m_Message.size());
  const int severity = record.m_IsControl ? 6 : SyslogSeverity(record.m_Label);
  message += '<';
  message += std::to_string(kFacilityUser * 8 + severity);
  message += ">1 ";
  if (record.m_HasTimestamp)
    AppendIsoTime(message, record.m_Timestamp, true);
  else
    message += '-';
  message += ' ';
  AppendHeaderField(message, format.m_Host.empty() ? std::string_view(record.m_Host) : format.m_Host,
                    kMaxHostLength);
  message += ' ';
  AppendHeaderField(message, format.m_AppName, 48);
  message += ' ';
  if (record.m_ProcessId != 0)
    message += std::to_string(record.m_ProcessId);
  else
    message += '-';
  message += ' ';
  AppendHeaderField(message,
                    record.m_IsControl ? std::string_view("control") : std::string_view(record.m_Label),
                    kMaxMsgIdLength);
  message += " [";
  message += format.m_SdId;
  AppendParam(message, "seq", std::to_string(record.m_SequenceNumber));
  AppendParam(message, "tid", std::to_string(record.m_ThreadId));
  AppendParam(message, "module", record.m_Module);
  AppendParam(message, "label", record.m_Label);
  AppendParam(message, "client", record.m_Client);
  if (record.m_IsControl) {
    const char* name = ControlEventName(record.m_Control.m_Code);
    AppendParam(message, "control", name ? name : "unknown");
  }
  message += ']';
  const std::string text = record.m_IsControl ? ControlMessageText(record) : record.m_Message;
  if (!text.empty()) {
    message += ' ';
    message += text;
  }
  out += std::to_string(message.size());
  out += ' ';
  out += message;
}
