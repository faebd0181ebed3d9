#pragma once
// A connected IPv4 TCP client socket, plain or TLS.

#include <cstdint>
#include <memory>
#include <string>

#include "SocketStream/Shared.h"
#include "SocketStream/Tls.h"

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
  // With `tls`, the connection then speaks TLS: the handshake (bounded by the
  // send time-out) must prove the server's certificate is signed by the
  // context's authority and names `host`; otherwise raises "TLS handshake
  // with server failed" and the reason. `tls` must outlive the client.
  Client(const std::string& host, uint32_t port, uint32_t connectTimeoutMs = kConnectTimeoutMs,
         uint32_t sendTimeoutMs = kSendTimeoutMs, const TlsContext* tls = nullptr);
  ~Client() override;

  // The TLS session, or none for plain TCP.
  TlsStream* Tls() const { return m_Tls.get(); }

 private:
  std::unique_ptr<TlsStream> m_Tls;
};

}  // namespace SocketStream
