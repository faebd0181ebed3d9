#pragma once
// CSV rendering of decoded records (RFC 4180): a header row, then one row
// per record, fields separated by commas, rows ended by CR LF. Columns:
// time, seq, host, pid, tid, module, label, client, message, control_code,
// control_name (the last two empty for trace records; module and label
// empty for control records, whose message is the event text). A field
// holding a comma, quote, CR or LF is quoted with quotes doubled. Output is
// valid UTF-8 whatever the bytes: invalid sequences and NUL bytes become
// U+FFFD.

#include <string>
#include <string_view>

#include "TraceData/DecodedRecord.h"

// The header row, CR LF included.
const std::string& CsvHeader();

// Appends `text` as one CSV field.
void AppendCsvField(std::string& out, std::string_view text);

// Appends one whole row (CR LF included); times as AppendIsoTime writes
// them, empty without a time stamp.
void AppendCsvRecord(std::string& out, const DecodedRecord& record, bool utc);
