#include "platform/localaddress.h"

namespace platform {

namespace {

bool LinkLocal(std::uint32_t ipv4) { return (ipv4 >> 16) == 0xA9FE; }  // 169.254/16
bool Loopback(std::uint32_t ipv4) { return (ipv4 >> 24) == 127; }

std::string Dotted(std::uint32_t ipv4) {
  return std::to_string(ipv4 >> 24) + "." + std::to_string((ipv4 >> 16) & 255) + "." +
         std::to_string((ipv4 >> 8) & 255) + "." + std::to_string(ipv4 & 255);
}

}  // namespace

std::string ChooseLanAddress(const std::vector<TInterfaceAddress>& addresses) {
  // 0: the default route's, 1: another LAN address, 2: link-local.
  const TInterfaceAddress* best = nullptr;
  int bestRank = 3;
  for (const TInterfaceAddress& address : addresses) {
    if (address.ipv4 == 0 || Loopback(address.ipv4)) continue;
    const int rank = LinkLocal(address.ipv4) ? 2 : address.defaultRoute ? 0 : 1;
    if (rank < bestRank) {
      best = &address;
      bestRank = rank;
    }
  }
  return best != nullptr ? Dotted(best->ipv4) : std::string();
}

}  // namespace platform
