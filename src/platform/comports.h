// Board ports are named "COM" followed by a number on every platform (the
// settings file, the port list, OpenPort). On Linux this unit owns the one
// mapping between those names and device paths:
//
//   1. <link folder>/COMn, when it exists (a symlink any program may create,
//      e.g. the virtual board for its pseudo-terminal). The link folder is
//      /tmp/brelvo-com unless a test sets another.
//   2. COM1..COM32   <-> /dev/ttyS0..ttyS31     (built-in UARTs)
//      COM33..COM64  <-> /dev/ttyUSB0..ttyUSB31 (USB adapters such as CH340)
//      COM65..COM96  <-> /dev/ttyACM0..ttyACM31 (USB CDC devices)
//
// On Windows the name is the device itself ("\\.\COMn").
// This unit depends on nothing else of ours, so the controller library
// compiles it in and resolves names exactly as the proxy does.
#pragma once

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

namespace platform {

// "COM7" -> 7 (also "com7"); anything else -> nullopt.
std::optional<int> ParseComPortName(std::string_view name);

// The device to open for port n: the link if present, else the fixed table.
// nullopt for a number outside every rule. Win32: "\\.\COMn".
std::optional<std::string> ComPortDevicePath(int n);

// Inverse of the fixed table (a link's target is not looked up): the COM
// number of /dev/ttyUSB2 is 35. nullopt for paths outside the table.
std::optional<int> ComPortNumberOfDevice(std::string_view devicePath);

std::filesystem::path ComLinkFolder();
void SetComLinkFolder(const std::filesystem::path& folder);  // for tests and tools

}  // namespace platform
