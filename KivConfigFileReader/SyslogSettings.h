#pragma once
// Settings of the syslog output (the optional "Syslog" element). Plain
// values, copied by whoever uses them; the defaults are the element's.

#include <cstdint>
#include <string>

struct SyslogSettings {
  static constexpr uint32_t kDefaultPort = 514;
  static constexpr uint32_t kDefaultTlsPort = 6514;
  static constexpr uint32_t kDefaultQueueKilobytes = 16384;

  bool m_On = false;     // "state" is exactly "1" and every value is usable
  std::string m_Server;  // "server_name": host name or address
  uint32_t m_Port = kDefaultPort;
  bool m_Tls = false;            // "transport" "tls" (otherwise "tcp")
  std::string m_TlsCa;           // "tls_ca": file of trusted certificates (needed with TLS)
  std::string m_TlsCertificate;  // "tls_certificate"/"tls_key": own certificate for mutual TLS
  std::string m_TlsKey;
  std::string m_AppName = "kiv";                       // "app_name"
  std::string m_SdId = "kiv@32473";                    // "sd_id"
  uint32_t m_QueueKilobytes = kDefaultQueueKilobytes;  // "queue_size"

  bool operator==(const SyslogSettings&) const = default;
};
