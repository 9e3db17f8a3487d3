// Any bytes as a recording to replay, and as a feed cut into receives by
// the archive's rules: the replay reads without fault, and a feed without
// "##" lines of its own comes back from the file, stamps left out, byte
// for byte, every stamp at a line's start.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>
#include <string_view>

#include "recording/recording.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  (void)recording::ParseRecording(bytes, 10);
  if (size < 2 || bytes.find("##") != std::string_view::npos) return 0;
  // The first byte sets how the feed is cut: receives of 1..16 bytes or
  // of 1..4096.
  const std::size_t most = (data[0] & 1) != 0 ? 16 : 4096;
  const std::string_view feed = bytes.substr(1);
  recording::TReceiveCutter cutter;
  std::string file;
  unsigned step = data[0];
  for (std::size_t at = 0; at < feed.size();) {
    step = step * 1103515245u + 12345u;
    const std::size_t n = std::min<std::size_t>(feed.size() - at, 1 + (step >> 8) % most);
    const auto pieces = cutter.Cut(feed.substr(at, n));
    file.append(pieces.lead);
    if (pieces.stamp) file += recording::StampLine({2026, 5, 2, 9, 14, 3, 0});
    file.append(pieces.held).append(pieces.body);
    cutter.Commit();
    at += n;
  }
  file.append(cutter.Held());
  std::string stripped;
  for (std::size_t begin = 0; begin < file.size();) {
    std::size_t end = file.find('\n', begin);
    end = end == std::string::npos ? file.size() : end + 1;
    const std::string_view line(file.data() + begin, end - begin);
    if (line.find("##") != std::string_view::npos && !recording::ParseStamp(line)) std::abort();
    if (!recording::ParseStamp(line)) stripped.append(line);
    begin = end;
  }
  if (stripped != feed) std::abort();
  return 0;
}
