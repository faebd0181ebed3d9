#include "KivService/KivNetworkServerManager.h"

#include <algorithm>
#include <exception>

#include "Support/Logging.h"
#include "Support/SysLogEntry.h"

namespace {

SocketStream::ServerCounts Sum(SocketStream::ServerCounts a, const SocketStream::ServerCounts& b) {
  a.connected = b.connected;
  for (size_t i = 0; i < a.refused.size(); ++i) a.refused[i] += b.refused[i];
  a.bytesReceived += b.bytesReceived;
  return a;
}

uint32_t Saturated(uint64_t value) { return static_cast<uint32_t>(std::min<uint64_t>(value, INT32_MAX)); }

}  // namespace

KivNetworkServerManager::Entries::Entries(StatusReport::Collector& collector)
    : connected(collector, "Input\\Network\\PeersConnected", "Peers connected to the network server",
                StatusReport::Number),
      refused{StatusReport::Status(collector, "Input\\Network\\PeersRefused\\AddressNotAllowed",
                                   "Peers refused: address not allowed", StatusReport::Number),
              StatusReport::Status(collector, "Input\\Network\\PeersRefused\\HandshakeFailed",
                                   "Peers refused: handshake failed", StatusReport::Number),
              StatusReport::Status(collector, "Input\\Network\\PeersRefused\\CertificateNotTrusted",
                                   "Peers refused: certificate not trusted", StatusReport::Number),
              StatusReport::Status(collector, "Input\\Network\\PeersRefused\\LimitReached",
                                   "Peers refused: limit reached", StatusReport::Number)},
      bytesReceived(collector, "Input\\Network\\BytesReceived", "Bytes received by the network server",
                    StatusReport::Text) {
  bytesReceived.SetText("0");
}

KivNetworkServerManager::KivNetworkServerManager(StatusReport::Collector& collector, ConfigServer& server,
                                                 std::function<void(const std::string&)> refusalLog)
    : ConfigServer::Client(server, false), m_Collector(collector), m_RefusalLog(std::move(refusalLog)) {
  KivNetworkServer::s_ConfigServer = &server;
  KivNetworkServer::s_Collector = &collector;
  Connect();
}

KivNetworkServerManager::~KivNetworkServerManager() {
  Disconnect();  // no broadcast can reach us from here on
  Stop();
}

SocketStream::ServerCounts KivNetworkServerManager::Counts() const {
  SocketStream::ServerCounts running{};
  if (m_Manager) running = m_Manager->Counts();
  return Sum(m_Totals, running);
}

void KivNetworkServerManager::Stop() noexcept {
  if (!m_Manager) return;
  SocketStream::ServerCounts last = m_Manager->Counts();
  m_Manager.reset();
  last.connected = 0;
  m_Totals = Sum(m_Totals, last);
  try {
    Report(m_Totals);
  } catch (...) {
  }
  KIV_DIAG_NOTHROW("Network server stopped.\n");
}

void KivNetworkServerManager::Report(const SocketStream::ServerCounts& counts) {
  if (!m_Entries) return;
  m_Entries->connected.SetNumber(Saturated(counts.connected));
  for (size_t i = 0; i < counts.refused.size(); ++i)
    m_Entries->refused[i].SetNumber(Saturated(counts.refused[i]));
  m_Entries->bytesReceived.SetText(std::to_string(counts.bytesReceived));
}

void KivNetworkServerManager::OnConfigChanged() {
  Stop();
  const KivServerConfig& config = Server()->Config();
  if (config.m_NetworkMode != NetworkServer) return;
  const NetworkServerOptions& settings = config.m_ServerOptions;
  try {
    if (!m_Entries) m_Entries.emplace(m_Collector);
    SocketStream::ServerOptions options;
    options.bindAddress = settings.m_BindAddress;
    options.allowedPeers = settings.m_AllowedPeers;
    options.maxPeers = settings.m_MaxPeers;
    options.idleTimeout = std::chrono::seconds(settings.m_IdleTimeoutSeconds);
    options.maxPendingBytes = uint64_t{settings.m_MaxPendingKilobytes} << 10;
    if (settings.m_Tls.Any())
      options.tls = std::make_shared<SocketStream::TlsContext>(
          SocketStream::TlsContext::Role::Server,
          SocketStream::TlsFiles{settings.m_Tls.m_Certificate, settings.m_Tls.m_Key, settings.m_Tls.m_Ca});
    options.refusalLog = m_RefusalLog;
    const SocketStream::ServerCounts totals = m_Totals;
    options.onCounts = [this, totals](const SocketStream::ServerCounts& counts) {
      Report(Sum(totals, counts));
    };
    m_Manager = std::make_unique<ListeningServer>(config.m_ServerPort, config.m_ServerMaxConnection,
                                                  std::move(options));
    KIV_DIAG_NOTHROW("Network server started on port:" << m_Manager->Port() << " max connections:"
                                                       << config.m_ServerMaxConnection << "\n");
  } catch (const std::exception& e) {
    // A server that does not start leaves this host unreachable for its
    // senders: worth the system log, not only the diagnostic one.
    std::string line =
        "Network server can not start on port " + std::to_string(config.m_ServerPort) + ": " + e.what();
    KIV_DIAG_NOTHROW(line << "\n");
    try {
      SysLogEntry entry(kSystemLogIdentity, 1);
      entry << line;
    } catch (...) {
    }
  }
}
