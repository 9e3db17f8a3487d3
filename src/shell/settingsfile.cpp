#include "shell/settingsfile.h"

#include <cstdio>
#include <cstring>
#include <fstream>

#include "platform/atomicfile.h"
#include "platform/socket.h"
#include "platform/textcodec.h"
#include "standings/competitors.h"

namespace {

constexpr int kLineBuffer = 512;

// fgets with a 512-byte buffer: up to 511 characters, through the line end.
// The stream is binary (a text-mode read ends at a Ctrl-Z byte on Windows,
// and every setting after one would be lost): CR LF becomes LF here, as text
// mode would make it, the same on every platform.
bool ReadLine(std::istream& in, char (&line)[kLineBuffer]) {
  int length = 0;
  char c = 0;
  while (length < kLineBuffer - 1 && in.get(c)) {
    if (c == '\r' && in.peek() == '\n') continue;
    line[length++] = c;
    if (c == '\n') break;
  }
  line[length] = '\0';
  return length > 0;
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
  std::ifstream in(file, std::ios::binary);
  if (!in) return false;
  char line[kLineBuffer];
  char token[kLineBuffer];
  unsigned int number = 0;
  bool firstLine = true;
  while (ReadLine(in, line)) {
    // Notepad starts the file with a UTF-8 byte-order mark; left in place it
    // would hide the first setting, and the next save would lose it.
    const char* text = line;
    if (firstLine && std::strncmp(text, "\xEF\xBB\xBF", 3) == 0) text += 3;
    firstLine = false;
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
    } else if (std::sscanf(text, "ArchiveDays:%u", &number) == 1) {
      out.archiveDays = number;
    } else if (std::sscanf(text, "WebPort: %511s", token) == 1) {
      out.webPort = token;
    } else if (std::sscanf(text, "WebPublish: %511s", token) == 1) {
      out.webPublish = token;
    }
  }
  return true;
}

bool WriteSettingsFile(const std::filesystem::path& file, const TSettingsToSave& settings) {
  std::string content;
  content.reserve(settings.host.size() + settings.port.size() + settings.webPort.size() + settings.webPublish.size() +
                  112);
  const std::string_view end = platform::TextLineEnd();
  content.append("Host: ").append(settings.host).append(end);
  content.append("Port: ").append(settings.port).append(end);
  content.append("ScoreboardMode:").append(std::to_string(settings.mode)).append(end);
  content.append("Brightness:").append(std::to_string(settings.brightness)).append(end);
  content.append("ComPort:").append(std::to_string(settings.comPort)).append(end);
  content.append("ArchiveDays:").append(std::to_string(settings.archiveDays)).append(end);
  content.append("WebPort: ").append(settings.webPort).append(end);
  // Only once set: the files of tracks that publish nowhere stay as they were.
  if (!settings.webPublish.empty()) content.append("WebPublish: ").append(settings.webPublish).append(end);
  return platform::WriteFileAtomically(file, content);
}
