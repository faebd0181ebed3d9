#pragma once
// The fields of one text line being built, and their rendering:
//   MM/DD/YYYY HH:MM:SS.mmm<sep>   pid<sep>  thread id<sep>module<sep>label<sep>client<sep>message\n
// Names are cut at 50 characters, a line at 2048 (line feed included);
// rendering allocates nothing and, for outputs that lend their buffer
// (Extend/Truncate), writes the line straight into it. Not thread-safe.
//
// Names and message text are borrowed, not copied: what they view must stay
// valid until the record is rendered or reset (a block reader's views into
// the block do). Only a message of several parts, or a control record, is
// copied, into the record's own fixed buffer.

#include <time.h>

#include <cstdint>
#include <string_view>

#include "Support/CFastStr.h"
#include "TraceData/TraceStructures.h"

class LegacyKivRecord {
 public:
  using Line = CFastStr<2048>;
  // Longest line, line feed included.
  static constexpr uint32_t kMaxLineLength = Line::Capacity();
  static constexpr uint32_t kMaxNameLength = 50;
  static constexpr uint32_t kModuleWidth = 12;
  static constexpr uint32_t kLabelWidth = 10;
  static constexpr uint32_t kClientWidth = 12;
  // Continuation lines of a message start under the message column.
  static constexpr uint32_t kContinuationIndent = 79;

  explicit LegacyKivRecord(std::string_view separator = " ");

  // Back to the defaults of a fresh record (no timestamp: the line shows the
  // time it is rendered at; ids 0; names and message empty).
  void Reset() {
    m_HasTimestamp = false;
    m_ProcessId = 0;
    m_ThreadId = 0;
    // One by one: a chained assignment reads back what it just stored.
    m_ModuleName = {};
    m_LabelName = {};
    m_ClientName = {};
    m_MessageView = {};
    m_MessageLength = 0;
    m_MessageCopied = false;
  }

  void SetTimestamp(const TraceTimestamp& timestamp) {
    m_Timestamp = timestamp;
    m_HasTimestamp = true;
  }
  void SetProcessId(uint32_t processId) { m_ProcessId = processId; }
  void SetThreadId(uint32_t threadId) { m_ThreadId = threadId; }
  void SetModuleName(std::string_view name) { m_ModuleName = name.substr(0, kMaxNameLength); }
  void SetLabelName(std::string_view name) { m_LabelName = name.substr(0, kMaxNameLength); }
  void SetClientName(std::string_view name) { m_ClientName = name.substr(0, kMaxNameLength); }
  // Appends message text; every line feed but a final one is followed by the
  // continuation indent, the final one is dropped.
  void AppendMessage(std::string_view text);
  // Appends "[Control message from process <pid>]:<event text> ".
  void AppendControlMessage(const ControlMessagePacketHeader& control);

  // Writes the whole line, line feed included, at `at`, which has room for
  // kMaxLineLength bytes, and returns its length. A line that would be
  // longer has its message cut so that the line feed still ends it.
  uint32_t Render(char* at);

  // Renders and writes the line to `output` in one write(data, length), or
  // straight into an output that offers Extend(length) and Truncate(length).
  template <class Output>
  void operator>>(Output& output) {
    if constexpr (requires(Output & o) {
                    o.Extend(size_t{});
                    o.Truncate(uint32_t{});
                    o.GetLength();
                  }) {
      const uint32_t start = output.GetLength();
      char* at = reinterpret_cast<char*>(output.Extend(kMaxLineLength));
      output.Truncate(start + Render(at));
    } else {
      char line[kMaxLineLength];
      output.write(line, Render(line));
    }
  }

  // "MM/DD/YYYY HH:MM:SS.mmm" of a broken-down local time; a leap second
  // shows as 60.
  static void FormatTime(Line& line, const tm& local, uint32_t milliseconds);

 private:
  // "MM/DD/YYYY HH:MM:SS." (everything before the milliseconds).
  template <class Text>
  static void FormatDateTime(Text& text, const tm& local);
  // Moves a single borrowed message part into m_Message, so another part can follow.
  void CopyMessage();
  // A name in its column: fitted to `Width` between blank separators, else whole.
  template <uint32_t Width>
  char* PutName(char* at, std::string_view name) const;

  CFastStr<50> m_Separator;
  bool m_FitColumns;
  bool m_HasTimestamp = false;
  TraceTimestamp m_Timestamp;
  uint32_t m_ProcessId = 0;
  uint32_t m_ThreadId = 0;
  std::string_view m_ModuleName;
  std::string_view m_LabelName;
  std::string_view m_ClientName;
  // The message: one borrowed part as it came (m_MessageView), or, once a
  // second part or a control text came, every part as rendered, in
  // m_Message.
  std::string_view m_MessageView;
  bool m_MessageCopied = false;
  uint32_t m_MessageLength = 0;
  char m_Message[kMaxLineLength];
  // Date and time of the last second rendered: consecutive records mostly
  // share it, and localtime_r is the costly part of a line.
  bool m_CachedValid = false;
  uint32_t m_CachedSeconds = 0;
  char m_CachedDate[32] = {};  // "MM/DD/YYYY HH:MM:SS."
  uint32_t m_CachedDateLength = 0;
};
