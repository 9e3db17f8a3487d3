// The address under which other machines on the track's network reach this
// computer: the first IPv4 address of an interface that is up and is not a
// loopback.
#pragma once

#include <string>

namespace platform {

// Dotted form ("192.168.1.20"); empty when the computer has none.
std::string FirstLanIpv4Address();

}  // namespace platform
