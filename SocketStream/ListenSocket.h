#pragma once
// The listening socket of the network server: TCP on one local address
// (every IPv4 address by default), never waiting in accept.

#include <sys/socket.h>

#include <cstdint>
#include <string>

#include "SocketStream/Shared.h"

namespace SocketStream {

class ListenSocket : public Shared {
 public:
  // Port 0 picks a free port (see Port()). `backlog` is only the listen
  // backlog; it does not limit how many connections are served at once.
  // `bindAddress` is a numeric IPv4 or IPv6 address ("::" takes both
  // families where the system allows it).
  // Raises "Invalid port number", "Invalid bind address", "Can not create
  // socket", "can not get host name", "Can not bind socket to address" or
  // "Can not listen to socket".
  ListenSocket(uint32_t port, uint32_t backlog, const std::string& bindAddress = "0.0.0.0");

  // The port actually bound.
  uint16_t Port() const;

  // Accepts one pending connection without waiting and sets `peerAddress`
  // to the peer's dotted address; the result owns no descriptor when none is
  // pending. Raises "Failed to
  // accept connection" on other failures (such as running out of
  // descriptors), which the caller retries at its next step.
  Shared AcceptOne(std::string& peerAddress);
  // Accepts one pending connection without waiting: its descriptor
  // (non-blocking, close-on-exec; the caller owns it) with `peer` set, or
  // -errno (-EAGAIN when none is pending, -EMFILE when out of descriptors).
  int AcceptRaw(sockaddr_storage& peer);
};

}  // namespace SocketStream
