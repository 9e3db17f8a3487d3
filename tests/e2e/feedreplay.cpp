#include "feedreplay.h"

#include <algorithm>

#include "boardprotocol.h"
#include "exchange/lineassembler.h"
#include "feed/timingfeedparser.h"
#include "standings/competitors.h"

namespace e2e {

std::string Describe(const TBoardRow& r) {
  return "row " + std::to_string(r.row) + ": #" + std::to_string(r.number) + " \"" + r.name + "\" best " +
         std::to_string(r.bestLapTime) + " last " + std::to_string(r.lastLapTime) + " laps " + std::to_string(r.laps) +
         " total " + std::to_string(r.totalTime) + " gap " + std::to_string(r.raceGap) + " bestGap " +
         std::to_string(r.bestLapGap);
}

std::string Describe(const std::vector<TBoardRow>& rows) {
  std::string out;
  for (const TBoardRow& r : rows) out += "    " + Describe(r) + "\n";
  return out.empty() ? "    (no rows)\n" : out;
}

TFeedOutcome ReplayFeed(std::string_view bytes, std::int32_t mode) {
  TFeedOutcome outcome;
  ProcessFeedLine("$I,\"00:00:00\",\"0/0/0000\"\n");  // the proxy starts from an empty table
  TLineAssembler lines(1024 * 1024);
  lines.Feed(bytes.data(), bytes.size(), [&](std::string_view line) {
    ++outcome.lines;
    const TProcessResult* record = ProcessFeedLine(line.data());
    if (record == nullptr) return;
    switch (record->kind) {
      case rkRace:
      case rkBestLap:
      case rkPassing:
        SortCompetitors(mode);
        if (record->kind == rkPassing) ++outcome.passings;
        break;
      case rkHeartbeat:
        if (record->flag != fsNone) outcome.clock = record->raceTime;
        break;
      default:
        break;
    }
  });
  // The board shows every position up to the highest one held, holes as empty rows.
  const std::int32_t rows = std::max(GetCompetitorCount(), GetHighestPosition(mode));
  for (std::int32_t i = 0; i < rows; ++i) {
    TBoardRow row;
    row.row = i + 1;
    TCompetitor c;
    if (CopyCompetitor(i, mode, c)) {
      row.number = c.number;
      row.bestLapTime = c.bestLapTime;
      row.lastLapTime = c.lastLapTime;
      row.laps = c.laps;
      row.totalTime = c.totalTime;
      row.raceGap = c.raceGap;
      row.bestLapGap = c.bestLapGap;
      row.name = boardprotocol::TruncateUtf8(boardprotocol::Utf16ToUtf8(c.name), boardprotocol::kMaxNameBytes);
    }
    outcome.rows.push_back(row);
  }
  return outcome;
}

}  // namespace e2e
