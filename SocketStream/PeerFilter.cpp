#include "SocketStream/PeerFilter.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <charconv>
#include <cstring>
#include <stdexcept>

namespace SocketStream {
namespace {

constexpr std::array<uint8_t, 12> kMappedPrefix = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0xff, 0xff};

std::array<uint8_t, 16> Mapped(const in_addr& v4) {
  std::array<uint8_t, 16> out{};
  std::memcpy(out.data(), kMappedPrefix.data(), kMappedPrefix.size());
  std::memcpy(out.data() + 12, &v4, 4);
  return out;
}

bool IsMapped(const in6_addr& v6) {
  return std::memcmp(&v6, kMappedPrefix.data(), kMappedPrefix.size()) == 0;
}

std::string_view Trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t')) text.remove_suffix(1);
  return text;
}

}  // namespace

PeerFilter::PeerFilter(std::string_view list) {
  while (!list.empty()) {
    size_t comma = list.find(',');
    std::string_view entry = Trim(list.substr(0, comma));
    list = comma == std::string_view::npos ? std::string_view{} : list.substr(comma + 1);
    if (entry.empty()) {
      if (comma != std::string_view::npos || !m_Ranges.empty())
        throw std::invalid_argument("allowed_peers: empty entry");
      continue;
    }
    auto refuse = [&] {
      throw std::invalid_argument("allowed_peers: invalid entry \"" + std::string(entry) + "\"");
    };
    size_t slash = entry.find('/');
    std::string address(entry.substr(0, slash));
    Range range{};
    unsigned maxPrefix = 0;
    in_addr v4{};
    in6_addr v6{};
    if (inet_pton(AF_INET, address.c_str(), &v4) == 1) {
      range.bytes = Mapped(v4);
      maxPrefix = 32;
    } else if (inet_pton(AF_INET6, address.c_str(), &v6) == 1) {
      std::memcpy(range.bytes.data(), &v6, 16);
      maxPrefix = 128;
    } else {
      refuse();
    }
    unsigned prefix = maxPrefix;
    if (slash != std::string_view::npos) {
      std::string_view digits = entry.substr(slash + 1);
      auto [end, error] = std::from_chars(digits.data(), digits.data() + digits.size(), prefix);
      if (digits.empty() || error != std::errc() || end != digits.data() + digits.size() ||
          prefix > maxPrefix)
        refuse();
    }
    range.prefix = prefix + (maxPrefix == 32 ? 96 : 0);
    m_Ranges.push_back(range);
  }
}

bool PeerFilter::Matches(const std::array<uint8_t, 16>& address) const {
  for (const Range& range : m_Ranges) {
    unsigned whole = range.prefix / 8, rest = range.prefix % 8;
    if (std::memcmp(address.data(), range.bytes.data(), whole) != 0) continue;
    if (rest != 0) {
      uint8_t mask = static_cast<uint8_t>(0xff << (8 - rest));
      if ((address[whole] & mask) != (range.bytes[whole] & mask)) continue;
    }
    return true;
  }
  return false;
}

bool PeerFilter::Allows(const sockaddr* address) const {
  if (m_Ranges.empty()) return true;
  std::array<uint8_t, 16> bytes{};
  if (address->sa_family == AF_INET) {
    bytes = Mapped(reinterpret_cast<const sockaddr_in*>(address)->sin_addr);
  } else if (address->sa_family == AF_INET6) {
    std::memcpy(bytes.data(), &reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr, 16);
  } else {
    return false;
  }
  return Matches(bytes);
}

std::string PeerAddressText(const sockaddr* address) {
  char text[INET6_ADDRSTRLEN] = {};
  if (address->sa_family == AF_INET) {
    inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(address)->sin_addr, text, sizeof text);
  } else if (address->sa_family == AF_INET6) {
    const in6_addr& v6 = reinterpret_cast<const sockaddr_in6*>(address)->sin6_addr;
    if (IsMapped(v6))
      inet_ntop(AF_INET, reinterpret_cast<const uint8_t*>(&v6) + 12, text, sizeof text);
    else
      inet_ntop(AF_INET6, &v6, text, sizeof text);
  }
  return text;
}

}  // namespace SocketStream
