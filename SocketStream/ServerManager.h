#pragma once
// The network server for connections of type ServerType: a ServerLoop whose
// connections are ServerType objects, each made from the accepted socket and
// the peer's address text (IPv4 dotted, or IPv6). ServerType derives from
// SocketStream::Server and overrides OnReceived(); its constructor may raise,
// which discards the connection. Objects are made, served and destroyed on
// the loop's thread (or by ~ServerManager after that thread has stopped).

#include <concepts>
#include <cstdint>
#include <memory>
#include <string>

#include "SocketStream/ServerLoop.h"

namespace SocketStream {

template <class T>
concept ConnectionServer =
    std::derived_from<T, Server> && std::constructible_from<T, Shared&&, const std::string&>;

template <ConnectionServer ServerType>
class ServerManager {
 public:
  // Opens the listening socket (raising as ServerLoop does) and starts the
  // loop thread.
  ServerManager(uint32_t port, uint32_t backlog, ServerOptions options = {})
      : m_Loop(port, backlog, std::move(options), [](Shared&& accepted, const std::string& peer) {
          return std::unique_ptr<Server>(std::make_unique<ServerType>(std::move(accepted), peer));
        }) {}
  ServerManager(const ServerManager&) = delete;
  ServerManager& operator=(const ServerManager&) = delete;

  uint16_t Port() const { return m_Loop.Port(); }
  // Connections being served.
  size_t ConnectionCount() const { return m_Loop.ConnectionCount(); }
  ServerCounts Counts() const { return m_Loop.Counts(); }

 private:
  ServerLoop m_Loop;
};

}  // namespace SocketStream
