#pragma once
// One accepted connection of the network server: receives the blocks another
// dispatcher forwards (SocketStream::Server) and files them through a trace
// stream dispatcher of its own, named after the peer's dotted address, so
// each remote dispatcher's data goes to its own series of files
// ("kivlog-<address>-...").
//
// Made, served and destroyed by SocketStream::ServerManager<KivNetworkServer>
// on its loop thread (or by the manager's destruction after the loop ended).
// The dispatcher is made with the first whole block: a peer that never
// completes one costs no dispatcher, status entries or files.
//
// The connection's dispatcher takes its output from the settings current when
// the connection is accepted and does not register for changes: every change
// ends all connections anyway (the network server is restarted), and staying
// out of the configuration server's client list means the listen thread never
// waits for that list's lock, which a broadcast holds while it stops this
// server and waits for the listen thread.

#include <cstdint>
#include <memory>
#include <string>

#include "KivConfigFileReader/ConfigServer.h"
#include "KivService/KivTraceStreamDispatcher.h"
#include "KivService/StatusReport.h"
#include "SocketStream/Server.h"

class KivNetworkServer : public SocketStream::Server {
 public:
  // Both are set before the network server starts (KivNetworkServerManager
  // sets them) and must outlive every connection.
  static ConfigServer* s_ConfigServer;
  static StatusReport::Collector* s_Collector;

  // Raises the logic error "Network server used before its configuration
  // server and collector were set" when either is missing; the loop then
  // discards the connection.
  KivNetworkServer(SocketStream::Shared&& accepted, const std::string& peerAddress);
  ~KivNetworkServer() override;

  // Writes one whole received block through this connection's dispatcher.
  // Raises "Network peer sent a damaged trace block", which ends the
  // connection, when the message is not exactly one block (block header
  // packet and a body of the declared length).
  void OnReceived(const uint8_t* data, uint32_t length) override;

 private:
  // Connections ignore changes (see above).
  class Dispatcher : public KivTraceStreamDispatcher {
   public:
    using KivTraceStreamDispatcher::KivTraceStreamDispatcher;
    void OnConfigChanged() override {}
  };
  std::unique_ptr<Dispatcher> m_Dispatcher;  // owned; made with the first block
};
