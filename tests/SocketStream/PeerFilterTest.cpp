// The allow-list: addresses and CIDR ranges of both families, and the
// entries it refuses to guess at.

#include <arpa/inet.h>
#include <netinet/in.h>

#include <gtest/gtest.h>

#include <stdexcept>

#include "SocketStream/PeerFilter.h"

using SocketStream::PeerFilter;

namespace {

// Whether `filter` lets in `address` (IPv4 or IPv6 text).
bool Lets(const PeerFilter& filter, const char* address) {
  sockaddr_storage storage{};
  auto* v4 = reinterpret_cast<sockaddr_in*>(&storage);
  auto* v6 = reinterpret_cast<sockaddr_in6*>(&storage);
  if (inet_pton(AF_INET, address, &v4->sin_addr) == 1)
    v4->sin_family = AF_INET;
  else if (inet_pton(AF_INET6, address, &v6->sin6_addr) == 1)
    v6->sin6_family = AF_INET6;
  else
    ADD_FAILURE() << address;
  return filter.Allows(reinterpret_cast<sockaddr*>(&storage));
}

}  // namespace

TEST(PeerFilter, EmptyListLetsEveryoneIn) {
  EXPECT_TRUE(PeerFilter("").AllowsAll());
  EXPECT_TRUE(Lets(PeerFilter("  "), "192.0.2.7"));
  EXPECT_TRUE(Lets(PeerFilter(), "2001:db8::1"));
}

TEST(PeerFilter, AddressesAndRangesOfBothFamiliesMatchBitForBit) {
  PeerFilter filter(" 10.1.0.0/16, 127.0.0.2,fd00::/8 , 2001:db8::5, 192.168.1.128/25, 0.0.0.0/32");
  EXPECT_TRUE(Lets(filter, "10.1.255.3"));
  EXPECT_FALSE(Lets(filter, "10.2.0.1"));
  EXPECT_TRUE(Lets(filter, "127.0.0.2"));
  EXPECT_FALSE(Lets(filter, "127.0.0.1"));
  EXPECT_TRUE(Lets(filter, "192.168.1.200"));
  EXPECT_FALSE(Lets(filter, "192.168.1.127"));
  EXPECT_TRUE(Lets(filter, "fdab::1"));
  EXPECT_FALSE(Lets(filter, "fe00::1"));
  EXPECT_TRUE(Lets(filter, "2001:db8::5"));
  EXPECT_FALSE(Lets(filter, "2001:db8::6"));
  // A dual-stack listener sees IPv4 peers as mapped IPv6 addresses.
  EXPECT_TRUE(Lets(filter, "::ffff:127.0.0.2"));
  EXPECT_FALSE(Lets(filter, "::ffff:127.0.0.3"));
  EXPECT_TRUE(Lets(PeerFilter("0.0.0.0/0"), "203.0.113.9"));
  EXPECT_FALSE(Lets(PeerFilter("0.0.0.0/0"), "::1"));
  EXPECT_TRUE(Lets(PeerFilter("::/0"), "::1"));
}

TEST(PeerFilter, RefusesEntriesItCannotRead) {
  for (const char* bad : {"127.0.0.300", "10.0.0.0/33", "::1/129", "10.0.0.0/", "10.0.0.0/8x", "host.example",
                          "10.0.0.1,,10.0.0.2", ",10.0.0.1", "10.0.0.0/-1", "1.2.3"}) {
    try {
      PeerFilter filter(bad);
      ADD_FAILURE() << bad << " was accepted";
    } catch (const std::invalid_argument& e) {
      EXPECT_NE(std::string(e.what()).find("allowed_peers"), std::string::npos) << e.what();
    }
  }
}
