#include "KivService/ClientByteStream.h"

#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "Support/FileDescriptor.h"

namespace {

constexpr int kSliceMs = 100;  // how often a wait looks at the stop flag

class TcpByteStream : public ClientByteStream {
 public:
  explicit TcpByteStream(int fd) : m_Fd(fd) {}

  size_t Write(const char* data, size_t size, const std::atomic<bool>& stop, int stallMs) override {
    size_t done = 0;
    while (done < size) {
      ssize_t n = ::send(m_Fd.get(), data + done, size - done, MSG_NOSIGNAL);
      if (n > 0) {
        done += static_cast<size_t>(n);
        continue;
      }
      if (n < 0 && errno == EINTR) continue;
      if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) &&
          WaitForDescriptor(m_Fd.get(), POLLOUT, stop, stallMs))
        continue;
      break;
    }
    return done;
  }

  bool PeerClosed() override {
    char byte;
    ssize_t n = ::recv(m_Fd.get(), &byte, 1, MSG_DONTWAIT | MSG_PEEK);
    if (n < 0) return errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR;
    return true;  // end of stream, or data a receiver never sends
  }

 private:
  FileDescriptor m_Fd;
};

}  // namespace

bool WaitForDescriptor(int fd, short events, const std::atomic<bool>& stop, int timeoutMs) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
  while (!stop.load(std::memory_order_relaxed)) {
    pollfd p{fd, events, 0};
    int n = ::poll(&p, 1, kSliceMs);
    if (n > 0) return (p.revents & events) != 0 || (p.revents & (POLLERR | POLLHUP)) != 0;
    if (n < 0 && errno != EINTR) return false;
    if (std::chrono::steady_clock::now() >= deadline) return false;
  }
  return false;
}

int ConnectTcpSocket(const std::string& host, uint32_t port, const std::atomic<bool>& stop, int timeoutMs,
                     std::string& error) {
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  int rc = ::getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found);
  if (rc != 0) {
    error = "can not resolve " + host + ": " + gai_strerror(rc);
    return -1;
  }
  struct Free {
    addrinfo* list;
    ~Free() { freeaddrinfo(list); }
  } freeList{found};
  error = "can not connect to " + host + ":" + std::to_string(port);
  for (addrinfo* a = found; a != nullptr && !stop.load(); a = a->ai_next) {
    FileDescriptor fd(::socket(a->ai_family, a->ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, a->ai_protocol));
    if (!fd.valid()) continue;
    if (::connect(fd.get(), a->ai_addr, a->ai_addrlen) == 0) return fd.release();
    if (errno != EINPROGRESS) {
      error += std::string(": ") + std::strerror(errno);
    } else if (!WaitForDescriptor(fd.get(), POLLOUT, stop, timeoutMs)) {
      error += ": timed out";
    } else {
      int soError = 0;
      socklen_t length = sizeof soError;
      if (::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &soError, &length) == 0 && soError == 0)
        return fd.release();
      error += std::string(": ") + std::strerror(soError);
    }
  }
  return -1;
}

std::unique_ptr<ClientByteStream> MakeTcpByteStream(int fd) { return std::make_unique<TcpByteStream>(fd); }
