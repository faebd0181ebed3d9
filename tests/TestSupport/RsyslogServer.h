#pragma once
// A real rsyslogd for tests and benchmarks: a daemon of its own in the
// foreground (own configuration, PID file and work directory under `dir`, no
// system log sockets), listening on 127.0.0.1 with a plain TCP and a TLS
// listener (CA and server certificate for 127.0.0.1 made by the openssl
// command), and writing every message it receives to one file as
// "host|app|procid|msgid|pri|structured-data|msg".
//
// The daemon runs from Start() until Stop() or destruction. Not thread-safe.

#include <sys/types.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace kivtest {

// One message as rsyslogd filed it.
struct SyslogReceived {
  std::string host, app, procid, msgid, pri, sd, msg;
  // The value of one structured data parameter, unescaped; "<none>" when absent.
  std::string Param(const std::string& name) const;
};

class RsyslogServer {
 public:
  static constexpr const char* kProgram = "/usr/sbin/rsyslogd";

  // Writes the configuration and makes the certificates; starts nothing.
  explicit RsyslogServer(std::string dir);
  ~RsyslogServer();
  RsyslogServer(const RsyslogServer&) = delete;
  RsyslogServer& operator=(const RsyslogServer&) = delete;

  static bool Available();
  bool CertsMade() const { return m_CertsMade; }
  uint16_t Port() const { return m_Port; }
  uint16_t TlsPort() const { return m_TlsPort; }
  std::string Ca() const { return m_Dir + "/ca.pem"; }
  pid_t Pid() const { return m_Pid; }

  // Starts the daemon and waits until the plain listener takes connections.
  bool Start();
  // Ends it (SIGTERM) and waits for it.
  void Stop();

  std::vector<SyslogReceived> Messages() const;
  // Lines in the file so far (cheaper than Messages()).
  size_t LineCount() const;
  bool WaitForCount(size_t count, std::chrono::seconds deadline = std::chrono::seconds(30)) const;

 private:
  std::string m_Dir;
  uint16_t m_Port = 0, m_TlsPort = 0;
  bool m_CertsMade = false;
  pid_t m_Pid = -1;
};

}  // namespace kivtest
