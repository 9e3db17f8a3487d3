// Which of the computer's addresses the web panel names: the one the
// track's screens can reach, not a VPN's, a virtual machine's or a
// self-assigned one.
#include "platform/localaddress.h"

#include <gtest/gtest.h>

namespace {

constexpr std::uint32_t Ip(std::uint32_t a, std::uint32_t b, std::uint32_t c, std::uint32_t d) {
  return (a << 24) | (b << 16) | (c << 8) | d;
}

TEST(LanAddress, DefaultRouteBeforeOthersNeverLinkLocalBeforeARealOne) {
  using platform::ChooseLanAddress;
  // A VPN or a virtual machine's adapter listed first.
  EXPECT_EQ(ChooseLanAddress({{Ip(10, 8, 0, 2), false}, {Ip(192, 168, 1, 20), true}}), "192.168.1.20");
  // Wi-Fi still joining: its self-assigned address is the default route's.
  EXPECT_EQ(ChooseLanAddress({{Ip(169, 254, 3, 4), true}, {Ip(172, 16, 0, 9), false}}), "172.16.0.9");
  EXPECT_EQ(ChooseLanAddress({{Ip(169, 254, 3, 4), false}}), "169.254.3.4");
  EXPECT_EQ(ChooseLanAddress({{Ip(127, 0, 1, 1), true}}), "");
  EXPECT_EQ(ChooseLanAddress({}), "");
}

}  // namespace
