#include "SocketStream/ListenSocket.h"

#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

#include "Support/Logging.h"
#include "Support/Validation2Exception.h"

namespace SocketStream {

ListenSocket::ListenSocket(uint32_t port, uint32_t backlog) {
  Validation2Exception::CheckParameter(port <= 65535, "Invalid port number");
  int socket = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, IPPROTO_TCP);
  Validation2Exception::CheckOSCall(socket >= 0, "Can not create socket");
  Reset(socket);

  char host[100] = {};
  Validation2Exception::CheckOSCall(gethostname(host, sizeof host - 1) == 0, "can not get host name");
  // The host name is only checked, never used: a name that does not resolve
  // (common in containers) must not keep the server from listening.
  addrinfo hints{};
  hints.ai_family = AF_INET;
  addrinfo* found = nullptr;
  if (getaddrinfo(host, nullptr, &hints, &found) != 0 || found == nullptr)
    KIV_DIAG("Can not retrieve local host " << host << "\n");
  if (found) freeaddrinfo(found);

  // Every configuration change restarts the server on the same port while
  // the connections it just closed linger in TIME_WAIT; without this the new
  // bind would fail.
  int on = 1;
  setsockopt(socket, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_ANY);
  address.sin_port = htons(static_cast<uint16_t>(port));
  Validation2Exception::CheckOSCall(bind(socket, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0,
                                    "Can not bind socket to address");
  int queue = backlog > static_cast<uint32_t>(INT_MAX) ? INT_MAX : static_cast<int>(backlog);
  Validation2Exception::CheckOSCall(listen(socket, queue) == 0, "Can not listen to socket");
}

uint16_t ListenSocket::Port() const {
  sockaddr_in address{};
  socklen_t size = sizeof address;
  if (getsockname(Descriptor(), reinterpret_cast<sockaddr*>(&address), &size) != 0) return 0;
  return ntohs(address.sin_port);
}

Shared ListenSocket::AcceptOne(std::string& peerAddress) {
  for (;;) {
    sockaddr_in peer{};
    socklen_t size = sizeof peer;
    int socket =
        accept4(Descriptor(), reinterpret_cast<sockaddr*>(&peer), &size, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (socket >= 0) {
      peerAddress = DottedAddress(peer.sin_addr.s_addr);
      return Shared(socket);
    }
    if (errno == EAGAIN || errno == EWOULDBLOCK) return Shared();
    // A connection that went away before it was taken; look at the next one.
    if (errno == EINTR || errno == ECONNABORTED) continue;
    Validation2Exception::CheckOSCall(false, "Failed to accept connection");
  }
}

}  // namespace SocketStream
