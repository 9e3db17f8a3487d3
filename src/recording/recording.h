// The recording's format, the same for the proxy's archive and for
// brelvo-feed's replays, and the one the timing application's own recorder
// writes: each receive of the feed headed by a line
// "##YYYY-MM-DD hh:mm:ss.fff" (local time), followed by its bytes. A stamp
// only ever stands at the start of a line, so the file without its stamp
// lines is the feed's bytes. Files are named "YYYY-MM-DD_HH-MM-SS.feed" by
// the local time they were started, "..._N.feed" when that name was taken.
// Standard library only.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace recording {

// A local calendar time, as the stamps and file names show it.
struct TStampTime {
  int year = 1970;
  int month = 1;  // 1..12
  int day = 1;    // 1..31
  int hour = 0;
  int minute = 0;
  int second = 0;
  int millisecond = 0;
};

// "##YYYY-MM-DD hh:mm:ss.fff" and a line feed.
std::string StampLine(const TStampTime& time);
// A stamp line (an optional line end after it) as milliseconds since
// 1970-01-01 of its calendar time; nullopt for anything else.
std::optional<std::int64_t> ParseStamp(std::string_view line);

// "YYYY-MM-DD_HH-MM-SS.feed"; with `index` above 1 "YYYY-MM-DD_HH-MM-SS_N.feed".
std::string FileName(const TStampTime& started, int index = 1);
struct TFileName {
  std::string started;  // "YYYY-MM-DD_HH-MM-SS", which sorts as the time it names
  int index = 1;
};
// A name FileName makes; nullopt for any other file.
std::optional<TFileName> ParseFileName(std::string_view name);
// The order the files were started in (the same second's files by index).
bool StartedBefore(const TFileName& a, const TFileName& b);

// How receives go into a recording so that every stamp starts a line: the
// whole lines of a receive follow its stamp, the unfinished line at its end
// is held back and written after the next receive's stamp. The feed's
// reader acts on whole lines only, so a replay burst for burst does the
// same as the feed did.
class TReceiveCutter {
 public:
  // A line longer than this is not held back whole: what has come of it is
  // written, and the rest follows without stamps up to its line end.
  static constexpr std::size_t kMaxHeldBytes = 64 * 1024;

  // The pieces of one receive, in the order they are written.
  struct TPieces {
    std::string_view lead;  // the end of an overlong line written before; no stamp before it
    bool stamp = false;     // a stamp line goes here
    std::string_view held;  // the previous receive's unfinished line
    std::string_view body;  // this receive's bytes up to its last line end
  };
  // The pieces stay valid until Commit or Clear.
  TPieces Cut(std::string_view bytes);
  // After the pieces are written: the receive's unfinished line is held.
  void Commit();
  // The unfinished line waiting: written as it is when a file ends.
  std::string_view Held() const { return held_; }
  // The same feed goes on in a new file (midnight): the held line goes
  // there, an overlong one is not continued without a stamp.
  void NewFile();
  // Forgets the held line and any overlong one (a new connection, a gap).
  void Clear();
  // The last receive committed ended inside a line.
  bool EndedInsideLine() const { return !held_.empty() || inLongLine_; }

 private:
  std::string held_;
  std::string next_;
  bool inLongLine_ = false;
  bool nextInLongLine_ = false;
};

// One line as a replay sends it, line end included, due `atMs` after the start.
struct TFeedEvent {
  std::int64_t atMs = 0;
  std::string bytes;
  // Bytes of the recording read once this line is sent.
  std::size_t fileOffset = 0;
  // The stamp it came under, counted from 1 (0 before the first stamp):
  // one receive of the feed when the recording is the proxy's archive.
  int burst = 0;
};

// Cuts a recording into events. Stamp lines set the time of the lines after
// them (relative to the first stamp; a stamp earlier than the one before is
// taken as no time passing) and are not sent; a leading UTF-8 BOM is
// dropped, and so are the timing application's blank lines between bursts.
// A file without stamps is paced at `linesPerSecond`. Files the archive
// wrote before stamps stood on their own lines may have a stamp straight
// after the first part of a line: that part is sent on its own and the
// stamp still counts. A stamp cut short at the file's end is not sent.
std::vector<TFeedEvent> ParseRecording(std::string_view text, double linesPerSecond);

}  // namespace recording
