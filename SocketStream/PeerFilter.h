#pragma once
// The network server's allow-list: which peer addresses may connect.
// Immutable once parsed; safe to share between threads.

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

struct sockaddr;

namespace SocketStream {

class PeerFilter {
 public:
  // Parses a comma-separated list of IPv4 or IPv6 addresses and CIDR ranges
  // ("10.0.0.0/8, ::1, fd00::/8"); blanks around entries are ignored. Empty
  // (or only blanks) lets every peer in. Raises std::invalid_argument naming
  // the first entry that is not an address or range.
  explicit PeerFilter(std::string_view list = {});

  // Whether a peer at `address` (AF_INET or AF_INET6; an IPv4-mapped IPv6
  // address counts as the IPv4 one) may connect.
  bool Allows(const sockaddr* address) const;
  bool AllowsAll() const { return m_Ranges.empty(); }

 private:
  struct Range {
    std::array<uint8_t, 16> bytes;  // IPv4 held as IPv4-mapped IPv6
    unsigned prefix;                // bits of `bytes` that must match, 0..128
  };
  bool Matches(const std::array<uint8_t, 16>& address) const;

  std::vector<Range> m_Ranges;
};

// The text of a peer address: dotted IPv4 (also for IPv4-mapped IPv6), or
// the IPv6 text form.
std::string PeerAddressText(const sockaddr* address);

}  // namespace SocketStream
