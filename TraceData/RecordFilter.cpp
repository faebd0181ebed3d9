#include "TraceData/RecordFilter.h"

#include <cctype>
#include <ctime>
#include <stdexcept>

namespace {

uint64_t RecordTime(const DecodedRecord& record) {
  return uint64_t{record.m_Timestamp.m_Seconds} * 1000 + record.m_Timestamp.m_Milliseconds % 1000;
}

[[noreturn]] void Invalid(const std::string& what, const std::string& text) {
  throw std::invalid_argument("invalid " + what + " \"" + text + "\"");
}

// Reads exactly `digits` decimal digits at `at`; false when they are not there.
bool Digits(const std::string& text, size_t& at, size_t digits, int& value) {
  if (at + digits > text.size()) return false;
  value = 0;
  for (size_t i = 0; i < digits; ++i) {
    const char c = text[at + i];
    if (!std::isdigit(static_cast<unsigned char>(c))) return false;
    value = value * 10 + (c - '0');
  }
  at += digits;
  return true;
}

bool Expect(const std::string& text, size_t& at, char c) {
  if (at >= text.size() || text[at] != c) return false;
  ++at;
  return true;
}

uint64_t ParseRelative(const std::string& text, uint64_t nowMs) {
  size_t at = 1;
  uint64_t amount = 0;
  size_t digits = 0;
  while (at < text.size() && std::isdigit(static_cast<unsigned char>(text[at]))) {
    amount = amount * 10 + static_cast<uint64_t>(text[at++] - '0');
    if (++digits > 9) Invalid("time", text);
  }
  if (digits == 0) Invalid("time", text);
  const std::string unit = text.substr(at);
  uint64_t seconds;
  if (unit == "s" || unit == "sec") {
    seconds = 1;
  } else if (unit == "m" || unit == "min") {
    seconds = 60;
  } else if (unit == "h") {
    seconds = 3600;
  } else if (unit == "d") {
    seconds = 86400;
  } else {
    Invalid("time", text);
  }
  const uint64_t back = amount * seconds * 1000;
  return back > nowMs ? 0 : nowMs - back;
}

uint64_t ParseAbsolute(const std::string& text) {
  size_t at = 0;
  int year, month, day, hour = 0, minute = 0, second = 0, milliseconds = 0;
  if (!Digits(text, at, 4, year) || !Expect(text, at, '-') || !Digits(text, at, 2, month) ||
      !Expect(text, at, '-') || !Digits(text, at, 2, day))
    Invalid("time", text);
  if (at < text.size()) {
    if (text[at] != 'T' && text[at] != ' ') Invalid("time", text);
    ++at;
    if (!Digits(text, at, 2, hour) || !Expect(text, at, ':') || !Digits(text, at, 2, minute))
      Invalid("time", text);
    if (Expect(text, at, ':')) {
      if (!Digits(text, at, 2, second)) Invalid("time", text);
      if (Expect(text, at, '.') && !Digits(text, at, 3, milliseconds)) Invalid("time", text);
    }
  }
  bool zoned = false;
  long offsetSeconds = 0;
  if (Expect(text, at, 'Z')) {
    zoned = true;
  } else if (at < text.size() && (text[at] == '+' || text[at] == '-')) {
    const long sign = text[at++] == '-' ? -1 : 1;
    int offsetHours, offsetMinutes;
    if (!Digits(text, at, 2, offsetHours)) Invalid("time", text);
    Expect(text, at, ':');
    if (!Digits(text, at, 2, offsetMinutes) || offsetHours > 23 || offsetMinutes > 59) Invalid("time", text);
    zoned = true;
    offsetSeconds = sign * (offsetHours * 3600L + offsetMinutes * 60L);
  }
  if (at != text.size()) Invalid("time", text);
  if (year < 1970 || month < 1 || month > 12 || day < 1 || day > 31 || hour > 23 || minute > 59 ||
      second > 60)
    Invalid("time", text);

  tm broken{};
  broken.tm_year = year - 1900;
  broken.tm_mon = month - 1;
  broken.tm_mday = day;
  broken.tm_hour = hour;
  broken.tm_min = minute;
  broken.tm_sec = second;
  broken.tm_isdst = -1;
  time_t seconds = zoned ? timegm(&broken) : mktime(&broken);
  // Normalisation moves impossible dates (February 30th) to another day.
  if (seconds == static_cast<time_t>(-1) || broken.tm_mday != day || broken.tm_mon != month - 1)
    Invalid("time", text);
  seconds -= offsetSeconds;
  if (seconds < 0) Invalid("time", text);
  return static_cast<uint64_t>(seconds) * 1000 + static_cast<uint64_t>(milliseconds);
}

}  // namespace

bool RecordFilter::Empty() const {
  return m_ProcessIds.empty() && m_ThreadIds.empty() && m_Modules.empty() && m_Labels.empty() &&
         m_Clients.empty() && !m_Since && !m_Until && m_Grep.empty();
}

bool RecordFilter::Matches(const DecodedRecord& record) const {
  if (m_Since || m_Until) {
    if (!record.m_HasTimestamp) return false;
    const uint64_t time = RecordTime(record);
    if (m_Since && time < *m_Since) return false;
    if (m_Until && time > *m_Until) return false;
  }
  if (record.m_IsControl) {
    // Selected by the pid it concerns; without a pid criterion only when no
    // criterion on the record's content is set either.
    if (m_ProcessIds.empty())
      return m_ThreadIds.empty() && m_Modules.empty() && m_Labels.empty() && m_Clients.empty() &&
             m_Grep.empty();
    return m_ProcessIds.contains(record.m_Control.m_ProcessId) || m_ProcessIds.contains(record.m_ProcessId);
  }
  if (!m_ProcessIds.empty() && !m_ProcessIds.contains(record.m_ProcessId)) return false;
  if (!m_ThreadIds.empty() && !m_ThreadIds.contains(record.m_ThreadId)) return false;
  if (!m_Modules.empty() && !m_Modules.contains(record.m_Module)) return false;
  if (!m_Labels.empty() && !m_Labels.contains(record.m_Label)) return false;
  if (!m_Clients.empty() && !m_Clients.contains(record.m_Client)) return false;
  return m_Grep.empty() || record.m_Message.find(m_Grep) != std::string::npos;
}

uint64_t ParseFilterTime(const std::string& text, uint64_t nowMs) {
  if (!text.empty() && text[0] == '-') return ParseRelative(text, nowMs);
  return ParseAbsolute(text);
}

uint32_t ParseFilterId(const std::string& text) {
  if (text.empty() || text.size() > 10) Invalid("id", text);
  uint64_t value = 0;
  for (char c : text) {
    if (!std::isdigit(static_cast<unsigned char>(c))) Invalid("id", text);
    value = value * 10 + static_cast<uint64_t>(c - '0');
  }
  if (value > UINT32_MAX) Invalid("id", text);
  return static_cast<uint32_t>(value);
}
