#include "shell/settingsfile.h"

#include <cstdio>
#include <system_error>

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

namespace {

constexpr int kLineBuffer = 512;

std::FILE* OpenFile(const std::filesystem::path& file, bool forWriting) {
#ifdef _WIN32
  return _wfopen(file.c_str(), forWriting ? L"w" : L"r");
#else
  return std::fopen(file.c_str(), forWriting ? "w" : "r");
#endif
}

bool FlushToDisk(std::FILE* f) {
  if (std::fflush(f) != 0) return false;
#ifdef _WIN32
  return _commit(_fileno(f)) == 0;
#else
  return fsync(fileno(f)) == 0;
#endif
}

}  // namespace

std::int32_t ClampBrightness(std::uint32_t value) {
  const auto position = static_cast<std::int32_t>(value);
  if (position < 1) return 1;
  if (position > 16) return 16;
  return position;
}

bool ReadSettingsFile(const std::filesystem::path& file, TLoadedSettings& out) {
  out = TLoadedSettings{};
  std::FILE* f = OpenFile(file, false);
  if (f == nullptr) return false;
  char line[kLineBuffer];
  char token[kLineBuffer];
  unsigned int number = 0;
  while (std::fgets(line, kLineBuffer, f) != nullptr) {
    if (std::sscanf(line, "Host: %511s", token) == 1) {
      out.host = token;
    } else if (std::sscanf(line, "Port: %511s", token) == 1) {
      out.port = token;
    } else if (std::sscanf(line, "ScoreboardMode:%u", &number) == 1) {
      out.startMode = number;
      if (number == 0 || number == 1) out.radioMode = number;
    } else if (std::sscanf(line, "Brightness:%u", &number) == 1) {
      out.brightness = ClampBrightness(number);
    } else if (std::sscanf(line, "ComPort:%u", &number) == 1) {
      out.comPort = number;
    }
  }
  std::fclose(f);
  return true;
}

bool WriteSettingsFile(const std::filesystem::path& file, const TSettingsToSave& settings) {
  std::filesystem::path temporary = file;
  temporary += ".tmp";
  std::FILE* f = OpenFile(temporary, true);
  if (f == nullptr) return false;
  bool ok = std::fprintf(f, "Host: %s\n", settings.host.c_str()) >= 0;
  ok = ok && std::fprintf(f, "Port: %s\n", settings.port.c_str()) >= 0;
  ok = ok && std::fprintf(f, "ScoreboardMode:%u\n", settings.mode) >= 0;
  ok = ok && std::fprintf(f, "Brightness:%u\n", settings.brightness) >= 0;
  ok = ok && std::fprintf(f, "ComPort:%u\n", settings.comPort) >= 0;
  ok = ok && FlushToDisk(f);
  ok = (std::fclose(f) == 0) && ok;
  std::error_code error;
  if (ok) {
    // Replaces the old file in one step on both platforms.
    std::filesystem::rename(temporary, file, error);
    if (!error) return true;
  }
  std::filesystem::remove(temporary, error);
  return false;
}
