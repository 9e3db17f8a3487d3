// scoreboard.ini: the operator settings as 8-bit text lines beside the
// program. Reading follows the fgets/sscanf rules the file has always been
// read with, on the file's bytes (a Ctrl-Z byte is one more character);
// writing replaces the file in one step so the old file survives a failed or
// interrupted save, and keeps every line the program does not know (a
// comment, a key of a newer version) where it stood.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>

#include "archive/feedarchive.h"
#include "exchange/controllerlibrary.h"
#include "views/feedlinkstatus.h"

inline constexpr const char* kSettingsFileName = "scoreboard.ini";

// What a read found; absent members keep the window's current values.
struct TLoadedSettings {
  std::optional<std::string> host;  // 8-bit token
  std::optional<std::string> port;  // 8-bit token
  std::uint32_t startMode = 0;      // last ScoreboardMode value; one other than 0, 1, 2 reads as 0
  // The radio button to select: the last mode line whose value was 0 or 1.
  std::optional<std::uint32_t> radioMode;
  std::optional<std::int32_t> brightness;  // already clamped to 1..16
  std::uint32_t comPort = 0;
  // A value that is not a plain decimal count (negative, not a number)
  // reads as kDefaultArchiveDays.
  std::optional<std::uint32_t> archiveDays;
  std::optional<std::string> webPort;     // 8-bit token
  std::optional<std::string> webPublish;  // 8-bit token
  TConventionSetting controllerConvention = csAuto;
};

// Lines longer than this (line end not counted) are no setting: the whole
// line is ignored, never read as a setting from its tail.
inline constexpr std::size_t kLongestSettingsLine = 511;

// The results page's port when the file does not give a usable one.
inline constexpr std::uint16_t kDefaultWebPort = 8080;

struct TSettingsToSave {
  std::string host;  // 8-bit text
  std::string port;  // 8-bit text
  std::uint32_t mode = 0;
  std::uint32_t brightness = 16;
  std::uint32_t comPort = 0;
  std::uint32_t archiveDays = static_cast<std::uint32_t>(kDefaultArchiveDays);
  std::string webPort = "8080";  // 8-bit text, written back as it was read
  TConventionSetting controllerConvention = csAuto;
  std::string webPublish;        // the pub/sub URL the events also go to; empty: none
};

// The feed endpoint as the source edits give it. The one conversion of the
// address and port, at start and on "Сохранить".
struct TFeedEndpoint {
  std::uint32_t address = 0;  // IPv4, network byte order (inet_addr)
  std::int32_t port = 0;      // 1..65535
};
// nullopt when the port text is not a decimal integer in 1..65535 or the
// address is not four decimal numbers 0..255 joined by dots (blanks around
// either are allowed); `fault`, when given, says which (the address first).
// No name lookup: "localhost" is no address.
std::optional<TFeedEndpoint> ConvertFeedEndpoint(std::u16string_view host, std::u16string_view port,
                                                 TFeedEntryFault* fault = nullptr);

// The results page's port from the WebPort text: 0 turns the page off; text
// that is not a decimal integer in 0..65535 gives the default, as a port
// text that does not convert leaves the feed's endpoint alone.
std::uint16_t WebPortNumber(std::u16string_view text);

// The track bar's rule: the value taken as signed 32 bits, clamped to 1..16.
std::int32_t ClampBrightness(std::uint32_t value);

// False (and defaults in `out`) when the file cannot be opened. A UTF-8
// byte-order mark at the start (Notepad writes one) is skipped.
bool ReadSettingsFile(const std::filesystem::path& file, TLoadedSettings& out);

enum class TSettingsSaveFault : std::int32_t {
  None,
  ReadOnly,  // the operator made the file read-only: it is left alone
  Write,     // the folder or the disk refused the new file
};

// Writes the settings in one step (platform::WriteFileAtomically): each
// known key's line takes the place of the file's first line with that key
// (later ones are dropped, as reading ignores them), every other line stays
// as it was, and keys the file lacks follow at its end. On any failure the
// old file is left as it was, false is returned and `fault` says why.
bool WriteSettingsFile(const std::filesystem::path& file, const TSettingsToSave& settings,
                       TSettingsSaveFault* fault = nullptr);

// What the operator is told of a save that failed, naming the file.
std::u16string SettingsSaveFaultText(const std::filesystem::path& file, TSettingsSaveFault fault);
