#pragma once
// Names and texts of the events a control record reports (its
// ControlMessage packet's code).

#include <cstdint>

// The event text the text log shows after "[Control message from process
// <pid>]:", or nullptr for a code this version does not know.
const char* ControlEventText(uint32_t code);

// A short machine-readable name ("client_attached", ...), or nullptr for an
// unknown code.
const char* ControlEventName(uint32_t code);
