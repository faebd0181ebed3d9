#pragma once
// Sends messages of the dispatcher stream (4-byte little-endian length, then
// the block) over a connected client socket, which it owns; over TLS when the
// client speaks it.

#include <cstddef>
#include <cstdint>
#include <memory>

#include "SocketStream/Client.h"

namespace SocketStream {

class WriteStream {
 public:
  explicit WriteStream(std::unique_ptr<Client> client);
  WriteStream(const WriteStream&) = delete;
  WriteStream& operator=(const WriteStream&) = delete;

  // Sends one whole message, retrying short sends until everything has gone.
  // Raises "Failed to send data size" or "Failed to send data block" when the
  // connection fails (or a send stalls past the client's send time-out); the
  // peer may then hold the start of the message, so the stream is broken from
  // then on and every later write raises at once. A block above
  // kMaxMessageLength, which no receiver accepts, raises "Block too large to
  // send" before anything is sent and leaves the stream usable.
  void write(const void* data, uint32_t length);

  bool Broken() const { return m_Broken; }
  int Descriptor() const { return m_Client->Descriptor(); }

 private:
  // Bytes of the first TLS record of a message: one record's payload.
  static constexpr size_t kFirstRecord = 16 * 1024;
  void WriteTls(TlsStream& tls, const uint8_t* header, const void* data, uint32_t length);

  std::unique_ptr<Client> m_Client;
  bool m_Broken = false;
};

}  // namespace SocketStream
