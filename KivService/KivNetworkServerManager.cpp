#include "KivService/KivNetworkServerManager.h"

#include <exception>

#include "Support/Logging.h"

KivNetworkServerManager::KivNetworkServerManager(StatusReport::Collector& collector, ConfigServer& server)
    : ConfigServer::Client(server, false), m_Collector(collector) {
  KivNetworkServer::s_ConfigServer = &server;
  KivNetworkServer::s_Collector = &collector;
  Connect();
}

KivNetworkServerManager::~KivNetworkServerManager() {
  Disconnect();  // no broadcast can reach us from here on
  Stop();
}

void KivNetworkServerManager::Stop() noexcept {
  if (!m_Manager) return;
  m_Manager.reset();
  KIV_DIAG_NOTHROW("Network server stopped.\n");
}

void KivNetworkServerManager::OnConfigChanged() {
  Stop();
  const KivServerConfig& config = Server()->Config();
  if (config.m_NetworkMode != NetworkServer) return;
  try {
    m_Manager = std::make_unique<ListeningServer>(config.m_ServerPort, config.m_ServerMaxConnection);
    KIV_DIAG_NOTHROW("Network server started on port:" << m_Manager->Port() << " max connections:"
                                                       << config.m_ServerMaxConnection << "\n");
  } catch (const std::exception& e) {
    KIV_DIAG_NOTHROW("Network server can not start on port " << config.m_ServerPort << ": " << e.what()
                                                             << "\n");
  } catch (...) {
    KIV_DIAG_NOTHROW("Network server can not start on port " << config.m_ServerPort << "\n");
  }
}
