#pragma once
// Names and periods the layers above share, each defined once here, in the
// lowest layer every user links. Other layers keep theirs in one header
// each (TraceService/MessageBufferNames.h, KivConfigFileReader/
// KivServerConfig.h); the system log identity is in Support/SysLogEntry.h.

#include <cstdint>

// Period of every polling thread: the dispatcher's message handling and
// server manager cleanup, the client's monitor and service-client threads,
// the trace servers' idle polls and the registration's confirmation wait.
// It bounds the delay between a control message and its handling.
inline constexpr uint32_t kPollPeriodMs = 100;

// Pause between attempts to reach a remote dispatcher or syslog server.
inline constexpr uint32_t kReconnectPeriodMs = 1000;

// The running dispatcher's presence files: "{temp}KivService.lck" (its lock)
// and "{temp}KivService.pid".
inline constexpr const char* kServicePresenceName = "KivService";
