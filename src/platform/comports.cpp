// Standard library only: the controller library compiles this file in.
#include "platform/comports.h"

#include <array>
#include <cstdlib>
#include <mutex>
#include <system_error>

#ifndef _WIN32
#include <unistd.h>

#include <sys/stat.h>
#endif

namespace platform {
namespace {

struct TDeviceRange {
  std::string_view prefix;
  int firstPort;
};

// 32 ports per kind, in the order of comports.h.
constexpr int kPortsPerRange = 32;
constexpr std::array<TDeviceRange, 3> kRanges{{
    {"/dev/ttyS", 1},
    {"/dev/ttyUSB", 33},
    {"/dev/ttyACM", 65},
}};

// Windows numbers ports up to 256.
[[maybe_unused]] constexpr int kMaxWindowsPort = 256;

std::mutex& LinkFolderLock() {
  static std::mutex lock;
  return lock;
}

// Never a shared folder such as /tmp, where another user could make the
// folder or the links first.
std::filesystem::path DefaultLinkFolder() {
  const char* named = std::getenv("BRELVO_COM_LINKS");
  if (named != nullptr && *named == '/') return named;
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if (runtime != nullptr && *runtime == '/') return std::filesystem::path(runtime) / "brelvo-com";
  return {};
}

std::filesystem::path& LinkFolderValue() {
  static std::filesystem::path folder = DefaultLinkFolder();
  return folder;
}

// Decimal digits only, no sign, no blanks, no overflow.
std::optional<int> ParseDigits(std::string_view digits) {
  if (digits.empty() || digits.size() > 9) return std::nullopt;
  int value = 0;
  for (const char c : digits) {
    if (c < '0' || c > '9') return std::nullopt;
    value = value * 10 + (c - '0');
  }
  return value;
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size()) return false;
  for (std::size_t i = 0; i < prefix.size(); ++i) {
    char c = text[i];
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
    if (c != prefix[i]) return false;
  }
  return true;
}

}  // namespace

std::optional<int> ParseComPortName(std::string_view name) {
  if (!StartsWithNoCase(name, "COM")) return std::nullopt;
  return ParseDigits(name.substr(3));
}

std::optional<std::string> ComPortDevicePath(int n) {
#ifdef _WIN32
  if (n < 1 || n > kMaxWindowsPort) return std::nullopt;
  return "\\\\.\\COM" + std::to_string(n);
#else
  if (n < 0) return std::nullopt;
  // A link present under that name wins, even a dangling one: opening it
  // then fails plainly instead of silently reaching another device.
  std::error_code error;
  const std::filesystem::path folder = ComLinkFolder();
  const std::filesystem::path link = folder / ("COM" + std::to_string(n));
  if (!folder.empty() && std::filesystem::symlink_status(link, error).type() != std::filesystem::file_type::not_found &&
      !error) {
    // Another user's link is refused plainly, not replaced by the table's
    // device: the operator named this port.
    if (!ComLinkTrusted(link)) return std::nullopt;
    return link.string();
  }
  for (const TDeviceRange& range : kRanges) {
    if (n >= range.firstPort && n < range.firstPort + kPortsPerRange) {
      return std::string(range.prefix) + std::to_string(n - range.firstPort);
    }
  }
  return std::nullopt;
#endif
}

std::optional<int> ComPortNumberOfDevice(std::string_view devicePath) {
#ifdef _WIN32
  constexpr std::string_view kDevicePrefix = "\\\\.\\";
  if (devicePath.substr(0, kDevicePrefix.size()) == kDevicePrefix) devicePath.remove_prefix(kDevicePrefix.size());
  const std::optional<int> n = ParseComPortName(devicePath);
  if (!n || *n < 1 || *n > kMaxWindowsPort) return std::nullopt;
  return n;
#else
  for (const TDeviceRange& range : kRanges) {
    if (devicePath.substr(0, range.prefix.size()) != range.prefix) continue;
    const std::string_view digits = devicePath.substr(range.prefix.size());
    // "ttyS01" is not a device name the kernel makes.
    if (digits.size() > 1 && digits[0] == '0') return std::nullopt;
    const std::optional<int> index = ParseDigits(digits);
    if (!index || *index >= kPortsPerRange) return std::nullopt;
    return range.firstPort + *index;
  }
  return std::nullopt;
#endif
}

std::filesystem::path ComLinkFolder() {
  std::lock_guard<std::mutex> guard(LinkFolderLock());
  return LinkFolderValue();
}

bool ComLinkTrusted(const std::filesystem::path& link) {
#ifdef _WIN32
  (void)link;
  return false;
#else
  const uid_t user = ::geteuid();
  struct stat folderFacts {};
  struct stat linkFacts {};
  // lstat: the folder itself must be a folder of ours, not a link to one.
  if (::lstat(link.parent_path().c_str(), &folderFacts) != 0 || !S_ISDIR(folderFacts.st_mode) ||
      folderFacts.st_uid != user) {
    return false;
  }
  return ::lstat(link.c_str(), &linkFacts) == 0 && linkFacts.st_uid == user;
#endif
}

void SetComLinkFolder(const std::filesystem::path& folder) {
  std::lock_guard<std::mutex> guard(LinkFolderLock());
  LinkFolderValue() = folder;
}

}  // namespace platform
