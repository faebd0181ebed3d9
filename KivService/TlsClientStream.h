#pragma once
// TLS client side over a connected TCP socket (OpenSSL), for senders that
// wait with a stop flag and a stall limit; the context itself is the
// network sender's (SocketStream/Tls.h). The context holds
// the trusted certificates and, for mutual TLS, the own certificate and key;
// every stream made from it verifies the server's certificate chain and that
// the certificate names the host (or address) it was asked to connect to.
//
// Lifetime: a context may be shared by several streams and must outlive
// them (streams keep their own reference to the library context, so this
// holds automatically). Streams are not thread-safe; contexts are, once made.

#include <atomic>
#include <memory>
#include <string>

#include "KivService/ClientByteStream.h"

namespace SocketStream {
class TlsContext;
}

class TlsClientContext {
 public:
  // Raises nothing: returns null with `error` set when a file cannot be
  // loaded or the key does not match the certificate. `certificate` and
  // `key` are both empty (no client certificate) or both given.
  static std::unique_ptr<TlsClientContext> Create(const std::string& caFile, const std::string& certificate,
                                                  const std::string& key, std::string& error);
  ~TlsClientContext();
  TlsClientContext(const TlsClientContext&) = delete;
  TlsClientContext& operator=(const TlsClientContext&) = delete;

  // Runs the handshake over `fd` (non-blocking, owned from here on: closed
  // on failure) with `serverName` as the expected certificate name. Gives up
  // after `timeoutMs` or when `stop` is set; null with `error` set then.
  std::unique_ptr<ClientByteStream> Connect(int fd, const std::string& serverName,
                                            const std::atomic<bool>& stop, int timeoutMs, std::string& error);

 private:
  explicit TlsClientContext(std::unique_ptr<SocketStream::TlsContext> context);
  std::unique_ptr<SocketStream::TlsContext> m_Context;  // the settings shared with the network sender
};
