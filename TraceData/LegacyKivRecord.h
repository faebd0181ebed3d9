#pragma once
// The fields of one text line being built, and their rendering:
//   MM/DD/YYYY HH:MM:SS.mmm<sep>   pid<sep>  thread id<sep>module<sep>label<sep>client<sep>message\n
// Every field is a fixed-capacity string (names 50, message 2048
// characters); rendering allocates nothing. Not thread-safe.

#include <time.h>

#include <cstdint>
#include <string_view>

#include "Support/CFastStr.h"
#include "TraceData/TraceStructures.h"

class LegacyKivRecord {
 public:
  using Line = CFastStr<2048>;
  static constexpr uint32_t kModuleWidth = 12;
  static constexpr uint32_t kLabelWidth = 10;
  static constexpr uint32_t kClientWidth = 12;
  // Continuation lines of a message start under the message column.
  static constexpr uint32_t kContinuationIndent = 79;

  explicit LegacyKivRecord(std::string_view separator = " ");

  // Back to the defaults of a fresh record (no timestamp: the line shows the
  // time it is rendered at; ids 0; names and message empty).
  void Reset();

  void SetTimestamp(const TraceTimestamp& timestamp);
  void SetProcessId(uint32_t processId) { m_ProcessId = processId; }
  void SetThreadId(uint32_t threadId) { m_ThreadId = threadId; }
  void SetModuleName(std::string_view name) { Replace(m_ModuleName, name); }
  void SetLabelName(std::string_view name) { Replace(m_LabelName, name); }
  void SetClientName(std::string_view name) { Replace(m_ClientName, name); }
  // Appends message text; every line feed but a final one is followed by the
  // continuation indent, the final one is dropped. Cut at 2048 characters.
  void AppendMessage(std::string_view text);
  // Appends "[Control message from process <pid>]:<event text> ".
  void AppendControlMessage(const ControlMessagePacketHeader& control);

  const CFastStr<2048>& GetMessage() const { return m_Message; }

  // Builds the whole line, line feed included, in `line` (cleared first). A
  // line that would pass 2048 characters has its message cut so that the
  // line feed still ends it.
  void Render(Line& line);

  // Renders and writes the line to `output` in one write(data, length).
  template <class Output>
  void operator>>(Output& output) {
    Line line;
    Render(line);
    output.write(line.Data(), line.Length());
  }

  // "MM/DD/YYYY HH:MM:SS.mmm" of a broken-down local time; a leap second
  // shows as 60.
  static void FormatTime(Line& line, const tm& local, uint32_t milliseconds);

 private:
  // "MM/DD/YYYY HH:MM:SS." (everything before the milliseconds).
  template <class Text>
  static void FormatDateTime(Text& text, const tm& local);

  static void Replace(CFastStr<50>& field, std::string_view text) {
    field.Clear();
    field.Append(text);
  }
  void AppendName(Line& line, const CFastStr<50>& name, uint32_t width) const;

  CFastStr<50> m_Separator;
  bool m_FitColumns;
  bool m_HasTimestamp = false;
  TraceTimestamp m_Timestamp;
  uint32_t m_ProcessId = 0;
  uint32_t m_ThreadId = 0;
  CFastStr<50> m_ModuleName;
  CFastStr<50> m_LabelName;
  CFastStr<50> m_ClientName;
  CFastStr<2048> m_Message;
  // Date and time of the last second rendered: consecutive records mostly
  // share it, and localtime_r is the costly part of a line.
  bool m_CachedValid = false;
  uint32_t m_CachedSeconds = 0;
  CFastStr<32> m_CachedTime;
};
