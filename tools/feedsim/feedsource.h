// What brelvo-feed sends, free of Qt: timed feed lines of kart sessions
// simulated on the spot (recordings are read by recording/recording.h),
// and the catch-up state that a client joining mid-session receives first.
#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "recording/recording.h"

namespace feedsim {

// One line as sent; the simulation's have no file offset.
using TFeedEvent = recording::TFeedEvent;

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
