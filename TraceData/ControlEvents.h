#pragma once
// Names and texts of the events a control record reports (its
// ControlMessage packet's code).

#include <cstdint>
#include <string>
#include <string_view>

// The event text the text log shows after "[Control message from process
// <pid>]:", or nullptr for a code this version does not know.
const char* ControlEventText(uint32_t code);

// A short machine-readable name ("client_attached", ...), or nullptr for an
// unknown code.
const char* ControlEventName(uint32_t code);

// A "records lost" record (code 8) has no event text of its own: its
// MessageText "<N> records lost " follows the control text directly, so the
// line reads "[Control message from process <pid>]:<N> records lost ", and
// a reader that does not know the code still shows the count after "Unknown
// control message:8".
std::string RecordsLostText(uint64_t count);
// The count such a MessageText states; 0 when it states none.
uint64_t RecordsLostCount(std::string_view message);
