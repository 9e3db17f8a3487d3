#include "feed/timingfeedparser.h"

#include <array>
#include <cstring>
#include <limits>

#include "platform/textcodec.h"
#include "standings/competitors.h"

// Fields are split on the raw bytes. That equals splitting the decoded text
// because every ANSI code page keeps bytes below 0x40 as themselves and never
// uses them as trail bytes, and the delimiters (blanks 1..32, '"', ',') all
// lie there. Only the texts that are kept (names) are decoded.

namespace {

constexpr std::size_t kMaxFields = 8;  // no record reads past field 7 ("$A"'s class)

struct Field {
  const char* data = nullptr;
  std::size_t size = 0;
  bool quoted = false;  // written between double quotes
  std::string_view View() const { return data != nullptr ? std::string_view(data, size) : std::string_view(); }
};

struct SplitLine {
  std::array<Field, kMaxFields> fields{};
  std::size_t count = 0;
  // Quoted fields with doubled quotes are unescaped here; a line is at most
  // as long as the feed buffer, and the scratch grows only when a longer
  // line than any before arrives.
  std::string scratch;

  Field Get(std::size_t i) const { return i < count ? fields[i] : Field{}; }
  bool Has(std::size_t i) const { return i < count; }
};

bool IsBlank(unsigned char c) { return c >= 1 && c <= 32; }

void Split(std::string_view text, SplitLine& out) {
  out.count = 0;
  if (out.scratch.size() < text.size()) out.scratch.resize(text.size());
  char* scratch = out.scratch.data();
  const char* p = text.data();
  const char* const end = p + text.size();
  auto skipBlanks = [&] {
    while (p < end && IsBlank(static_cast<unsigned char>(*p))) ++p;
  };
  auto append = [&](const char* data, std::size_t size, bool quoted = false) {
    out.fields[out.count++] = Field{data, size, quoted};
  };

  skipBlanks();
  while (p < end && out.count < kMaxFields) {
    if (*p == '"') {
      ++p;
      const char* start = p;
      char* write = scratch;
      bool closed = false;
      bool copied = false;
      while (p < end) {
        if (*p == '"') {
          if (p + 1 < end && p[1] == '"') {
            if (!copied) {
              std::memcpy(write, start, static_cast<std::size_t>(p - start));
              write += p - start;
              copied = true;
            }
            *write++ = '"';
            p += 2;
            continue;
          }
          closed = true;
          break;
        }
        if (copied) *write++ = *p;
        ++p;
      }
      if (closed) {
        if (copied) {
          append(scratch, static_cast<std::size_t>(write - scratch), true);
          scratch = write;
        } else {
          append(start, static_cast<std::size_t>(p - start), true);
        }
        ++p;  // past the closing quote
      } else {
        // No closing quote: the rest of the text without its last character.
        if (copied) {
          const std::size_t n = static_cast<std::size_t>(write - scratch);
          append(scratch, n > 0 ? n - 1 : 0);
        } else {
          const std::size_t n = static_cast<std::size_t>(end - start);
          append(start, n > 0 ? n - 1 : 0);
        }
        p = end;
      }
    } else {
      const char* start = p;
      while (p < end && *p != ',' && !IsBlank(static_cast<unsigned char>(*p))) ++p;
      append(start, static_cast<std::size_t>(p - start));
    }
    skipBlanks();
    if (p < end && *p == ',') {
      if (p + 1 == end && out.count < kMaxFields) append(p, 0);
      ++p;
      skipBlanks();
    }
  }
}

bool IsDigit(char c) { return c >= '0' && c <= '9'; }

int HexValue(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  if (c >= 'A' && c <= 'F') return c - 'A' + 10;
  return -1;
}

// The whole text is one integer: leading spaces, a sign, then decimal digits
// or "$"/"x"/"0x" and hex digits. A value outside 32 bits is no value.
template <typename Char>
bool ToInteger(const Char* p, const Char* end, std::int32_t& value) {
  value = 0;
  while (p < end && *p == ' ') ++p;
  bool negative = false;
  if (p < end && (*p == '+' || *p == '-')) {
    negative = *p == '-';
    ++p;
  }
  int base = 10;
  if (p < end && *p == '$') {
    base = 16;
    ++p;
  } else if (p < end && (*p == 'x' || *p == 'X')) {
    base = 16;
    ++p;
  } else if (end - p >= 2 && p[0] == '0' && (p[1] == 'x' || p[1] == 'X')) {
    base = 16;
    p += 2;
  }
  if (p == end) return false;
  std::int64_t magnitude = 0;
  constexpr std::int64_t kLimit = static_cast<std::int64_t>(std::numeric_limits<std::int32_t>::max()) + 1;
  for (; p < end; ++p) {
    const int digit = base == 10 ? (IsDigit(static_cast<char>(*p)) && *p < 128 ? *p - '0' : -1)
                                 : (*p < 128 ? HexValue(static_cast<char>(*p)) : -1);
    if (digit < 0) return false;
    magnitude = magnitude * base + digit;
    if (magnitude > kLimit) return false;
  }
  const std::int64_t v = negative ? -magnitude : magnitude;
  if (v > std::numeric_limits<std::int32_t>::max()) return false;
  value = static_cast<std::int32_t>(v);
  return true;
}

// One "%u" of scanf: blanks skipped, an optional sign, decimal digits. The
// value is kept wide; a value that cannot be a 32-bit time fails later.
template <typename Char>
bool ScanUnsigned(const Char*& p, const Char* end, std::uint64_t& value) {
  while (p < end && (*p == ' ' || (*p >= 9 && *p <= 13))) ++p;
  bool negative = false;
  if (p < end && (*p == '+' || *p == '-')) {
    negative = *p == '-';
    ++p;
  }
  if (p == end || !(*p >= '0' && *p <= '9')) return false;
  std::uint64_t v = 0;
  for (; p < end && *p >= '0' && *p <= '9'; ++p) {
    v = v * 10 + static_cast<std::uint64_t>(*p - '0');
    if (v > 0xFFFFFFFFull) v = 0xFFFFFFFFull + 1;  // saturate: out of range anyway
  }
  // scanf wraps a negative number to a huge unsigned one; only -0 survives.
  value = negative && v != 0 ? 0xFFFFFFFFull + 1 : v;
  return true;
}

template <typename Char>
bool Expect(const Char*& p, const Char* end, char c) {
  if (p < end && *p == c) {
    ++p;
    return true;
  }
  return false;
}

// "%u:%u:%u" of scanf.
template <typename Char>
bool ScanHms(const Char*& p, const Char* end, std::uint64_t& h, std::uint64_t& m, std::uint64_t& s) {
  return ScanUnsigned(p, end, h) && Expect(p, end, ':') && ScanUnsigned(p, end, m) && Expect(p, end, ':') &&
         ScanUnsigned(p, end, s);
}

constexpr std::uint64_t kMax32 = static_cast<std::uint64_t>(std::numeric_limits<std::int32_t>::max());
constexpr std::uint64_t kNoTimeMarker = 3599999;  // 00:59:59.999

template <typename Char>
bool ToClock(const Char* p, const Char* end, std::int32_t& value) {
  value = 0;
  std::uint64_t h = 0, m = 0, s = 0;
  if (!ScanHms(p, end, h, m, s)) return false;
  const std::uint64_t total = h * 3600 + m * 60 + s;
  if (total > kMax32) return false;
  value = static_cast<std::int32_t>(total);
  return true;
}

// "h:m:s.f" with f a decimal fraction of a second: ".5" is 500 ms, ".872"
// 872 ms, digits past the third are cut.
template <typename Char>
bool ToTime(const Char* p, const Char* end, std::int32_t& value) {
  value = 0;
  std::uint64_t h = 0, m = 0, s = 0;
  if (!ScanHms(p, end, h, m, s) || !Expect(p, end, '.')) return false;
  while (p < end && (*p == ' ' || (*p >= 9 && *p <= 13))) ++p;
  if (p < end && *p == '+') ++p;
  if (p == end || !(*p >= '0' && *p <= '9')) return false;
  std::uint64_t ms = 0;
  int digits = 0;
  for (; p < end && *p >= '0' && *p <= '9'; ++p) {
    if (digits < 3) {
      ms = ms * 10 + static_cast<std::uint64_t>(*p - '0');
      ++digits;
    }
  }
  for (; digits < 3; ++digits) ms *= 10;
  // Each part is below 2^32 + 1, so the sum cannot wrap 64 bits.
  const std::uint64_t total = h * 3600000 + m * 60000 + s * 1000 + ms;
  if (total > kMax32) return false;
  // Some timing software writes 00:59:59.999 for a time that does not exist
  // yet (a best lap before the first lap): no time, not an hour.
  value = total == kNoTimeMarker ? 0 : static_cast<std::int32_t>(total);
  return true;
}

// "%u/%u/%u": the date of "$I" (the feeds send 0/0/0000 as often as a real one).
bool IsDate(const Field& f) {
  const char* p = f.data;
  const char* const end = f.data + f.size;
  std::uint64_t day = 0, month = 0, year = 0;
  return f.size > 0 && ScanUnsigned(p, end, day) && Expect(p, end, '/') && ScanUnsigned(p, end, month) &&
         Expect(p, end, '/') && ScanUnsigned(p, end, year);
}

bool Integer(const Field& f, std::int32_t& value) { return ToInteger(f.data, f.data + f.size, value); }
bool Clock(const Field& f, std::int32_t& value) { return ToClock(f.data, f.data + f.size, value); }
bool Time(const Field& f, std::int32_t& value) { return ToTime(f.data, f.data + f.size, value); }

// Feeds send a competitor's "$G" before its first lap, and a "$H" before its
// first best lap, with the lap field present but empty: no laps yet. A field
// that is missing (a cut record) or holds other text still fails.
bool LapCount(const SplitLine& s, std::size_t i, std::int32_t& value) {
  value = 0;
  if (s.Has(i) && s.Get(i).size == 0) return true;
  return Integer(s.Get(i), value);
}

// First and last name in two fields: joined by one blank unless one of them
// already brings it.
void JoinName(const Field& last, const Field& first, std::u16string& name, std::u16string& scratch) {
  platform::FeedTextToUtf16(last.View(), name);
  if (first.size == 0) return;
  platform::FeedTextToUtf16(first.View(), scratch);
  if (last.size > 0 && !IsBlank(static_cast<unsigned char>(last.data[last.size - 1])) &&
      !IsBlank(static_cast<unsigned char>(first.data[0])))
    name += u' ';
  name += scratch;
}

TFlagState Flag(const Field& f) {
  auto startsWith = [&](const char* word) {
    const std::size_t n = std::strlen(word);
    if (f.size < n) return false;
    for (std::size_t i = 0; i < n; ++i) {
      char c = f.data[i];
      if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
      if (c != word[i]) return false;
    }
    return true;
  };
  if (startsWith("GREEN")) return fsGreen;
  if (startsWith("RED")) return fsRed;
  if (startsWith("FINISH")) return fsFinish;
  if (startsWith("YELLOW")) return fsYellow;
  return fsNone;
}

// A record's letter counts only when a comma or the line's end follows it.
// Noise on the line can hold a "$" and any letter ("$I" inside binary junk
// would otherwise empty the standings and the roster mid-session).
bool TagEndsAt(std::string_view line, std::size_t at) {
  if (at < line.size() && line[at] == ',') return true;
  for (; at < line.size(); ++at) {
    if (line[at] != '\r' && line[at] != '\n') return false;
  }
  return true;
}

struct ParserState {
  TProcessResult result;
  SplitLine split;
  std::u16string decoded;
  // The run the latest "$B" announced, as its number and description texts;
  // none after "$I".
  bool runKnown = false;
  std::string runNumber;
  std::string runName;
};

ParserState& State() {
  static ParserState state;
  return state;
}

void Reset(TProcessResult& r) {
  r.kind = rkNone;
  r.regNumber = r.number = r.lapTime = r.totalTime = r.laps = r.position = r.raceTime = r.bestLapTime = 0;
  r.flag = fsNone;
  r.sameRun = false;
  r.classNumber = 0;
  r.timeToGo = r.lapsToGo = -1;
  r.name.clear();
}

}  // namespace

const TProcessResult* ProcessFeedLine(const char* line) {
  return ProcessFeedLine(line != nullptr ? std::string_view(line) : std::string_view());
}

const TProcessResult* ProcessFeedLine(std::string_view line) {
  TCompetitors& table = CreateCompetitors();
  TProcessResult& r = State().result;
  if (line.empty() || line[0] != '$') return nullptr;
  const feed::DecodeOutcome decoded = feed::DecodeRecord(line, r);
  if (!decoded) return nullptr;

  ParserState& st = State();
  switch (r.kind) {
    case rkInit:
      table.Clear();
      table.ClearRoster();
      st.runKnown = false;
      break;
    case rkRun:
      // Feeds announce the run under way again, mostly followed by the whole
      // standings: emptying the table then would blank the board until every
      // car has crossed the line once more.
      r.sameRun = st.runKnown && !decoded.runNumber.empty() && decoded.runNumber == st.runNumber &&
                  decoded.runName == st.runName;
      if (r.sameRun) break;
      table.Clear();
      st.runKnown = !decoded.runNumber.empty();
      st.runNumber.assign(decoded.runNumber);
      st.runName.assign(decoded.runName);
      break;
    case rkCompetitor:
      if (r.number != 0) table.SetCompetitorInfo(r.regNumber, r.number, r.name);
      break;
    case rkRace:
      if (decoded.updatesTable) table.UpdateRace(r.regNumber, r.totalTime, r.position, r.laps);
      break;
    case rkBestLap:
      if (decoded.updatesTable) table.UpdateBestLap(r.regNumber, r.bestLapTime, r.position, r.laps);
      break;
    case rkPassing:
      table.AddPassing(r.regNumber, r.lapTime, r.totalTime);
      break;
    default:
      break;
  }
  return &r;
}

namespace feed {

DecodeOutcome DecodeRecord(std::string_view line, TProcessResult& r) {
  ParserState& st = State();
  if (line.empty() || line[0] != '$') return {};
  Reset(r);
  if (line.size() < 2 || !TagEndsAt(line, 2)) return {};

  DecodeOutcome outcome;
  outcome.handled = true;
  const char tag = line[1];
  switch (tag) {
    case 'B':
      r.kind = rkRun;
      break;
    case 'I':
      r.kind = rkInit;
      break;
    case 'A':
    case 'F':
    case 'G':
    case 'H':
    case 'J':
      break;
    default:
      return {};
  }

  SplitLine& s = st.split;
  Split(line, s);

  switch (tag) {
    case 'I': {
      // The two records that empty the standings count only when whole: a
      // "$I," in noise or inside a name must not wipe a running race.
      std::int32_t clock = 0;
      if (!Clock(s.Get(1), clock) || !IsDate(s.Get(2))) return {};
      break;
    }
    case 'B': {
      std::int32_t run = 0;
      if (!Integer(s.Get(1), run) || !s.Get(2).quoted) return {};
      outcome.runNumber = s.Get(1).View();
      outcome.runName = s.Get(2).View();
      // The run's name, for the results page; the board does not show it.
      platform::FeedTextToUtf16(s.Get(2).View(), r.name);
      break;
    }
    case 'A': {
      r.kind = rkCompetitor;
      Integer(s.Get(1), r.regNumber);
      Integer(s.Get(2), r.number);
      JoinName(s.Get(5), s.Get(4), r.name, st.decoded);
      if (!Integer(s.Get(7), r.classNumber) || r.classNumber < 0) r.classNumber = 0;
      break;
    }
    case 'F':
      r.kind = rkHeartbeat;
      Clock(s.Get(4), r.raceTime);
      r.flag = Flag(s.Get(5));
      // 9999 laps and a time of 00:00:00 are how feeds say "no limit".
      if (!Integer(s.Get(1), r.lapsToGo) || r.lapsToGo < 0 || r.lapsToGo >= 9999) r.lapsToGo = -1;
      if (!Clock(s.Get(2), r.timeToGo) || r.timeToGo <= 0) r.timeToGo = -1;
      break;
    case 'G':
    case 'H': {
      r.kind = tag == 'G' ? rkRace : rkBestLap;
      Time(s.Get(4), tag == 'G' ? r.totalTime : r.bestLapTime);
      Integer(s.Get(2), r.regNumber);
      const bool positionOk = Integer(s.Get(1), r.position);
      const bool lapsOk = LapCount(s, 3, r.laps);
      outcome.updatesTable = positionOk && lapsOk;
      break;
    }
    case 'J':
      r.kind = rkPassing;
      Time(s.Get(2), r.lapTime);
      Time(s.Get(3), r.totalTime);
      Integer(s.Get(1), r.regNumber);
      break;
  }
  return outcome;
}

bool DecodeClassRecord(std::string_view line, std::int32_t& number, std::u16string& name) {
  number = 0;
  if (line.size() < 3 || line[0] != '$' || line[1] != 'C' || !TagEndsAt(line, 2)) return false;
  SplitLine& s = State().split;
  Split(line, s);
  if (!Integer(s.Get(1), number)) return false;
  platform::FeedTextToUtf16(s.Get(2).View(), name);
  return true;
}

bool ConvertInteger(std::u16string_view text, std::int32_t& value) {
  return ToInteger(text.data(), text.data() + text.size(), value);
}
bool ConvertClock(std::u16string_view text, std::int32_t& value) {
  return ToClock(text.data(), text.data() + text.size(), value);
}
bool ConvertTime(std::u16string_view text, std::int32_t& value) {
  return ToTime(text.data(), text.data() + text.size(), value);
}

}  // namespace feed
