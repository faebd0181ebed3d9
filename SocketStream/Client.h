#pragma once
// A connected IPv4 TCP client socket.

#include <cstdint>
#include <string>

#include "SocketStream/Shared.h"

namespace SocketStream {

class Client : public Shared {
 public:
  static constexpr uint32_t kConnectTimeoutMs = 1000;
  static constexpr uint32_t kSendTimeoutMs = 5000;

  // Connects to `host`: a text beginning with a letter is resolved by name,
  // any other is read as a dotted IPv4 address. The attempt gives up after
  // `connectTimeoutMs`, so an unreachable host cannot hold the caller (the
  // network output connects under its lock). A send that cannot make progress
  // for `sendTimeoutMs` fails, so a peer that stops reading costs the
  // connection instead of stalling every writer.
  // Raises "Can not create socket", "Can not get host info by hostname or
  // invalid hostname", "Invalid port number" or "Failed to connect to remote
  // server".
  Client(const std::string& host, uint32_t port, uint32_t connectTimeoutMs = kConnectTimeoutMs,
         uint32_t sendTimeoutMs = kSendTimeoutMs);
};

}  // namespace SocketStream
