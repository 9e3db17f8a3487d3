// Arbitrary bytes as a feed: the input is cut into lines by the exchange
// thread's own line assembler, each line goes through the parser (with the
// sort the exchange thread does), and then every cell of every mode is read.
// The first byte picks the receive size, so lines also arrive split across
// receives; the second how many receives a connection lasts (0: one for the
// whole input), so lines are also cut by lost connections.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string_view>

#include "exchange/lineassembler.h"
#include "feed/timingfeedparser.h"
#include "standings/celltext.h"
#include "standings/competitors.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  // Start each input from an empty table so inputs stay independent.
  ProcessFeedLine("$I,\"00:00:00\",\"0/0/0000\"\n");
  // A small buffer brings the overlong-line cut within reach of short inputs.
  static TLineAssembler lines(512);
  lines.Reset();
  const std::size_t chunk = size > 0 ? data[0] % 64 + 1 : 1;
  const std::size_t receivesPerConnection = size > 1 ? data[1] % 16 : 0;
  const std::int32_t sortMode = static_cast<std::int32_t>(size % 3);
  auto handOn = [&](std::string_view line) {
    const TProcessResult* r = ProcessFeedLine(line);
    if (r != nullptr && (r->kind == rkRace || r->kind == rkBestLap || r->kind == rkPassing)) SortCompetitors(sortMode);
  };
  const char* bytes = reinterpret_cast<const char*>(data);
  std::size_t receives = 0;
  for (std::size_t at = 0; at < size; at += chunk) {
    lines.Feed(bytes + at, std::min(chunk, size - at), handOn);
    if (receivesPerConnection != 0 && ++receives % receivesPerConnection == 0) lines.Reset();
  }

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
