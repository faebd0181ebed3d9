#include "TraceData/JsonRecord.h"

#include <cstdio>

#include "TraceData/ControlEvents.h"

namespace {

// Length of the valid UTF-8 sequence starting at text[i], or 0 when the
// bytes there are not one (overlong forms, surrogates and code points past
// U+10FFFF are not valid).
size_t Utf8SequenceLength(std::string_view text, size_t i) {
  const auto byte = [&](size_t k) { return static_cast<unsigned char>(text[k]); };
  const unsigned char lead = byte(i);
  size_t length;
  uint32_t minimum;
  uint32_t code;
  if (lead >= 0xC2 && lead <= 0xDF) {
    length = 2, minimum = 0x80, code = lead & 0x1F;
  } else if (lead >= 0xE0 && lead <= 0xEF) {
    length = 3, minimum = 0x800, code = lead & 0x0F;
  } else if (lead >= 0xF0 && lead <= 0xF4) {
    length = 4, minimum = 0x10000, code = lead & 0x07;
  } else {
    return 0;
  }
  if (i + length > text.size()) return 0;
  for (size_t k = 1; k < length; ++k) {
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
    code = (code << 6) | (byte(i + k) & 0x3F);
  }
  if (code < minimum || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) return 0;
  return length;
}

void AppendNumberField(std::string& out, const char* name, uint64_t value) {
  out += ",\"";
  out += name;
  out += "\":";
  out += std::to_string(value);
}

void AppendStringField(std::string& out, const char* name, std::string_view value) {
  out += ",\"";
  out += name;
  out += "\":";
  AppendJsonString(out, value);
}

}  // namespace

void AppendJsonString(std::string& out, std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  out += '"';
  for (size_t i = 0; i < text.size();) {
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c >= 0x80) {
      const size_t length = Utf8SequenceLength(text, i);
      if (length == 0) {
        out += "\\ufffd";
        ++i;
      } else {
        out.append(text.substr(i, length));
        i += length;
      }
      continue;
    }
    ++i;
    switch (c) {
      case '"':
        out += "\\\"";
        break;
      case '\\':
        out += "\\\\";
        break;
      case '\n':
        out += "\\n";
        break;
      case '\r':
        out += "\\r";
        break;
      case '\t':
        out += "\\t";
        break;
      case '\b':
        out += "\\b";
        break;
      case '\f':
        out += "\\f";
        break;
      default:
        if (c < 0x20 || c == 0x7F) {
          out += "\\u00";
          out += kHex[c >> 4];
          out += kHex[c & 0xF];
        } else {
          out += static_cast<char>(c);
        }
    }
  }
  out += '"';
}

void AppendIsoTime(std::string& out, const TraceTimestamp& timestamp, bool utc) {
  const time_t seconds = static_cast<time_t>(timestamp.m_Seconds);
  tm broken{};
  if (utc) {
    gmtime_r(&seconds, &broken);
  } else {
    localtime_r(&seconds, &broken);
  }
  char text[64];
  int length = std::snprintf(text, sizeof(text), "%04d-%02d-%02dT%02d:%02d:%02d.%03u", broken.tm_year + 1900,
                             broken.tm_mon + 1, broken.tm_mday, broken.tm_hour, broken.tm_min, broken.tm_sec,
                             static_cast<unsigned>(timestamp.m_Milliseconds % 1000));
  if (length < 0) return;
  out.append(text, static_cast<size_t>(length));
  if (utc) {
    out += 'Z';
    return;
  }
  const long offset = broken.tm_gmtoff / 60;
  const long magnitude = offset < 0 ? -offset : offset;
  length = std::snprintf(text, sizeof(text), "%c%02ld:%02ld", offset < 0 ? '-' : '+', magnitude / 60,
                         magnitude % 60);
  if (length > 0) out.append(text, static_cast<size_t>(length));
}

std::string ControlMessageText(const DecodedRecord& record) {
  std::string text;
  if (const char* event = ControlEventText(record.m_Control.m_Code)) {
    text = event;
  } else {
    text = "Unknown control message:" + std::to_string(record.m_Control.m_Code);
  }
  if (!record.m_Message.empty()) {
    if (!text.empty()) text += ' ';
    text += record.m_Message;
  }
  while (!text.empty() && text.back() == ' ') text.pop_back();
  return text;
}

void AppendJsonRecord(std::string& out, const DecodedRecord& record, bool utc) {
  out += "{\"time\":";
  if (record.m_HasTimestamp) {
    out += '"';
    AppendIsoTime(out, record.m_Timestamp, utc);
    out += '"';
  } else {
    out += "null";
  }
  AppendNumberField(out, "seq", record.m_SequenceNumber);
  AppendStringField(out, "host", record.m_Host);
  AppendNumberField(out, "pid", record.m_ProcessId);
  AppendNumberField(out, "tid", record.m_ThreadId);
  if (record.m_IsControl) {
    out += ",\"control\":{\"code\":";
    out += std::to_string(record.m_Control.m_Code);
    const char* name = ControlEventName(record.m_Control.m_Code);
    AppendStringField(out, "name", name ? name : "unknown");
    if (record.m_Control.m_Code == TracePacketShared::RecordsLost)
      AppendNumberField(out, "lost", RecordsLostCount(record.m_Message));
    out += '}';
    AppendStringField(out, "client", record.m_Client);
    AppendStringField(out, "message", ControlMessageText(record));
  } else {
    AppendStringField(out, "module", record.m_Module);
    AppendStringField(out, "label", record.m_Label);
    AppendStringField(out, "client", record.m_Client);
    AppendStringField(out, "message", record.m_Message);
  }
  out += "}\n";
}
