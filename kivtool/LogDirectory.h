#pragma once
// The dispatcher's log file directory as the configuration file gives it.

#include <string>

// Reads the configuration file (located through KivConfigPathPolicy) and
// returns its log file "path" with environment references expanded. Raises
// "No log file directory in the configuration file" when the file gives none
// (missing or unreadable file, tracing switched off, no "path"), so that no
// command falls back to the root directory.
std::string ConfiguredLogDirectory();
