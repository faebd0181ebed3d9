#pragma once
// Starts and stops the network server as the settings say: on every change
// the running server (if any) is stopped, closing all its connections, and a
// new one is started when the network mode is NetworkServer, listening on
// m_ServerPort with m_ServerMaxConnection as listen backlog and the limits,
// allow-list and TLS files of m_ServerOptions.
//
// Registered with the configuration server for its whole life; changes
// arrive on the broadcasting thread. Destroying the running server from
// inside the broadcast is safe: connections are not configuration clients
// (see KivNetworkServer).
//
// The server's counts go to status entries made the first time a server
// starts (so a dispatcher that never serves reports as before); they add up
// over restarts. The entries outlive every server; the server's loop thread
// sets them.
//
// Locking: m_Manager, m_Totals and the optional entries are touched only by
// the broadcasting thread (one broadcast at a time, under the configuration
// server's lock) and by the destructor after it has unregistered; the loop
// thread only sets entry values (each under its own lock) and reads
// m_Totals, which does not change while a server runs.

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "KivConfigFileReader/ConfigServer.h"
#include "KivService/KivNetworkServer.h"
#include "KivService/StatusReport.h"
#include "SocketStream/ServerManager.h"

class KivNetworkServerManager : public ConfigServer::Client {
 public:
  using ListeningServer = SocketStream::ServerManager<KivNetworkServer>;

  // Sets KivNetworkServer's configuration server and collector. Starts
  // nothing until the first change notification. `refusalLog` receives the
  // refusal lines instead of the system log (tests).
  KivNetworkServerManager(StatusReport::Collector& collector, ConfigServer& server,
                          std::function<void(const std::string&)> refusalLog = {});
  ~KivNetworkServerManager() override;

  // Restarts the server as described above. A server that cannot start
  // (port taken, bad allow-list or TLS file) is logged to the system log and
  // leaves none running until the next change.
  void OnConfigChanged() override;

  // For status and tests: whether a server runs, and the port it listens on
  // (0 when none). Call only from the thread that broadcasts changes.
  bool IsRunning() const { return m_Manager != nullptr; }
  uint16_t Port() const { return m_Manager ? m_Manager->Port() : 0; }
  size_t ConnectionCount() const { return m_Manager ? m_Manager->ConnectionCount() : 0; }
  // Counts since this object was made (connected: of the running server).
  SocketStream::ServerCounts Counts() const;

 private:
  struct Entries {
    explicit Entries(StatusReport::Collector& collector);
    StatusReport::Status connected;
    std::array<StatusReport::Status, static_cast<size_t>(SocketStream::Refusal::Count)> refused;
    StatusReport::Status bytesReceived;
  };

  void Stop() noexcept;
  void Report(const SocketStream::ServerCounts& counts);

  StatusReport::Collector& m_Collector;
  const std::function<void(const std::string&)> m_RefusalLog;
  SocketStream::ServerCounts m_Totals{};       // of the servers stopped so far
  std::optional<Entries> m_Entries;            // from the first start on
  std::unique_ptr<ListeningServer> m_Manager;  // owned, or none
};
