// The address under which other machines on the track's network reach this
// computer. A PC has more than one: a VPN, a virtual machine's adapter, a
// self-assigned 169.254 address while Wi-Fi is still joining. The one that
// counts is the interface of the default route; without one, a real LAN
// address before a link-local one.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace platform {

// One IPv4 address of an interface that is up and is not a loopback.
struct TInterfaceAddress {
  std::uint32_t ipv4 = 0;     // host order
  bool defaultRoute = false;  // the interface carries the default route
};

// Dotted form ("192.168.1.20"); empty when the computer has none. Cheap
// enough to ask again whenever the network may have changed.
std::string LanIpv4Address();

// The choice among the addresses the system listed, in its order.
std::string ChooseLanAddress(const std::vector<TInterfaceAddress>& addresses);

}  // namespace platform
