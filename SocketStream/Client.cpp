#include "SocketStream/Client.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>

#include <cctype>
#include <cerrno>
#include <chrono>

#include "Support/Validation2Exception.h"

namespace SocketStream {
namespace {

in_addr ResolveHost(const std::string& host) {
  in_addr address{};
  bool ok = false;
  if (!host.empty() && std::isalpha(static_cast<unsigned char>(host[0]))) {
    addrinfo hints{};
    hints.ai_family = AF_INET;
    hints.ai_socktype = SOCK_STREAM;
    addrinfo* found = nullptr;
    if (getaddrinfo(host.c_str(), nullptr, &hints, &found) == 0 && found != nullptr) {
      address = reinterpret_cast<sockaddr_in*>(found->ai_addr)->sin_addr;
      ok = true;
    }
    if (found) freeaddrinfo(found);
  } else {
    ok = inet_aton(host.c_str(), &address) != 0;
  }
  Validation2Exception::CheckParameter(ok, "Can not get host info by hostname or invalid hostname");
  return address;
}

// Waits for a non-blocking connect to finish, at most timeoutMs in all.
void FinishConnect(int socket, uint32_t timeoutMs) {
  using Clock = std::chrono::steady_clock;
  auto deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  for (;;) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    pollfd p{socket, POLLOUT, 0};
    int rc = poll(&p, 1, left > 0 ? static_cast<int>(left) : 0);
    if (rc < 0 && errno == EINTR) continue;
    Validation2Exception::CheckOSCall(rc >= 0, "Failed to connect to remote server");
    if (rc == 0) errno = ETIMEDOUT;
    Validation2Exception::CheckOSCall(rc > 0, "Failed to connect to remote server");
    int error = 0;
    socklen_t size = sizeof error;
    if (getsockopt(socket, SOL_SOCKET, SO_ERROR, &error, &size) != 0) error = errno;
    errno = error;
    Validation2Exception::CheckOSCall(error == 0, "Failed to connect to remote server");
    return;
  }
}

}  // namespace

Client::Client(const std::string& host, uint32_t port, uint32_t connectTimeoutMs, uint32_t sendTimeoutMs,
               const TlsContext* tls) {
  Validation2Exception::CheckParameter(port <= 65535, "Invalid port number");
  int socket = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, IPPROTO_TCP);
  Validation2Exception::CheckOSCall(socket >= 0, "Can not create socket");
  Reset(socket);

  sockaddr_in peer{};
  peer.sin_family = AF_INET;
  peer.sin_port = htons(static_cast<uint16_t>(port));
  peer.sin_addr = ResolveHost(host);
  if (connect(socket, reinterpret_cast<sockaddr*>(&peer), sizeof peer) != 0) {
    Validation2Exception::CheckOSCall(errno == EINPROGRESS || errno == EINTR,
                                      "Failed to connect to remote server");
    FinishConnect(socket, connectTimeoutMs);
  }

  // Connected: sends block again, bounded by the send time-out.
  int flags = fcntl(socket, F_GETFL);
  Validation2Exception::CheckOSCall(flags >= 0 && fcntl(socket, F_SETFL, flags & ~O_NONBLOCK) == 0,
                                    "Failed to connect to remote server");
  timeval timeout{static_cast<time_t>(sendTimeoutMs / 1000),
                  static_cast<suseconds_t>(sendTimeoutMs % 1000) * 1000};
  Validation2Exception::CheckOSCall(
      setsockopt(socket, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout) == 0,
      "Failed to connect to remote server");
  if (tls == nullptr) return;
  // A server that never answers the handshake must not hold the caller.
  Validation2Exception::CheckOSCall(
      setsockopt(socket, SOL_SOCKET, SO_RCVTIMEO, &timeout, sizeof timeout) == 0,
      "Failed to connect to remote server");
  m_Tls = std::make_unique<TlsStream>(*tls, socket, host);
  if (m_Tls->Handshake() != TlsStream::Progress::Done)
    Validation2Exception::CheckParameter(false,
                                         "TLS handshake with server failed: " + m_Tls->FailureReason());
}

// The session goes before the descriptor it runs over.
Client::~Client() { m_Tls.reset(); }

}  // namespace SocketStream
