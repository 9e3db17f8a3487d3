// Arbitrary bytes as feed lines: every input is cut the way the exchange
// thread cuts the stream, each line goes through the parser (with the sort
// the exchange thread does), and then every cell of every mode is read.
#include <cstddef>
#include <cstdint>
#include <string>

#include "feed/timingfeedparser.h"
#include "standings/celltext.h"
#include "standings/competitors.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Start each input from an empty table so inputs stay independent.
  ProcessFeedLine("$I\n");
  std::string line;
  auto handOn = [&] {
    if (line.empty()) return;
    const TProcessResult* r = ProcessFeedLine(line.c_str());
    ProcessFeedLine(std::string_view(line));  // the length-aware entry too
    if (r != nullptr && (r->kind == rkRace || r->kind == rkBestLap || r->kind == rkPassing))
      SortCompetitors(static_cast<std::int32_t>(size % 3));
    line.clear();
  };
  for (std::size_t i = 0; i < size; ++i) {
    const char c = static_cast<char>(data[i]);
    if (c == '$') line.clear();
    line.push_back(c);
    if (c == '\n') handOn();
  }
  handOn();

  for (std::int32_t mode : {0, 1, 2, 5, -1}) {
    const std::int32_t rows = GetRowCount(mode);
    // Positions come from the feed and may be huge; the rows that exist are
    // bounded by the competitors, so read past them a little, not to 2^31.
    const std::int32_t limit = rows < 64 ? rows + 2 : 66;
    for (std::int32_t row = -1; row < limit; ++row) {
      for (std::int32_t column = -1; column <= 6; ++column) (void)GetCellText(row, column, mode);
    }
    TCompetitor c;
    for (std::int32_t row = 0; row < GetCompetitorCount() && row < 64; ++row) (void)CopyCompetitor(row, mode, c);
  }
  return 0;
}
