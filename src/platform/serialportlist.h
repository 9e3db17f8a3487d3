// The platform-independent half of serial port discovery on Linux: from the
// devices and links found, the table of EnumerateSerialPorts. Kept apart so
// the naming, cutting and ordering rules are tested without hardware.
#pragma once

#include <string>
#include <vector>

#include "platform/serialports.h"

namespace platform {

// One tty device with real hardware behind it, as the device manager knows it.
struct TSerialDeviceFacts {
  std::string devicePath;  // "/dev/ttyUSB0"
  std::string sysName;     // "ttyUSB0"
  std::string vendor;      // hardware database vendor, else the device's own
  std::string model;       // hardware database model, else the device's own
};

// One COMn entry of the link folder.
struct TSerialLinkFacts {
  std::string linkPath;  // "/run/user/1000/brelvo-com/COM7"
  int number = 0;        // 7
  std::string target;    // where the link points, empty when unreadable
};

constexpr std::size_t kMaxFriendlyNameLength = 255;

// Device text as 8-bit text: printable ASCII kept, each other UTF-8 sequence
// or control byte becomes one '?'.
std::string SanitizeDeviceText(const std::string& text);

// "<vendor> <model> (COMn)" or, for a device outside the mapping or whose
// number a link has taken, "<vendor> <model> (<sysName>)"; without vendor and
// model the sysName stands in. The descriptive part is cut so the whole name
// keeps within 255 characters and the port text survives.
std::string SerialFriendlyName(const TSerialDeviceFacts& device, bool numberTakenByLink);
std::string SerialLinkFriendlyName(const TSerialLinkFacts& link);

// Devices in the order given, then links by number; at most kMaxSerialPorts
// entries; count set to the entries filled.
void BuildSerialPortTable(const std::vector<TSerialDeviceFacts>& devices, std::vector<TSerialLinkFacts> links,
                          TSerialPortInfo* table, int& count);

}  // namespace platform
