#include "TraceData/JsonRecord.h"

#include <array>
#include <charconv>
#include <cstdio>

#include "TraceData/ControlEvents.h"

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

namespace {

// `key` is the whole text before the value: ,"name":
void AppendNumberField(std::string& out, std::string_view key, uint64_t value) {
  char digits[24];
  const auto end = std::to_chars(digits, digits + sizeof digits, value).ptr;
  out += key;
  out.append(digits, static_cast<size_t>(end - digits));
}

void AppendStringField(std::string& out, std::string_view key, std::string_view value) {
  out += key;
  AppendJsonString(out, value);
}

}  // namespace

void AppendJsonString(std::string& out, std::string_view text) {
  static constexpr char kHex[] = "0123456789abcdef";
  out += '"';
  // One look-up per byte in the scan for runs that need no escape.
  static constexpr auto kSpecial = [] {
    std::array<bool, 128> table{};
    for (unsigned c = 0; c < 0x20; ++c) table[c] = true;
    table['"'] = table['\\'] = table[0x7F] = true;
    return table;
  }();
  const auto special = [](unsigned char c) { return kSpecial[c]; };
  AppendUtf8(out, text, "\\ufffd", special, [&](unsigned char c) {
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
        out += "\\u00";
        out += kHex[c >> 4];
        out += kHex[c & 0xF];
    }
  });
  out += '"';
}

void AppendIsoTime(std::string& out, const TraceTimestamp& timestamp, bool utc) {
  // Consecutive records mostly share their second; the broken-down time is
  // the costly part, so the text around the milliseconds is kept per thread.
  struct Cache {
    bool valid = false;
    bool utc = false;
    uint32_t seconds = 0;
    std::string date;  // "YYYY-MM-DDTHH:MM:SS."
    std::string zone;  // "Z" or "+HH:MM"
  };
  thread_local Cache cache;
  if (!cache.valid || cache.utc != utc || cache.seconds != timestamp.m_Seconds) {
    const time_t seconds = static_cast<time_t>(timestamp.m_Seconds);
    tm broken{};
    if (utc) {
      gmtime_r(&seconds, &broken);
    } else {
      localtime_r(&seconds, &broken);
    }
    char text[64];
    int length =
        std::snprintf(text, sizeof(text), "%04d-%02d-%02dT%02d:%02d:%02d.", broken.tm_year + 1900,
                      broken.tm_mon + 1, broken.tm_mday, broken.tm_hour, broken.tm_min, broken.tm_sec);
    if (length < 0) return;
    cache.date.assign(text, static_cast<size_t>(length));
    if (utc) {
      cache.zone.assign(1, 'Z');  // not = "Z": a false -Wrestrict in optimised builds
    } else {
      const long offset = broken.tm_gmtoff / 60;
      const long magnitude = offset < 0 ? -offset : offset;
      length = std::snprintf(text, sizeof(text), "%c%02ld:%02ld", offset < 0 ? '-' : '+', magnitude / 60,
                             magnitude % 60);
      cache.zone.assign(text, length > 0 ? static_cast<size_t>(length) : 0);
    }
    cache.valid = true;
    cache.utc = utc;
    cache.seconds = timestamp.m_Seconds;
  }
  const unsigned milliseconds = timestamp.m_Milliseconds % 1000u;
  out += cache.date;
  out += static_cast<char>('0' + milliseconds / 100);
  out += static_cast<char>('0' + milliseconds / 10 % 10);
  out += static_cast<char>('0' + milliseconds % 10);
  out += cache.zone;
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
  AppendNumberField(out, ",\"seq\":", record.m_SequenceNumber);
  AppendStringField(out, ",\"host\":", record.m_Host);
  AppendNumberField(out, ",\"pid\":", record.m_ProcessId);
  AppendNumberField(out, ",\"tid\":", record.m_ThreadId);
  if (record.m_IsControl) {
    out += ",\"control\":{\"code\":";
    out += std::to_string(record.m_Control.m_Code);
    const char* name = ControlEventName(record.m_Control.m_Code);
    AppendStringField(out, ",\"name\":", name ? name : "unknown");
    if (record.m_Control.m_Code == TracePacketShared::RecordsLost)
      AppendNumberField(out, ",\"lost\":", RecordsLostCount(record.m_Message));
    out += '}';
    AppendStringField(out, ",\"client\":", record.m_Client);
    AppendStringField(out, ",\"message\":", ControlMessageText(record));
  } else {
    AppendStringField(out, ",\"module\":", record.m_Module);
    AppendStringField(out, ",\"label\":", record.m_Label);
    AppendStringField(out, ",\"client\":", record.m_Client);
    AppendStringField(out, ",\"message\":", record.m_Message);
  }
  out += "}\n";
}
