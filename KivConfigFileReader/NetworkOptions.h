#pragma once
// The optional network attributes of "Server" and "Client": limits, the
// allow-list and the TLS files. Plain values; checked where they are used
// (the network server refuses to start on a bad allow-list or TLS file).

#include <cstdint>
#include <string>

struct NetworkTlsFiles {
  std::string m_Certificate;  // "tls_certificate"
  std::string m_Key;          // "tls_key"
  std::string m_Ca;           // "tls_ca"
  bool Any() const { return !m_Certificate.empty() || !m_Key.empty() || !m_Ca.empty(); }
  bool operator==(const NetworkTlsFiles&) const = default;
};

struct NetworkServerOptions {
  std::string m_BindAddress = "0.0.0.0";   // "bind_address"
  std::string m_AllowedPeers;              // "allowed_peers"; empty = everyone
  uint32_t m_MaxPeers = 64;                // "max_peers": connections served at once
  uint32_t m_IdleTimeoutSeconds = 60;      // "idle_timeout"
  uint32_t m_MaxPendingKilobytes = 65536;  // "max_pending": partial blocks over all connections
  NetworkTlsFiles m_Tls;
  bool operator==(const NetworkServerOptions&) const = default;
};
