#pragma once
// One accepted connection of the dispatcher stream. Worker() is the receive
// step: called by the server's loop when the socket has something, it reads
// what has arrived without waiting and hands each complete block to
// OnReceived(). Over TLS the step first drives the handshake. The connection
// ends (Eof() turns true, and stays) when the peer closes, announces a block
// above kMaxMessageLength, fails the handshake, sends something the socket
// reports as an error, or OnReceived raises; the owner then destroys it.
//
// Everything but Eof() is used by one thread at a time (the server loop's).

#include <atomic>
#include <chrono>
#include <cstdint>
#include <memory>
#include <string>
#include <utility>

#include "SocketStream/MessageReceiver.h"
#include "SocketStream/Shared.h"
#include "SocketStream/Tls.h"

namespace SocketStream {

class Server : public Shared {
 public:
  using Clock = std::chrono::steady_clock;

  // Takes over the accepted socket and the peer's address text.
  Server(Shared&& accepted, const std::string& peerAddress);
  ~Server() override;

  // Receives a whole block; the base does nothing with it. Called only from
  // Worker().
  virtual void OnReceived(const uint8_t* data, uint32_t length);

  // Speaks TLS from now on (before the first Worker()); `context` must
  // outlive this connection.
  void StartTls(const TlsContext& context);

  void Worker();
  bool Eof() const { return m_Eof.load(std::memory_order_acquire); }
  const std::string& PeerAddress() const { return m_PeerAddress; }

  // Why the handshake refused the peer ("certificate not trusted", "no
  // certificate", "handshake failed"); empty otherwise.
  const std::string& RefusalReason() const { return m_Refusal; }
  // The handshake waits for the socket to take more bytes.
  bool WantsWrite() const { return m_WantsWrite; }
  // The last step stopped at its byte cap before the source ran dry: bytes
  // may wait that the socket no longer signals (a TLS session reads ahead),
  // so step again.
  bool HasBuffered() const { return m_MoreWaiting && !Eof(); }
  // Bytes of an unfinished block held.
  size_t PendingBytes() const { return m_Receiver.PendingBytes(); }
  // When the connection was accepted or last completed a block.
  Clock::time_point LastProgress() const { return m_LastProgress; }
  // Bytes received since the last call.
  uint64_t TakeReceivedBytes() { return std::exchange(m_Received, 0); }

 private:
  void Receive();

  std::atomic<bool> m_Eof{false};
  const std::string m_PeerAddress;
  MessageReceiver m_Receiver;
  std::unique_ptr<TlsStream> m_Tls;  // none for a plain connection
  bool m_HandshakeDone = false;
  bool m_WantsWrite = false;
  bool m_MoreWaiting = false;
  std::string m_Refusal;
  Clock::time_point m_LastProgress = Clock::now();
  uint64_t m_Received = 0;
};

}  // namespace SocketStream
