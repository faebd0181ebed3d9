#include "TraceData/LegacyKivRecord.h"

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

}  // namespace

LegacyKivRecord::LegacyKivRecord(std::string_view separator) {
  m_Separator.Append(separator);
  // Padded, trimmed columns only make sense between blank separators.
  m_FitColumns = m_Separator.Length() > 0 && m_Separator.Data()[0] == ' ';
}

void LegacyKivRecord::Reset() {
  m_HasTimestamp = false;
  m_ProcessId = 0;
  m_ThreadId = 0;
  m_ModuleName.Clear();
  m_LabelName.Clear();
  m_ClientName.Clear();
  m_Message.Clear();
}

void LegacyKivRecord::SetTimestamp(const TraceTimestamp& timestamp) {
  m_Timestamp = timestamp;
  m_HasTimestamp = true;
}

void LegacyKivRecord::AppendMessage(std::string_view text) {
  if (!text.empty() && text.back() == '\n') text.remove_suffix(1);
  for (size_t feed = text.find('\n'); feed != std::string_view::npos; feed = text.find('\n')) {
    m_Message.Append(text.substr(0, feed)).Append('\n').Append(' ', kContinuationIndent);
    text.remove_prefix(feed + 1);
  }
  // Text after the last line feed is the user's too: keep it.
  m_Message.Append(text);
}

void LegacyKivRecord::AppendControlMessage(const ControlMessagePacketHeader& control) {
  m_Message.Append("[Control message from process ").AddNumber(control.m_ProcessId).Append("]:");
  if (const char* event = ControlEventText(control.m_Code)) {
    // An event without text of its own is told by the record's MessageText.
    if (*event != '\0') m_Message.Append(event).Append(' ');
  } else {
    m_Message.Append("Unknown control message:").AddNumber(control.m_Code).Append(' ');
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

void LegacyKivRecord::AppendName(Line& line, const CFastStr<50>& name, uint32_t width) const {
  if (m_FitColumns) {
    line.Reduce(name.View(), width);
  } else {
    line.Append(name);
  }
}

void LegacyKivRecord::Render(Line& line) {
  uint32_t seconds = m_Timestamp.m_Seconds;
  uint32_t milliseconds = m_Timestamp.m_Milliseconds;
  if (!m_HasTimestamp) {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    seconds = static_cast<uint32_t>(now.tv_sec);
    milliseconds = static_cast<uint32_t>(now.tv_nsec / 1000000);
  }
  if (!m_CachedValid || m_CachedSeconds != seconds) {
    m_CachedTime.Clear();
    const time_t t = seconds;
    tm local{};
    if (localtime_r(&t, &local) == nullptr) local = tm{};
    FormatDateTime(m_CachedTime, local);
    m_CachedSeconds = seconds;
    m_CachedValid = true;
  }

  line.Clear();
  line.Append(m_CachedTime).AddNumber(milliseconds, 3, true, false);
  line.Append(m_Separator).AddNumber(m_ProcessId, 6, false, true);
  line.Append(m_Separator).AddNumber(m_ThreadId, 11, false, true);
  line.Append(m_Separator);
  AppendName(line, m_ModuleName, kModuleWidth);
  line.Append(m_Separator);
  AppendName(line, m_LabelName, kLabelWidth);
  line.Append(m_Separator);
  AppendName(line, m_ClientName, kClientWidth);
  line.Append(m_Separator);
  // Keep one place for the line feed so that lines never run together.
  const uint32_t room = line.Length() < Line::Capacity() ? Line::Capacity() - 1 - line.Length() : 0;
  line.Append(m_Message.Data(), m_Message.Length() < room ? m_Message.Length() : room);
  line.Append('\n');
}
