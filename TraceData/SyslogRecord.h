#pragma once
// Syslog rendering of decoded records: one message in the format of the
// syslog protocol (version 1), framed by octet counting ("<length> <message>")
// as TCP and TLS transports carry it:
//
//   <PRI>1 TIME HOST APP PID MSGID [SDID seq="." tid="." module="." label="." client="."] MESSAGE
//
// MSGID is the label ("control" for control records, which add a control
// parameter with the event name); the parameters hold the exact names with
// '"', '\' and ']' escaped by a backslash and bytes that are not valid UTF-8
// replaced by U+FFFD. Header fields allow printable ASCII only: other bytes
// there become '_', and an empty field is "-". The message is the record's
// text as written (the control event text for a control record).

#include <cstdint>
#include <string>
#include <string_view>

#include "TraceData/DecodedRecord.h"

struct SyslogRecordFormat {
  std::string_view m_AppName;  // printable ASCII, 1 to 48 characters
  std::string_view m_SdId;     // a valid structured data id
  std::string_view m_Host;     // the origin host; empty: the record's own host
};

// The severity a label name maps to: "Error" 3, "Warning" 4, "Debug" 7 (in
// any case), everything else 6 (informational).
int SyslogSeverity(std::string_view label);

// Appends `text` as a structured data parameter value (without quotes).
void AppendSdParamValue(std::string& out, std::string_view text);

// Appends one framed message (facility user).
void AppendSyslogRecord(std::string& out, const DecodedRecord& record, const SyslogRecordFormat& format);
