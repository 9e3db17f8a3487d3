#include "shell/settingsfile.h"

#include <cstdio>
#include <cstring>
#include <exception>
#include <fstream>
#include <iterator>
#include <system_error>
#include <vector>

#include "platform/atomicfile.h"
#include "platform/socket.h"
#include "platform/textcodec.h"
#include "standings/competitors.h"

namespace {

constexpr std::size_t kLineBuffer = kLongestSettingsLine + 1;
constexpr std::string_view kByteOrderMark = "\xEF\xBB\xBF";

// The file's lines without their line ends (LF, or CR LF). The bytes are
// taken as they are: a Ctrl-Z is one more character (a text-mode read would
// end the file there and lose every setting after it).
std::vector<std::string_view> SplitLines(std::string_view content) {
  std::vector<std::string_view> lines;
  while (!content.empty()) {
    const std::size_t end = content.find('\n');
    std::string_view line = content.substr(0, end);
    content.remove_prefix(end == std::string_view::npos ? content.size() : end + 1);
    if (end != std::string_view::npos && !line.empty() && line.back() == '\r') line.remove_suffix(1);
    lines.push_back(line);
  }
  return lines;
}

// A folder in the file's place, or a disk that fails the read, is a file
// that cannot be read (the stream throws for both), not a crash.
bool ReadWholeFile(const std::filesystem::path& file, std::string& content) {
  std::error_code error;
  if (std::filesystem::is_directory(file, error)) return false;
  std::ifstream in(file, std::ios::binary);
  if (!in) return false;
  try {
    content.assign(std::istreambuf_iterator<char>(in), {});
  } catch (const std::exception&) {
    content.clear();
    return false;
  }
  return !in.bad();
}

// One line the program writes: its key (what a line of the file starts
// with, followed by a colon, to be that setting's line) and its text.
struct TSettingsLine {
  std::string_view key;
  std::string text;
  bool onlyInPlace = false;  // replaces the file's line, is never added to a file without one
};

// Every key in the order of a new file; a new setting is one more entry
// here and one more pattern in ReadSettingsFile.
std::vector<TSettingsLine> SettingsLines(const TSettingsToSave& settings) {
  std::vector<TSettingsLine> lines{
      {"Host", "Host: " + settings.host},
      {"Port", "Port: " + settings.port},
      {"ScoreboardMode", "ScoreboardMode:" + std::to_string(settings.mode)},
      {"Brightness", "Brightness:" + std::to_string(settings.brightness)},
      {"ComPort", "ComPort:" + std::to_string(settings.comPort)},
      {"ArchiveDays", "ArchiveDays:" + std::to_string(settings.archiveDays)},
      {"WebPort", "WebPort: " + settings.webPort},
  };
  // Only once set: the files of tracks that publish nowhere stay as they were.
  if (!settings.webPublish.empty()) lines.push_back({"WebPublish", "WebPublish: " + settings.webPublish});
  // Added only when forced, so the operators' files gain no line; a line
  // the file has says what is in force ("auto" for a wrong value).
  lines.push_back({"ControllerConvention",
                   "ControllerConvention: " + std::string(ConventionSettingName(settings.controllerConvention)),
                   settings.controllerConvention == csAuto});
  return lines;
}

bool HasKey(std::string_view line, std::string_view key) {
  return line.size() > key.size() && line.compare(0, key.size(), key) == 0 && line[key.size()] == ':';
}

// ArchiveDays as a count of days: decimal digits, blanks around them; a
// sign or any other text is no count. More than a century is a century,
// read as "keep everything" all the same.
std::uint32_t ArchiveDaysValue(const char* text) {
  constexpr std::uint32_t kMostArchiveDays = 36500;
  constexpr auto kDefaultDays = static_cast<std::uint32_t>(kDefaultArchiveDays);
  while (*text == ' ' || *text == '\t') ++text;
  if (*text < '0' || *text > '9') return kDefaultDays;
  std::uint32_t days = 0;
  for (; *text >= '0' && *text <= '9'; ++text) {
    days = days * 10 + static_cast<std::uint32_t>(*text - '0');
    if (days > kMostArchiveDays) days = kMostArchiveDays + 1;
  }
  while (*text == ' ' || *text == '\t' || *text == '\r') ++text;
  if (*text != '\0') return kDefaultDays;
  return days > kMostArchiveDays ? kMostArchiveDays : days;
}

bool IsBlank(char16_t c) { return c == u' ' || c == u'\t' || c == u'\r' || c == u'\n' || c == u'\v' || c == u'\f'; }

std::u16string_view Trimmed(std::u16string_view text) {
  while (!text.empty() && IsBlank(text.front())) text.remove_prefix(1);
  while (!text.empty() && IsBlank(text.back())) text.remove_suffix(1);
  return text;
}

// Four decimal numbers 0..255 of one to three digits, joined by dots.
bool IsDottedQuad(std::u16string_view text) {
  for (int part = 0; part < 4; ++part) {
    if (part > 0) {
      if (text.empty() || text.front() != u'.') return false;
      text.remove_prefix(1);
    }
    int digits = 0;
    int value = 0;
    while (!text.empty() && text.front() >= u'0' && text.front() <= u'9' && digits < 3) {
      value = value * 10 + (text.front() - u'0');
      text.remove_prefix(1);
      ++digits;
    }
    if (digits == 0 || value > 255) return false;
  }
  return text.empty();
}

// A decimal integer with an optional sign, blanks around it allowed; nullopt
// for anything else or a value beyond 32 bits.
std::optional<std::int64_t> DecimalInteger(std::u16string_view text) {
  text = Trimmed(text);
  bool negative = false;
  if (!text.empty() && (text.front() == u'+' || text.front() == u'-')) {
    negative = text.front() == u'-';
    text.remove_prefix(1);
  }
  if (text.empty() || text.size() > 10) return std::nullopt;
  std::int64_t value = 0;
  for (char16_t c : text) {
    if (c < u'0' || c > u'9') return std::nullopt;
    value = value * 10 + (c - u'0');
  }
  return negative ? -value : value;
}

}  // namespace

std::optional<TFeedEndpoint> ConvertFeedEndpoint(std::u16string_view host, std::u16string_view port,
                                                 TFeedEntryFault* fault) {
  TFeedEntryFault found = TFeedEntryFault::None;
  // inet_addr turns any text that is not an address into 255.255.255.255,
  // and reads "127.1" or "0x7f.0.0.1" its own way: only the dotted form the
  // operator reads back is an address here.
  if (!IsDottedQuad(Trimmed(host))) found = TFeedEntryFault::Address;
  // A port the socket cannot use fails like text that is not a number;
  // otherwise 70000 would silently become port 4464.
  const auto number = DecimalInteger(port);
  if (found == TFeedEntryFault::None && (!number || *number < 1 || *number > 65535)) found = TFeedEntryFault::Port;
  if (fault != nullptr) *fault = found;
  if (found != TFeedEntryFault::None) return std::nullopt;
  TFeedEndpoint endpoint;
  endpoint.port = static_cast<std::int32_t>(*number);
  endpoint.address = platform::InetAddr(platform::Utf16ToAnsi(Trimmed(host)).c_str());
  return endpoint;
}

std::uint16_t WebPortNumber(std::u16string_view text) {
  const auto number = DecimalInteger(text);
  if (!number || *number < 0 || *number > 65535) return kDefaultWebPort;
  return static_cast<std::uint16_t>(*number);
}

std::int32_t ClampBrightness(std::uint32_t value) {
  const auto position = static_cast<std::int32_t>(value);
  if (position < 1) return 1;
  if (position > 16) return 16;
  return position;
}

bool ReadSettingsFile(const std::filesystem::path& file, TLoadedSettings& out) {
  out = TLoadedSettings{};
  std::string content;
  if (!ReadWholeFile(file, content)) return false;
  std::string_view rest = content;
  // Notepad starts the file with a UTF-8 byte-order mark; left in place it
  // would hide the first setting, and the next save would lose it.
  if (rest.substr(0, kByteOrderMark.size()) == kByteOrderMark) rest.remove_prefix(kByteOrderMark.size());
  char line[kLineBuffer];
  char token[kLineBuffer];
  unsigned int number = 0;
  for (const std::string_view whole : SplitLines(rest)) {
    // A longer line is junk or a hand edit gone wrong: its tail is no
    // setting ("...Port: 1" at its end would move the feed).
    if (whole.size() > kLongestSettingsLine) continue;
    whole.copy(line, whole.size());
    line[whole.size()] = '\0';
    const char* text = line;
    if (std::sscanf(text, "Host: %511s", token) == 1) {
      out.host = token;
    } else if (std::sscanf(text, "Port: %511s", token) == 1) {
      out.port = token;
    } else if (std::sscanf(text, "ScoreboardMode:%u", &number) == 1) {
      // A mode the board does not know would reach it in every table while
      // the window showed best lap: it is best lap for both.
      if (number > smPractice) number = smBestLap;
      out.startMode = number;
      if (number == 0 || number == 1) out.radioMode = number;
    } else if (std::sscanf(text, "Brightness:%u", &number) == 1) {
      out.brightness = ClampBrightness(number);
    } else if (std::sscanf(text, "ComPort:%u", &number) == 1) {
      out.comPort = number;
    } else if (HasKey(text, "ArchiveDays")) {
      out.archiveDays = ArchiveDaysValue(text + std::strlen("ArchiveDays:"));
    } else if (std::sscanf(text, "WebPort: %511s", token) == 1) {
      out.webPort = token;
    } else if (std::sscanf(text, "ControllerConvention: %511s", token) == 1) {
      out.controllerConvention = ParseConventionSetting(token);
    } else if (std::sscanf(text, "WebPublish: %511s", token) == 1) {
      out.webPublish = token;
    }
  }
  return true;
}

bool WriteSettingsFile(const std::filesystem::path& file, const TSettingsToSave& settings, TSettingsSaveFault* fault) {
  const auto failed = [fault](TSettingsSaveFault why) {
    if (fault != nullptr) *fault = why;
    return false;
  };
  if (fault != nullptr) *fault = TSettingsSaveFault::None;
  // The operator's read-only file stays as it is, and so does its content.
  if (platform::FileIsReadOnly(file)) return failed(TSettingsSaveFault::ReadOnly);
  std::string old;
  std::error_code missing;
  // A file that is there but cannot be read would lose its other lines.
  if (!ReadWholeFile(file, old) && std::filesystem::exists(file, missing)) return failed(TSettingsSaveFault::Write);

  std::vector<TSettingsLine> lines = SettingsLines(settings);
  std::vector<bool> written(lines.size(), false);
  std::string_view rest = old;
  std::string content;
  content.reserve(old.size() + 128);
  if (rest.substr(0, kByteOrderMark.size()) == kByteOrderMark) {
    content.append(kByteOrderMark);
    rest.remove_prefix(kByteOrderMark.size());
  }
  const std::string_view end = platform::TextLineEnd();
  for (const std::string_view line : SplitLines(rest)) {
    std::size_t known = 0;
    while (known < lines.size() && !HasKey(line, lines[known].key)) ++known;
    if (known == lines.size()) {
      content.append(line).append(end);
    } else if (!written[known]) {
      content.append(lines[known].text).append(end);
      written[known] = true;
    }
  }
  for (std::size_t i = 0; i < lines.size(); ++i) {
    if (!written[i] && !lines[i].onlyInPlace) content.append(lines[i].text).append(end);
  }
  if (!platform::WriteFileAtomically(file, content)) return failed(TSettingsSaveFault::Write);
  return true;
}

std::u16string SettingsSaveFaultText(const std::filesystem::path& file, TSettingsSaveFault fault) {
  std::u16string text = u"Не удалось сохранить настройки в " + file.u16string();
  if (fault == TSettingsSaveFault::ReadOnly) text += u": файл только для чтения";
  return text;
}
