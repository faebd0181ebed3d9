#pragma once
// The listening socket of the network server: IPv4 TCP on every local
// address, never waiting in accept.

#include <cstdint>
#include <string>

#include "SocketStream/Shared.h"

namespace SocketStream {

class ListenSocket : public Shared {
 public:
  // Port 0 picks a free port (see Port()). `backlog` is only the listen
  // backlog; it does not limit how many connections are served at once.
  // Raises "Invalid port number", "Can not create socket", "can not get host
  // name", "Can not bind socket to address" or "Can not listen to socket".
  ListenSocket(uint32_t port, uint32_t backlog);

  // The port actually bound.
  uint16_t Port() const;

  // Accepts one pending connection without waiting and sets `peerAddress`
  // to the peer's dotted address; the result owns no descriptor when none is
  // pending. Raises "Failed to
  // accept connection" on other failures (such as running out of
  // descriptors), which the caller retries at its next step.
  Shared AcceptOne(std::string& peerAddress);
};

}  // namespace SocketStream
