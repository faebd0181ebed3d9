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
