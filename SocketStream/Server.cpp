#include "SocketStream/Server.h"

#include <sys/socket.h>

#include <cerrno>

#include "Support/Logging.h"
#include "Support/Validation2Exception.h"

namespace SocketStream {
namespace {

// The connection's socket, read without waiting.
class SocketByteSource : public ByteSource {
 public:
  explicit SocketByteSource(int socket) : m_Socket(socket) {}
  long Read(uint8_t* buffer, size_t capacity) override {
    for (;;) {
      ssize_t n = recv(m_Socket, buffer, capacity, MSG_DONTWAIT);
      if (n >= 0) return static_cast<long>(n);
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) return kNothingNow;
      Validation2Exception::CheckOSCall(false, "Failed to receive data");
    }
  }

 private:
  int m_Socket;
};

}  // namespace

Server::Server(Shared&& accepted, const std::string& peerAddress)
    : Shared(std::move(accepted)), m_PeerAddress(peerAddress) {}

void Server::OnReceived(const uint8_t*, uint32_t) {}

void Server::Worker() {
  if (Eof()) return;
  try {
    SocketByteSource source(Descriptor());
    auto state =
        m_Receiver.Step(source, [this](const uint8_t* data, uint32_t length) { OnReceived(data, length); });
    if (state == MessageReceiver::State::Refused)
      KIV_DIAG_NOTHROW("Network server: " << m_PeerAddress << " announced a block above " << kMaxMessageLength
                                          << " bytes; force disconnect\n");
    if (state != MessageReceiver::State::Open) m_Eof.store(true, std::memory_order_release);
  } catch (...) {
    KIV_DIAG_NOTHROW("Exception happened in worker thread; force disconnect\n");
    m_Eof.store(true, std::memory_order_release);
  }
}

}  // namespace SocketStream
