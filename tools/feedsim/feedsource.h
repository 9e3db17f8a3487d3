// What brelvo-feed sends, free of Qt: timed feed lines from a recording or
// from a kart session simulated on the spot, and the catch-up state that a
// client joining mid-session receives first.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace feedsim {

// One line as sent, line end included, due `atMs` after the start.
struct TFeedEvent {
  std::int64_t atMs = 0;
  std::string bytes;
  // Bytes of the recording read once this line is sent (0 when simulated).
  std::size_t fileOffset = 0;
  // The stamp it came under, counted from 1 (0 before the first stamp):
  // one receive of the feed when the recording is the proxy's archive.
  int burst = 0;
};

// "##YYYY-MM-DD hh:mm:ss.fff" (an optional line end after it) as
// milliseconds since 1970-01-01; nullopt for anything else.
std::optional<std::int64_t> ParseStamp(std::string_view line);

// Cuts a recording into events. Stamp lines set the time of the lines after
// them (relative to the first stamp; a stamp earlier than the one before is
// taken as no time passing) and are not sent; a leading UTF-8 BOM is
// dropped. A file without stamps is paced at `linesPerSecond`. The proxy's
// archive writes a receive that ends in the middle of a line as it came, so
// the next stamp may follow such a first part directly: the part is sent
// on its own and the stamp still counts.
std::vector<TFeedEvent> ParseRecording(std::string_view text, double linesPerSecond);

enum TSessionKind { skPractice, skQualifying, skRace };

// "practice,qualifying,race" or any order of those names, each at most
// once; nullopt for anything else.
std::optional<std::vector<TSessionKind>> ParseSessionOrder(std::string_view text);

struct TSessionConfig {
  std::vector<TSessionKind> order{skPractice, skQualifying, skRace};
  int karts = 10;
  int practiceSeconds = 120;
  int qualifyingSeconds = 120;
  int raceLaps = 10;
  std::uint32_t seed = 1;
};

// The sessions of `order` (a practice, a qualifying and a race by
// default) of `karts` karts, as the timing
// application sends them: "$I", "$B", one "$A" per kart, "$F" every second
// (blank flag before the start, "Green " while running, "Finish" at the
// end), and per lap "$J", then "$G", then "$H" for the kart that crossed,
// followed by "$G"/"$H" for every kart whose position that crossing changed.
// Names are Cyrillic, in Windows-1251; lines end in CR LF.
std::vector<TFeedEvent> SimulateSessions(const TSessionConfig& config);

// Splits a feed line into its comma-separated fields, quotes removed (the
// same reading as the proxy's parser, enough for the simulator's own checks).
std::vector<std::string> SplitFields(std::string_view line);

// The lines a late client needs to see the current standings: the last
// "$I", "$B", every "$A" and the latest "$G" and "$H" of each competitor
// since then, and the latest "$F".
class TCatchUp {
 public:
  void Note(const std::string& line);
  std::string Snapshot() const;

 private:
  std::string init_, run_, heartbeat_;
  std::map<std::string, std::string> competitors_, race_, bestLap_;
  std::vector<std::string> competitorOrder_;
};

}  // namespace feedsim
