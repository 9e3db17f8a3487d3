// What the board must show after a feed: the recorded bytes go through the
// proxy's own line assembly, parser and table, and the rows are read out the
// way a table push reads them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace e2e {

// One pushed row as the board reports it.
struct TBoardRow {
  std::int32_t row = 0;
  std::int32_t number = 0;
  std::int32_t bestLapTime = 0;
  std::int32_t lastLapTime = 0;
  std::int32_t laps = 0;
  std::int32_t totalTime = 0;
  std::int32_t raceGap = 0;
  std::int32_t bestLapGap = 0;
  std::string name;  // UTF-8, empty for the null name
  bool operator==(const TBoardRow&) const = default;
};

std::string Describe(const TBoardRow& row);
std::string Describe(const std::vector<TBoardRow>& rows);

struct TFeedOutcome {
  // The standings for the mode after the last line: one row per competitor
  // in the table, row i + 1 for the holder of position i + 1, an empty row
  // (number 0, times 0, no name) for a position nobody holds.
  std::vector<TBoardRow> rows;
  // Race clock of the last "$F" whose flag was green, red or finish.
  std::optional<std::int32_t> clock;
  std::size_t lines = 0;
  std::size_t passings = 0;  // "$J" records
};

// Replays `bytes` from an empty table. Uses the process-wide table, so one
// replay at a time.
TFeedOutcome ReplayFeed(std::string_view bytes, std::int32_t mode);

}  // namespace e2e
