// The platform-independent half of serial port discovery: from the devices
// and links found (Linux) or the SERIALCOMM values (Windows), the table of
// EnumerateSerialPorts. Kept apart so the naming, cutting, merging and
// ordering rules are tested without hardware.
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

// One value of HKLM\HARDWARE\DEVICEMAP\SERIALCOMM: the port a driver holds.
// Virtual, Bluetooth and some RS-485 drivers' ports are only listed there.
struct TSerialCommFacts {
  std::string deviceName;  // the value's name, "\Device\Serial0"
  std::string portName;    // its data, "COM7"
};

// Appends, after the entries already in the table, each SERIALCOMM port
// named "COM" and a number that no entry holds yet, as "<device> (COMn)"
// (the last part of the device name), in the order given and up to
// kMaxSerialPorts; ports of other names cannot be the board's and are left
// out. The device path is the port's own, "\\.\COMn".
void AppendSerialCommPorts(const std::vector<TSerialCommFacts>& ports, TSerialPortInfo* table, int& count);

}  // namespace platform
