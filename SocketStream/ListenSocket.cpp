#include "SocketStream/ListenSocket.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>

#include "SocketStream/PeerFilter.h"
#include "Support/Logging.h"
#include "Support/Validation2Exception.h"

namespace SocketStream {

ListenSocket::ListenSocket(uint32_t port, uint32_t backlog, const std::string& bindAddress) {
  Validation2Exception::CheckParameter(port <= 65535, "Invalid port number");
  sockaddr_storage address{};
  socklen_t addressSize = 0;
  auto* v4 = reinterpret_cast<sockaddr_in*>(&address);
  auto* v6 = reinterpret_cast<sockaddr_in6*>(&address);
  if (inet_pton(AF_INET, bindAddress.c_str(), &v4->sin_addr) == 1) {
    v4->sin_family = AF_INET;
    v4->sin_port = htons(static_cast<uint16_t>(port));
    addressSize = sizeof *v4;
  } else if (inet_pton(AF_INET6, bindAddress.c_str(), &v6->sin6_addr) == 1) {
    v6->sin6_family = AF_INET6;
    v6->sin6_port = htons(static_cast<uint16_t>(port));
    addressSize = sizeof *v6;
  }
  Validation2Exception::CheckParameter(addressSize != 0, "Invalid bind address");
  int socket = ::socket(address.ss_family, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, IPPROTO_TCP);
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
  Validation2Exception::CheckOSCall(bind(socket, reinterpret_cast<sockaddr*>(&address), addressSize) == 0,
                                    "Can not bind socket to address");
  int queue = backlog > static_cast<uint32_t>(INT_MAX) ? INT_MAX : static_cast<int>(backlog);
  Validation2Exception::CheckOSCall(listen(socket, queue) == 0, "Can not listen to socket");
}

uint16_t ListenSocket::Port() const {
  sockaddr_storage address{};
  socklen_t size = sizeof address;
  if (getsockname(Descriptor(), reinterpret_cast<sockaddr*>(&address), &size) != 0) return 0;
  // The port sits at the same place in both address families.
  return ntohs(reinterpret_cast<sockaddr_in*>(&address)->sin_port);
}

int ListenSocket::AcceptRaw(sockaddr_storage& peer) {
  for (;;) {
    socklen_t size = sizeof peer;
    int socket =
        accept4(Descriptor(), reinterpret_cast<sockaddr*>(&peer), &size, SOCK_CLOEXEC | SOCK_NONBLOCK);
    if (socket >= 0) return socket;
    if (errno == EINTR || errno == ECONNABORTED) continue;
    return -errno;
  }
}

Shared ListenSocket::AcceptOne(std::string& peerAddress) {
  sockaddr_storage peer{};
  int socket = AcceptRaw(peer);
  if (socket >= 0) {
    peerAddress = PeerAddressText(reinterpret_cast<sockaddr*>(&peer));
    return Shared(socket);
  }
  if (socket == -EAGAIN || socket == -EWOULDBLOCK) return Shared();
  errno = -socket;
  Validation2Exception::CheckOSCall(false, "Failed to accept connection");
  return Shared();
}

}  // namespace SocketStream
