#pragma once
// A connected client byte stream (plain TCP or TLS) as the syslog sender
// uses it, and the plain TCP connect. Kept minimal so that another TLS
// implementation can stand behind the same interface.
//
// A stream owns its descriptor (and TLS session) and closes it when
// destroyed. Not thread-safe: one thread uses a stream at a time.

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>

class ClientByteStream {
 public:
  ClientByteStream() = default;
  virtual ~ClientByteStream() = default;
  ClientByteStream(const ClientByteStream&) = delete;
  ClientByteStream& operator=(const ClientByteStream&) = delete;

  // Writes `size` bytes; returns how many were taken before a failure (all
  // of them on success). Gives up when `stop` becomes true or the peer takes
  // nothing for `stallMs`.
  virtual size_t Write(const char* data, size_t size, const std::atomic<bool>& stop, int stallMs) = 0;
  // True when the peer has closed or reset the connection; never waits. A
  // syslog receiver sends nothing, so anything readable on a plain stream
  // means the end.
  virtual bool PeerClosed() = 0;
};

// Polls `fd` for `events` in slices until ready, `stop` is set or `timeoutMs`
// passes; true when ready.
bool WaitForDescriptor(int fd, short events, const std::atomic<bool>& stop, int timeoutMs);

// A non-blocking TCP socket connected to host:port (names are looked up),
// or -1 with `error` set. Tries every address; gives up on one after
// `timeoutMs` or when `stop` is set.
int ConnectTcpSocket(const std::string& host, uint32_t port, const std::atomic<bool>& stop, int timeoutMs,
                     std::string& error);

// A plain TCP stream over `fd` (owned from here on).
std::unique_ptr<ClientByteStream> MakeTcpByteStream(int fd);
