// Serial port discovery: every present serial device as a device path and a
// friendly name holding "(COMn)", in the platform's order.
// Win32: the Setup API. Linux: libudev (name from the hardware database's
// vendor and model, so a CH340 adapter's name contains "CH340") followed by
// " (COMn)" under the mapping of comports.h, plus the links of the link folder.
#pragma once

#include <string>

namespace platform {

struct TSerialPortInfo {
  std::string devicePath;    // 8-bit text; only written to the debugger output
  std::string friendlyName;  // 8-bit text, at most 255 characters; empty when unreadable
};

constexpr int kMaxSerialPorts = 100;

// Fills table[0..count-1] (at most kMaxSerialPorts entries; more devices are
// cut off); writes each device path to the debugger output. Always returns 1.
int EnumerateSerialPorts(TSerialPortInfo* table, int& count);

}  // namespace platform
