#pragma once
// One accepted connection of the dispatcher stream. Worker() is the receive
// step: called periodically on the connection's own thread, it reads what
// has arrived without waiting and hands each complete block to OnReceived().
// The connection ends (Eof() turns true, and stays) when the peer closes,
// announces a block above kMaxMessageLength, sends something the socket
// reports as an error, or OnReceived raises; the owner then destroys it.

#include <atomic>
#include <cstdint>
#include <string>

#include "SocketStream/MessageReceiver.h"
#include "SocketStream/Shared.h"

namespace SocketStream {

class Server : public Shared {
 public:
  // Takes over the accepted socket and the peer's dotted IPv4 address.
  Server(Shared&& accepted, const std::string& peerAddress);
  ~Server() override = default;

  // Receives a whole block; the base does nothing with it. Called only from
  // Worker(), on the connection's thread.
  virtual void OnReceived(const uint8_t* data, uint32_t length);

  void Worker();
  bool Eof() const { return m_Eof.load(std::memory_order_acquire); }
  const std::string& PeerAddress() const { return m_PeerAddress; }

 private:
  std::atomic<bool> m_Eof{false};
  const std::string m_PeerAddress;
  MessageReceiver m_Receiver;  // used only by Worker()
};

}  // namespace SocketStream
