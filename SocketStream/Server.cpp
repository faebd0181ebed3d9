#include "SocketStream/Server.h"

#include <sys/socket.h>

#include <cerrno>
#include <utility>

#include "Support/Logging.h"
#include "Support/Validation2Exception.h"

namespace SocketStream {
namespace {

// The connection's socket or TLS session, read without waiting; counts the
// bytes taken.
class ConnectionByteSource : public ByteSource {
 public:
  ConnectionByteSource(int socket, TlsStream* tls, uint64_t& received)
      : m_Socket(socket), m_Tls(tls), m_Received(received) {}
  long Read(uint8_t* buffer, size_t capacity) override { return ReadWithNext(buffer, capacity, nullptr, 0); }
  long ReadWithNext(uint8_t* buffer, size_t capacity, uint8_t* next, size_t nextCapacity) override {
    long n = m_Tls ? m_Tls->Read(buffer, capacity) : ReadSocket(buffer, capacity, next, nextCapacity);
    if (n > 0) m_Received += static_cast<uint64_t>(n);
    if (n <= 0) m_Dry = true;
    return n;
  }
  // Whether a read found nothing (or the end) during this step.
  bool Dry() const { return m_Dry; }

 private:
  long ReadSocket(uint8_t* buffer, size_t capacity, uint8_t* next, size_t nextCapacity) {
    iovec pieces[2] = {{buffer, capacity}, {next, nextCapacity}};
    msghdr message{};
    message.msg_iov = pieces;
    message.msg_iovlen = next != nullptr ? 2 : 1;
    for (;;) {
      ssize_t n = recvmsg(m_Socket, &message, MSG_DONTWAIT);
      if (n >= 0) return static_cast<long>(n);
      if (errno == EINTR) continue;
      if (errno == EAGAIN || errno == EWOULDBLOCK) return kNothingNow;
      Validation2Exception::CheckOSCall(false, "Failed to receive data");
    }
  }

  int m_Socket;
  TlsStream* m_Tls;
  uint64_t& m_Received;
  bool m_Dry = false;
};

}  // namespace

Server::Server(Shared&& accepted, const std::string& peerAddress)
    : Shared(std::move(accepted)), m_PeerAddress(peerAddress) {}

// The session goes before the descriptor it runs over.
Server::~Server() { m_Tls.reset(); }

void Server::OnReceived(const uint8_t*, uint32_t) {}

void Server::StartTls(const TlsContext& context) {
  m_Tls = std::make_unique<TlsStream>(context, Descriptor());
}

void Server::Worker() {
  if (Eof()) return;
  try {
    if (m_Tls && !m_HandshakeDone) {
      auto progress = m_Tls->Handshake();
      m_WantsWrite = progress == TlsStream::Progress::WantWrite;
      if (progress == TlsStream::Progress::Failed) {
        m_Refusal = m_Tls->FailureReason();
        m_Eof.store(true, std::memory_order_release);
        return;
      }
      if (progress != TlsStream::Progress::Done) return;
      m_HandshakeDone = true;
    }
    Receive();
  } catch (...) {
    KIV_DIAG_NOTHROW("Exception happened in worker thread; force disconnect\n");
    m_Eof.store(true, std::memory_order_release);
  }
}

void Server::Receive() {
  ConnectionByteSource source(Descriptor(), m_Tls.get(), m_Received);
  auto state = m_Receiver.Step(source, [this](const uint8_t* data, uint32_t length) {
    m_LastProgress = Clock::now();
    OnReceived(data, length);
  });
  if (state == MessageReceiver::State::Refused)
    KIV_DIAG_NOTHROW("Network server: " << m_PeerAddress << " announced a block above " << kMaxMessageLength
                                        << " bytes; force disconnect\n");
  m_MoreWaiting = !source.Dry() || (m_Tls && m_Tls->HasBuffered());
  if (state != MessageReceiver::State::Open) m_Eof.store(true, std::memory_order_release);
}

}  // namespace SocketStream
