// Board ports are named "COM" followed by a number on every platform (the
// settings file, the port list, OpenPort). On Linux this unit owns the one
// mapping between those names and device paths:
//
//   1. <link folder>/COMn, when it exists (a symlink a program of this user
//      creates, e.g. the virtual board for its pseudo-terminal). The link
//      folder is $BRELVO_COM_LINKS when set (the demo and the tests name
//      one), else $XDG_RUNTIME_DIR/brelvo-com, else there is none; a test
//      may set another. Only a folder and links owned by this user count:
//      another user's link is never followed.
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

// Empty when there is none.
std::filesystem::path ComLinkFolder();
// Whether the link is in a folder of this user's and is this user's own
// (never true on Win32, which has no links).
bool ComLinkTrusted(const std::filesystem::path& link);
void SetComLinkFolder(const std::filesystem::path& folder);  // for tests and tools

}  // namespace platform
