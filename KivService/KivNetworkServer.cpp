#include "KivService/KivNetworkServer.h"

#include "Support/Validation2Exception.h"

ConfigServer* KivNetworkServer::s_ConfigServer = nullptr;
StatusReport::Collector* KivNetworkServer::s_Collector = nullptr;

namespace {
ConfigServer& RequiredServer() {
  Validation2Exception::CheckLogic(
      KivNetworkServer::s_ConfigServer != nullptr && KivNetworkServer::s_Collector != nullptr,
      "Network server used before its configuration server and collector were set");
  return *KivNetworkServer::s_ConfigServer;
}
}  // namespace

KivNetworkServer::KivNetworkServer(SocketStream::Shared&& accepted, const std::string& peerAddress)
    : SocketStream::Server(std::move(accepted), peerAddress),
      KivTraceStreamDispatcher(RequiredServer(), *s_Collector, peerAddress, false) {}

KivNetworkServer::~KivNetworkServer() = default;

void KivNetworkServer::OnReceived(const uint8_t* data, uint32_t length) {
  // An output failure is the dispatcher's to log; the connection goes on.
  KivTraceStreamDispatcher::write(data, length);
}
