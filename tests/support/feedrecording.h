// Reads a recorded feed from the shared folder and cuts it into lines the
// way the exchange thread does: a "$" starts a line, a line feed ends it.
// Bytes before the first "$" of a line (stamps, a byte-order mark) stay in
// front of it, exactly as the parser would see them.
#pragma once

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace testsupport {

inline std::filesystem::path FeedsDir() { return std::filesystem::path(BRELVO_FEEDS_DIR); }

inline std::vector<std::string> RecordingLines(const std::string& name) {
  std::ifstream in(FeedsDir() / name, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<std::string> lines;
  std::string current;
  for (const char c : bytes) {
    if (c == '$') current.clear();
    current.push_back(c);
    if (c == '\n') {
      lines.push_back(current);
      current.clear();
    }
  }
  return lines;
}

}  // namespace testsupport
