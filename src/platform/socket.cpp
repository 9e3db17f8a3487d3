#include "platform/socket.h"

namespace platform {

std::string EndpointText(std::uint32_t ipv4NetworkOrder, std::uint16_t port) {
  // Network order: the first byte in memory is the first number.
  const auto* bytes = reinterpret_cast<const unsigned char*>(&ipv4NetworkOrder);
  return std::to_string(bytes[0]) + "." + std::to_string(bytes[1]) + "." + std::to_string(bytes[2]) + "." +
         std::to_string(bytes[3]) + ":" + std::to_string(port);
}

}  // namespace platform
