#pragma once
// The dispatcher's settings. One instance lives in the configuration server;
// the configuration file reader writes into it and the configuration clients
// read it while they handle a change notification (no lock of its own).

#include <cstdint>
#include <string>

#include "KivConfigFileReader/NetworkMode.h"
#include "KivConfigFileReader/NetworkOptions.h"
#include "KivConfigFileReader/SyslogSettings.h"

// Port of the dispatcher-to-dispatcher stream, server and client side alike,
// when the configuration names none.
inline constexpr uint32_t kDefaultStreamPort = 3456;
// Listen backlog of the network server when the configuration names none.
inline constexpr uint32_t kDefaultServerMaxConnection = 1;
// Highest real-time priority "drain_priority" may ask for: threaded interrupt
// handlers run at 50, and a drain must never hold up the disk it writes to.
inline constexpr uint32_t kMaxDrainPriority = 49;

struct KivServerConfig {
  bool m_TraceEnabled = false;      // root "trace" is exactly "1"
  std::string m_LogDirectory;       // expanded "path" followed by one '\' character
  std::string m_LogFormat;          // "binary", "text" or "json"
  std::string m_ServerName;         // remote dispatcher host ("Client" "server_name")
  bool m_StatusTrace = true;        // "StatusTrace" "state"
  bool m_PreservationMode = false;  // switched at run time only, never from the file
  // The values below are the reader's own defaults, so that a file without
  // "Network", "Server" or "Client" leaves defined settings behind.
  NetworkMode m_NetworkMode = NetworkNone;
  uint32_t m_MaxBackups = 0;
  uint32_t m_MaxFileSize = 0;  // bytes
  uint32_t m_PreserveMaxBackups = 0;
  uint32_t m_PreserveMaxFileSize = 0;  // bytes
  uint32_t m_ServerMaxConnection = kDefaultServerMaxConnection;
  uint32_t m_ServerPort = kDefaultStreamPort;
  uint32_t m_ClientPort = kDefaultStreamPort;
  SyslogSettings m_Syslog;  // "Syslog"; off when the element is absent
  // Optional "Server" and "Client" attributes bounding and securing the
  // network server; the defaults keep a file without them working as before.
  NetworkServerOptions m_ServerOptions;  // "Server" bind_address ... tls_ca
  NetworkTlsFiles m_ClientTls;           // "Client" tls_certificate, tls_key, tls_ca
  // Root "drain_priority": 0, the normal scheduling, or the real-time
  // priority (1 to kMaxDrainPriority) of the threads draining client rings.
  uint32_t m_DrainPriority = 0;
};
