// Decodes one line of the timing application's results feed and applies its
// competitor data to the standings.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

enum TRecordKind : std::int32_t {
  rkNone = 0,
  rkInit = 1,        // "$I"
  rkRun = 2,         // "$B"
  rkRace = 3,        // "$G"
  rkBestLap = 4,     // "$H"
  rkPassing = 5,     // "$J"
  rkHeartbeat = 6,   // "$F"
  rkCompetitor = 7,  // "$A"
};

// fsYellow: a caution period; the session runs on as under green.
enum TFlagState : std::int32_t { fsNone = 0, fsGreen = 1, fsRed = 2, fsFinish = 3, fsYellow = 4 };

struct TProcessResult {
  std::int32_t kind = rkNone;
  std::int32_t regNumber = 0;
  std::int32_t number = 0;
  std::int32_t lapTime = 0;    // ms
  std::int32_t totalTime = 0;  // ms
  std::int32_t laps = 0;
  std::int32_t position = 0;
  std::int32_t raceTime = 0;     // s
  std::int32_t bestLapTime = 0;  // ms
  std::int32_t flag = fsNone;
  std::u16string name;  // "$A": the competitor's; "$B": the run's
  // "$B": the run under way announced again; the standings were kept.
  bool sameRun = false;
  // For the track's screens only; the board and the results list ignore them.
  std::int32_t classNumber = 0;  // "$A": the competitor's class, 0 for none
  std::int32_t timeToGo = -1;    // "$F": s; -1 when the feed gives none
  std::int32_t lapsToGo = -1;    // "$F": -1 when the feed gives none (9999)
};

// `line` is one line as received, line end included; every byte of the view
// counts. Returns the shared record for a handled record, null otherwise.
// "$I" is handled only with its time and date fields, "$B" only with a run
// number and a quoted description: less is noise and changes nothing.
// The record stays valid and unchanged until the next call. Exchange thread
// only.
const TProcessResult* ProcessFeedLine(std::string_view line);
// The same for a NUL-terminated line.
const TProcessResult* ProcessFeedLine(const char* line);

namespace feed {
struct DecodeOutcome {
  bool handled = false;  // a handled record: `out` holds it
  // "$G"/"$H": position and laps converted, so the table update applies.
  bool updatesTable = false;
  // "$B": the run's number and description texts, valid until the next call.
  std::string_view runNumber;
  std::string_view runName;
  explicit operator bool() const { return handled; }
};
// Decodes a record into `out` without touching the standings; not handled
// for a line that is not a handled record (out is then reset, or untouched
// when the line does not begin with "$").
DecodeOutcome DecodeRecord(std::string_view line, TProcessResult& out);

// "$C,<number>,"<description>"": a class of the session, for the screens
// only (ProcessFeedLine does not handle it). False for any other line or a
// number that does not convert.
bool DecodeClassRecord(std::string_view line, std::int32_t& number, std::u16string& name);

// The conversions, exposed for tests. Each returns false (and leaves 0 in
// `value`) when the text does not convert.
bool ConvertInteger(std::u16string_view text, std::int32_t& value);
bool ConvertClock(std::u16string_view text, std::int32_t& value);  // "h:m:s" -> s
bool ConvertTime(std::u16string_view text, std::int32_t& value);   // "h:m:s.f" -> ms
}  // namespace feed
