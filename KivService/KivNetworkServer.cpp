#include "KivService/KivNetworkServer.h"

#include "MemoryStream/MemoryInputStream.h"
#include "Support/Validation2Exception.h"
#include "TraceData/TracePacket.h"
#include "TraceData/TraceStructures.h"

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
    : SocketStream::Server(std::move(accepted), peerAddress) {
  RequiredServer();
}

KivNetworkServer::~KivNetworkServer() = default;

void KivNetworkServer::OnReceived(const uint8_t* data, uint32_t length) {
  // The peer's bytes go into a log file shared by every connection from its
  // address: a message that is not one whole block (a valid block header
  // packet whose body is exactly the rest) would break the file's block
  // chain for all of them. Refusing it raises, which ends this connection.
  MemoryInputStream in(data, length);
  TracePacketDeserializer<MemoryInputStream> packet(in);
  Validation2Exception::CheckParameter(
      packet.ReadAttributes().m_DataType == TracePacketShared::DataType::Binary,
      "Network peer sent a damaged trace block");
  TraceBlockHeader header;
  packet >> header;
  Validation2Exception::CheckParameter(header.m_BodyLength == in.GetDataLength(),
                                       "Network peer sent a damaged trace block");
  // An output failure is the dispatcher's to log; the connection goes on.
  if (!m_Dispatcher)
    m_Dispatcher = std::make_unique<Dispatcher>(*s_ConfigServer, *s_Collector, PeerAddress(), false);
  m_Dispatcher->write(data, length);
}
