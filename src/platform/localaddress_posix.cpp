#include <fstream>
#include <ifaddrs.h>
#include <sstream>
#include <string>

#include <arpa/inet.h>
#include <net/if.h>
#include <netinet/in.h>

#include "platform/localaddress.h"

namespace platform {

namespace {

// The interface of the default route with the lowest metric; empty without one.
std::string DefaultRouteInterface() {
  std::ifstream routes("/proc/net/route");
  std::string line;
  std::getline(routes, line);  // the column names
  std::string best;
  unsigned long bestMetric = ~0ul;
  while (std::getline(routes, line)) {
    std::istringstream fields(line);
    std::string name, destination, gateway, mask;
    unsigned long flags = 0, references = 0, use = 0, metric = 0;
    fields >> name >> destination >> gateway >> std::hex >> flags >> std::dec >> references >> use >> metric >> mask;
    if (!fields || destination != "00000000" || mask != "00000000" || (flags & 1u) == 0) continue;  // 1: up
    if (metric < bestMetric) {
      best = name;
      bestMetric = metric;
    }
  }
  return best;
}

}  // namespace

std::string LanIpv4Address() {
  ifaddrs* list = nullptr;
  if (getifaddrs(&list) != 0) return {};
  const std::string routed = DefaultRouteInterface();
  std::vector<TInterfaceAddress> addresses;
  for (const ifaddrs* entry = list; entry != nullptr; entry = entry->ifa_next) {
    if (entry->ifa_addr == nullptr || entry->ifa_addr->sa_family != AF_INET) continue;
    if ((entry->ifa_flags & IFF_UP) == 0 || (entry->ifa_flags & IFF_LOOPBACK) != 0) continue;
    TInterfaceAddress address;
    address.ipv4 = ntohl(reinterpret_cast<const sockaddr_in*>(entry->ifa_addr)->sin_addr.s_addr);
    address.defaultRoute = !routed.empty() && entry->ifa_name != nullptr && routed == entry->ifa_name;
    addresses.push_back(address);
  }
  freeifaddrs(list);
  return ChooseLanAddress(addresses);
}

}  // namespace platform
