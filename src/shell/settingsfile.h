// scoreboard.ini: five operator settings as 8-bit text lines beside the
// program. Reading follows the fgets/sscanf rules the file has always been
// read with; writing goes through a temporary file so the old file survives
// a failed or interrupted save.
#pragma once

#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>

inline constexpr const char* kSettingsFileName = "scoreboard.ini";

// What a read found; absent members keep the window's current values.
struct TLoadedSettings {
  std::optional<std::string> host;  // 8-bit token
  std::optional<std::string> port;  // 8-bit token
  std::uint32_t startMode = 0;      // last ScoreboardMode value, any number
  // The radio button to select: the last mode line whose value was 0 or 1.
  std::optional<std::uint32_t> radioMode;
  std::optional<std::int32_t> brightness;  // already clamped to 1..16
  std::uint32_t comPort = 0;
};

struct TSettingsToSave {
  std::string host;  // 8-bit text
  std::string port;  // 8-bit text
  std::uint32_t mode = 0;
  std::uint32_t brightness = 16;
  std::uint32_t comPort = 0;
};

// The track bar's rule: the value taken as signed 32 bits, clamped to 1..16.
std::int32_t ClampBrightness(std::uint32_t value);

// False (and defaults in `out`) when the file cannot be opened.
bool ReadSettingsFile(const std::filesystem::path& file, TLoadedSettings& out);

// Writes the five lines to a temporary file in the same folder, flushes it to
// disk and renames it over `file`. On any failure the old file is left as it
// was and false is returned.
bool WriteSettingsFile(const std::filesystem::path& file, const TSettingsToSave& settings);
