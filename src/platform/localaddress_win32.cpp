#include <winsock2.h>
#include <ws2tcpip.h>

#include <iphlpapi.h>
#include <vector>

#include "platform/localaddress.h"

namespace platform {

std::string LanIpv4Address() {
  // The interface a packet to an outside address would leave by: the
  // default route's. 192.0.2.1 is a documentation address; nothing is sent.
  DWORD routed = 0;
  const bool haveRoute = GetBestInterface(htonl(0xC0000201u), &routed) == NO_ERROR;
  ULONG size = 16 * 1024;
  std::vector<unsigned char> buffer;
  ULONG result = ERROR_BUFFER_OVERFLOW;
  for (int attempt = 0; attempt < 3 && result == ERROR_BUFFER_OVERFLOW; ++attempt) {
    buffer.resize(size);
    result = GetAdaptersAddresses(AF_INET, GAA_FLAG_SKIP_ANYCAST | GAA_FLAG_SKIP_MULTICAST | GAA_FLAG_SKIP_DNS_SERVER,
                                  nullptr, reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()), &size);
  }
  if (result != NO_ERROR) return {};
  std::vector<TInterfaceAddress> addresses;
  for (auto* adapter = reinterpret_cast<IP_ADAPTER_ADDRESSES*>(buffer.data()); adapter != nullptr;
       adapter = adapter->Next) {
    if (adapter->OperStatus != IfOperStatusUp || adapter->IfType == IF_TYPE_SOFTWARE_LOOPBACK) continue;
    for (auto* unicast = adapter->FirstUnicastAddress; unicast != nullptr; unicast = unicast->Next) {
      const sockaddr* address = unicast->Address.lpSockaddr;
      if (address == nullptr || address->sa_family != AF_INET) continue;
      TInterfaceAddress entry;
      entry.ipv4 = ntohl(reinterpret_cast<const sockaddr_in*>(address)->sin_addr.s_addr);
      entry.defaultRoute = haveRoute && adapter->IfIndex == routed;
      addresses.push_back(entry);
    }
  }
  return ChooseLanAddress(addresses);
}

}  // namespace platform
