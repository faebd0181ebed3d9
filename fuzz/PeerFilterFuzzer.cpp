// The network server's allow-list parser over arbitrary text: a list either
// parses or raises std::invalid_argument, and a parsed filter answers for
// any address without failing.

#include <netinet/in.h>
#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <stdexcept>
#include <string_view>

#include "SocketStream/PeerFilter.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  // The last 16 bytes (when there are enough) are also asked about, as IPv6
  // and as IPv4.
  std::string_view list(reinterpret_cast<const char*>(data), size);
  try {
    SocketStream::PeerFilter filter(list);
    sockaddr_in6 v6{};
    v6.sin6_family = AF_INET6;
    sockaddr_in v4{};
    v4.sin_family = AF_INET;
    if (size >= 16) {
      std::memcpy(&v6.sin6_addr, data + size - 16, 16);
      std::memcpy(&v4.sin_addr, data + size - 4, 4);
    }
    volatile bool allowed =
        filter.Allows(reinterpret_cast<sockaddr*>(&v6)) || filter.Allows(reinterpret_cast<sockaddr*>(&v4));
    (void)allowed;
    (void)SocketStream::PeerAddressText(reinterpret_cast<sockaddr*>(&v6));
  } catch (const std::invalid_argument&) {
  }
  return 0;
}
