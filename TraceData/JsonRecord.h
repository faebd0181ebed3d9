#pragma once
// JSON Lines rendering of decoded records: one object per line with the
// fields time, seq, host, pid, tid, module, label, client, message, or
// control ({"code":N,"name":"..."}) instead of module and label for a
// control record. Strings are escaped for any byte: quotes, backslashes and
// control characters as escapes, bytes that are not valid UTF-8 as \uFFFD.

#include <ctime>
#include <string>
#include <string_view>

#include "TraceData/DecodedRecord.h"

// Length of the valid UTF-8 sequence starting at text[i], or 0 when the
// bytes there are not one (overlong forms, surrogates and code points past
// U+10FFFF are not valid).
size_t Utf8SequenceLength(std::string_view text, size_t i);

// Appends the valid UTF-8 sequences of `text` to `out` as they are and
// `replacement` for every other byte of 0x80 or above. Bytes below 0x80 are
// appended as they are, in runs, unless `special(c)` holds; those are handed
// to `escape(c)` to append as it needs.
template <class Special, class Escape>
void AppendUtf8(std::string& out, std::string_view text, std::string_view replacement, Special special,
                Escape escape) {
  size_t i = 0;
  while (i < text.size()) {
    size_t plain = i;
    while (plain < text.size()) {
      const unsigned char c = static_cast<unsigned char>(text[plain]);
      if (c >= 0x80 || special(c)) break;
      ++plain;
    }
    out.append(text.data() + i, plain - i);
    i = plain;
    if (i == text.size()) break;
    const unsigned char c = static_cast<unsigned char>(text[i]);
    if (c < 0x80) {
      escape(c);
      ++i;
      continue;
    }
    const size_t length = Utf8SequenceLength(text, i);
    if (length == 0) {
      out += replacement;
      ++i;
    } else {
      out.append(text.data() + i, length);
      i += length;
    }
  }
}

// Appends `text` as a quoted JSON string.
void AppendJsonString(std::string& out, std::string_view text);

// Appends an ISO 8601 time with milliseconds: "2026-12-08T21:13:11.042+01:00"
// in the reader's local time, or "...Z" with `utc`.
void AppendIsoTime(std::string& out, const TraceTimestamp& timestamp, bool utc);

// Appends one whole JSON line (line feed included). A record without a
// timestamp gets "time":null.
void AppendJsonRecord(std::string& out, const DecodedRecord& record, bool utc);

// The text a control record shows in its message field: the event text, or
// "Unknown control message:<code>", followed by any text the record carries
// (trailing spaces dropped). A "records lost" control also gets "lost":<N>.
std::string ControlMessageText(const DecodedRecord& record);
