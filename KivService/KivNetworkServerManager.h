#pragma once
// Starts and stops the network server as the settings say: on every change
// the running server (if any) is stopped, closing all its connections, and a
// new one is started when the network mode is NetworkServer, listening on
// m_ServerPort with m_ServerMaxConnection as listen backlog.
//
// Registered with the configuration server for its whole life; changes
// arrive on the broadcasting thread. Destroying the running server from
// inside the broadcast is safe: connections are not configuration clients
// (see KivNetworkServer).
//
// Locking: m_Manager is touched only by the broadcasting thread (one
// broadcast at a time, under the configuration server's lock) and by the
// destructor after it has unregistered, so it needs no lock of its own.

#include <cstdint>
#include <memory>

#include "KivConfigFileReader/ConfigServer.h"
#include "KivService/KivNetworkServer.h"
#include "SocketStream/ServerManager.h"
#include "Support/StatusReport.h"

class KivNetworkServerManager : public ConfigServer::Client {
 public:
  using ListeningServer = SocketStream::ServerManager<KivNetworkServer>;

  // Sets KivNetworkServer's configuration server and collector. Starts
  // nothing until the first change notification.
  KivNetworkServerManager(StatusReport::Collector& collector, ConfigServer& server);
  ~KivNetworkServerManager() override;

  // Restarts the server as described above. A server that cannot listen
  // (port taken, say) is logged in diagnostic mode and leaves none running
  // until the next change.
  void OnConfigChanged() override;

  // For status and tests: whether a server runs, and the port it listens on
  // (0 when none). Call only from the thread that broadcasts changes.
  bool IsRunning() const { return m_Manager != nullptr; }
  uint16_t Port() const { return m_Manager ? m_Manager->Port() : 0; }
  size_t ConnectionCount() const { return m_Manager ? m_Manager->ConnectionCount() : 0; }

 private:
  void Stop() noexcept;

  StatusReport::Collector& m_Collector;
  std::unique_ptr<ListeningServer> m_Manager;  // owned, or none
};
