#include "TraceData/LegacyKivRecord.h"

#include <algorithm>
#include <cstring>

#include "Support/FixedIntegerToStringConversion.h"
#include "TraceData/ControlEvents.h"

namespace {

using TwoDigits = FixedIntegerToStringConversion<0, 59, true>;

template <class Text>
void AppendTwoDigits(Text& line, uint32_t value) {
  // The table stops at 59; a leap second (60) and damaged values still
  // render as their digits.
  if (value <= 59) {
    line.Append(TwoDigits::Instance()[value]);
  } else {
    line.AddNumber(value, 2, true, false);
  }
}

// "00".."99", two characters each.
constexpr struct DigitPairs {
  char text[200];
  constexpr DigitPairs() : text() {
    for (int i = 0; i < 100; ++i) {
      text[2 * i] = static_cast<char>('0' + i / 10);
      text[2 * i + 1] = static_cast<char>('0' + i % 10);
    }
  }
} kDigitPairs;

// The decimal digits of `value`, filled in front with `Fill` to `Width`;
// longer numbers are written whole. Written backwards in place, two digits
// a step: no call, and the ids of a line are up to ten digits each.
template <uint32_t Width, char Fill>
char* PutNumber(char* at, uint32_t value) {
  static_assert(Width <= 16);
  uint32_t count = 1;
  for (uint64_t bound = 10; value >= bound; bound *= 10) ++count;
  std::memset(at, Fill, Width);
  char* const end = at + (Width > count ? Width : count);
  char* digit = end;
  while (value >= 100) {
    digit -= 2;
    std::memcpy(digit, kDigitPairs.text + 2 * (value % 100), 2);
    value /= 100;
  }
  if (value >= 10) {
    digit -= 2;
    std::memcpy(digit, kDigitPairs.text + 2 * value, 2);
  } else {
    *--digit = static_cast<char>('0' + value);
  }
  return end;
}

char* Put(char* at, std::string_view text) {
  if (!text.empty()) std::memcpy(at, text.data(), text.size());
  return at + text.size();
}

// `text` as message text, at most `room` bytes of it: every line feed but a
// final one is followed by the continuation indent, the final one dropped.
// Returns the bytes written.
uint32_t PutMessage(char* const start, uint32_t room, std::string_view text) {
  if (!text.empty() && text.back() == '\n') text.remove_suffix(1);
  if (text.empty()) return 0;
  char* at = start;
  char* const end = start + room;
  for (;;) {
    const void* feed = std::memchr(text.data(), '\n', text.size());
    const size_t part =
        feed ? static_cast<size_t>(static_cast<const char*>(feed) - text.data()) : text.size();
    const size_t take = std::min(part, static_cast<size_t>(end - at));
    at = Put(at, text.substr(0, take));
    if (!feed || at == end) break;
    *at++ = '\n';
    const size_t indent =
        std::min<size_t>(LegacyKivRecord::kContinuationIndent, static_cast<size_t>(end - at));
    std::memset(at, ' ', indent);
    at += indent;
    text.remove_prefix(part + 1);
  }
  return static_cast<uint32_t>(at - start);
}

}  // namespace

LegacyKivRecord::LegacyKivRecord(std::string_view separator) {
  m_Separator.Append(separator);
  // Padded, trimmed columns only make sense between blank separators.
  m_FitColumns = m_Separator.Length() > 0 && m_Separator.Data()[0] == ' ';
}

void LegacyKivRecord::CopyMessage() {
  if (m_MessageCopied) return;
  m_MessageLength = PutMessage(m_Message, kMaxLineLength, m_MessageView);
  m_MessageCopied = true;
}

void LegacyKivRecord::AppendMessage(std::string_view text) {
  // The common record has one part: it stays where it is until rendered.
  if (!m_MessageCopied && m_MessageView.empty()) {
    m_MessageView = text;
    return;
  }
  CopyMessage();
  m_MessageLength += PutMessage(m_Message + m_MessageLength, kMaxLineLength - m_MessageLength, text);
}

void LegacyKivRecord::AppendControlMessage(const ControlMessagePacketHeader& control) {
  CopyMessage();
  CFastStr<64> text;
  text.Append("[Control message from process ").AddNumber(control.m_ProcessId).Append("]:");
  auto append = [this](std::string_view part) {
    part = part.substr(0, kMaxLineLength - m_MessageLength);
    m_MessageLength = static_cast<uint32_t>(Put(m_Message + m_MessageLength, part) - m_Message);
  };
  append(text.View());
  if (const char* event = ControlEventText(control.m_Code)) {
    // An event without text of its own is told by the record's MessageText.
    if (*event != '\0') {
      append(event);
      append(" ");
    }
  } else {
    text.Clear();
    text.Append("Unknown control message:").AddNumber(control.m_Code).Append(' ');
    append(text.View());
  }
}

void LegacyKivRecord::FormatTime(Line& line, const tm& local, uint32_t milliseconds) {
  FormatDateTime(line, local);
  line.AddNumber(milliseconds, 3, true, false);
}

template <class Text>
void LegacyKivRecord::FormatDateTime(Text& line, const tm& local) {
  AppendTwoDigits(line, static_cast<uint32_t>(local.tm_mon + 1));
  line.Append('/');
  AppendTwoDigits(line, static_cast<uint32_t>(local.tm_mday));
  line.Append('/');
  line.AddNumber(static_cast<uint64_t>(local.tm_year + 1900), 4, true, false);
  line.Append(' ');
  AppendTwoDigits(line, static_cast<uint32_t>(local.tm_hour));
  line.Append(':');
  AppendTwoDigits(line, static_cast<uint32_t>(local.tm_min));
  line.Append(':');
  AppendTwoDigits(line, static_cast<uint32_t>(local.tm_sec));
  line.Append('.');
}

template <uint32_t Width>
char* LegacyKivRecord::PutName(char* at, std::string_view name) const {
  if (!m_FitColumns) return Put(at, name);
  static_assert(Width > 5);
  if (name.size() > Width) {
    // Too long for its column: its start and its last two characters.
    std::memcpy(at, name.data(), Width - 4);
    at[Width - 4] = '.';
    at[Width - 3] = '.';
    at[Width - 2] = name[name.size() - 2];
    at[Width - 1] = name[name.size() - 1];
    return at + Width;
  }
  std::memset(at, ' ', Width);
  Put(at, name);
  return at + Width;
}

uint32_t LegacyKivRecord::Render(char* const line) {
  uint32_t seconds = m_Timestamp.m_Seconds;
  uint32_t milliseconds = m_Timestamp.m_Milliseconds;
  if (!m_HasTimestamp) {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    seconds = static_cast<uint32_t>(now.tv_sec);
    milliseconds = static_cast<uint32_t>(now.tv_nsec / 1000000);
  }
  if (!m_CachedValid || m_CachedSeconds != seconds) {
    const time_t t = seconds;
    tm local{};
    if (localtime_r(&t, &local) == nullptr) local = tm{};
    CFastStr<sizeof m_CachedDate> date;
    FormatDateTime(date, local);
    std::memcpy(m_CachedDate, date.Data(), date.Length());
    m_CachedDateLength = date.Length();
    m_CachedSeconds = seconds;
    m_CachedValid = true;
  }

  // A fixed-size copy of the cached date (the line has room for it) is one
  // move, not a call.
  std::memcpy(line, m_CachedDate, sizeof m_CachedDate);
  char* at = PutNumber<3, '0'>(line + m_CachedDateLength, milliseconds);
  const std::string_view separator = m_Separator.View();
  auto separate = [&] {
    if (separator.size() == 1) {
      *at++ = separator[0];
    } else {
      at = Put(at, separator);
    }
  };
  separate();
  at = PutNumber<6, ' '>(at, m_ProcessId);
  separate();
  at = PutNumber<11, ' '>(at, m_ThreadId);
  separate();
  at = PutName<kModuleWidth>(at, m_ModuleName);
  separate();
  at = PutName<kLabelWidth>(at, m_LabelName);
  separate();
  at = PutName<kClientWidth>(at, m_ClientName);
  separate();
  // The fields before the message take at most about 500 bytes; the message
  // keeps one place for the line feed so that lines never run together.
  const uint32_t room = kMaxLineLength - 1 - static_cast<uint32_t>(at - line);
  if (m_MessageCopied) {
    at = Put(at, std::string_view(m_Message, std::min(m_MessageLength, room)));
  } else {
    at += PutMessage(at, room, m_MessageView);
  }
  *at++ = '\n';
  return static_cast<uint32_t>(at - line);
}
