#include "recording/recording.h"

#include <algorithm>
#include <cstdio>

namespace recording {

namespace {

// Days since 1970-01-01 of a civil date (proleptic Gregorian).
std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d) {
  y -= m <= 2;
  const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
  const auto yoe = static_cast<unsigned>(y - era * 400);
  const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
  const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
  return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

bool Digits(std::string_view s, std::size_t pos, std::size_t n, unsigned& out) {
  if (pos + n > s.size()) return false;
  out = 0;
  for (std::size_t i = pos; i < pos + n; ++i) {
    if (s[i] < '0' || s[i] > '9') return false;
    out = out * 10 + static_cast<unsigned>(s[i] - '0');
  }
  return true;
}

std::string_view StripLineEnd(std::string_view line) {
  while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.remove_suffix(1);
  return line;
}

// `text` has the shape of `shape` ('0' a digit, anything else itself) for
// as far as `text` goes.
bool HasShape(std::string_view text, std::string_view shape) {
  if (text.size() > shape.size()) return false;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (shape[i] == '0' ? (text[i] < '0' || text[i] > '9') : text[i] != shape[i]) return false;
  }
  return true;
}

// The start of a stamp that a crash cut short: "##", then the stamp's
// shape as far as it goes.
bool IsCutStamp(std::string_view text) { return text.size() >= 2 && HasShape(text, "##0000-00-00 00:00:00.000"); }

constexpr std::string_view kStartedShape = "0000-00-00_00-00-00";
constexpr std::string_view kExtension = ".feed";

}  // namespace

std::string StampLine(const TStampTime& t) {
  char text[64];
  std::snprintf(text, sizeof text, "##%04d-%02d-%02d %02d:%02d:%02d.%03d\n", t.year, t.month, t.day, t.hour, t.minute,
                t.second, t.millisecond);
  return text;
}

std::optional<std::int64_t> ParseStamp(std::string_view line) {
  line = StripLineEnd(line);
  // ##YYYY-MM-DD hh:mm:ss.fff
  if (line.size() != 25 || line.substr(0, 2) != "##") return std::nullopt;
  unsigned y, mo, d, h, mi, s, ms;
  if (!Digits(line, 2, 4, y) || line[6] != '-' || !Digits(line, 7, 2, mo) || line[9] != '-' ||
      !Digits(line, 10, 2, d) || line[12] != ' ' || !Digits(line, 13, 2, h) || line[15] != ':' ||
      !Digits(line, 16, 2, mi) || line[18] != ':' || !Digits(line, 19, 2, s) || line[21] != '.' ||
      !Digits(line, 22, 3, ms)) {
    return std::nullopt;
  }
  if (mo < 1 || mo > 12 || d < 1 || d > 31 || h > 23 || mi > 59 || s > 60) return std::nullopt;
  return ((DaysFromCivil(y, mo, d) * 24 + h) * 60 + mi) * 60000LL + s * 1000LL + ms;
}

std::string FileName(const TStampTime& t, int index) {
  char text[64];
  std::snprintf(text, sizeof text, "%04d-%02d-%02d_%02d-%02d-%02d", t.year, t.month, t.day, t.hour, t.minute, t.second);
  std::string name = text;
  if (index > 1) name += "_" + std::to_string(index);
  return name + std::string(kExtension);
}

std::optional<TFileName> ParseFileName(std::string_view name) {
  if (name.size() < kStartedShape.size() + kExtension.size() ||
      name.substr(name.size() - kExtension.size()) != kExtension) {
    return std::nullopt;
  }
  name.remove_suffix(kExtension.size());
  const std::string_view started = name.substr(0, kStartedShape.size());
  if (started.size() != kStartedShape.size() || !HasShape(started, kStartedShape)) return std::nullopt;
  TFileName out{std::string(started), 1};
  const std::string_view suffix = name.substr(kStartedShape.size());
  if (suffix.empty()) return out;
  // "_N", N from 2, no leading zero, a handful of digits at most.
  if (suffix.size() < 2 || suffix.size() > 7 || suffix[0] != '_' || suffix[1] == '0') return std::nullopt;
  unsigned index = 0;
  if (!Digits(suffix, 1, suffix.size() - 1, index) || index < 2) return std::nullopt;
  out.index = static_cast<int>(index);
  return out;
}

bool StartedBefore(const TFileName& a, const TFileName& b) {
  return a.started != b.started ? a.started < b.started : a.index < b.index;
}

TReceiveCutter::TPieces TReceiveCutter::Cut(std::string_view bytes) {
  TPieces pieces;
  next_.clear();
  nextInLongLine_ = false;
  if (inLongLine_) {
    // The rest of a line too long to hold: up to its end it belongs with
    // what was written of it.
    const std::size_t end = bytes.find('\n');
    if (end == std::string_view::npos) {
      pieces.lead = bytes;
      nextInLongLine_ = true;
      return pieces;
    }
    pieces.lead = bytes.substr(0, end + 1);
    bytes.remove_prefix(end + 1);
  }
  // After the end of an overlong line nothing is held: a line starts here.
  const std::string_view held = inLongLine_ ? std::string_view() : std::string_view(held_);
  const std::size_t last = bytes.rfind('\n');
  const std::size_t whole = last == std::string_view::npos ? 0 : last + 1;
  std::string_view body = bytes.substr(0, whole);
  const std::string_view tail = bytes.substr(whole);
  if (body.empty()) {
    // No line ended: the held line only grows.
    next_.reserve(held.size() + tail.size());
    next_.assign(held).append(tail);
    if (next_.size() <= kMaxHeldBytes) return pieces;
    next_.clear();
    body = tail;
    nextInLongLine_ = true;
  } else if (tail.size() > kMaxHeldBytes) {
    body = bytes;
    nextInLongLine_ = true;
  } else {
    next_.assign(tail);
  }
  pieces.stamp = true;
  pieces.held = held;
  pieces.body = body;
  return pieces;
}

void TReceiveCutter::Commit() {
  held_.swap(next_);
  next_.clear();
  inLongLine_ = nextInLongLine_;
}

void TReceiveCutter::NewFile() {
  next_.clear();
  inLongLine_ = false;
  nextInLongLine_ = false;
}

void TReceiveCutter::Clear() {
  held_.clear();
  next_.clear();
  inLongLine_ = false;
  nextInLongLine_ = false;
}

std::vector<TFeedEvent> ParseRecording(std::string_view text, double linesPerSecond) {
  if (text.substr(0, 3) == "\xEF\xBB\xBF") text.remove_prefix(3);
  std::vector<TFeedEvent> events;
  std::optional<std::int64_t> first;
  std::int64_t now = 0;
  bool stamped = false;
  std::size_t plainIndex = 0;
  int burst = 0;
  bool lineEnded = true;
  const double rate = linesPerSecond > 0 ? linesPerSecond : 10.0;
  const std::size_t total = text.size();
  while (!text.empty()) {
    const std::size_t nl = text.find('\n');
    std::string_view line = nl == std::string_view::npos ? text : text.substr(0, nl + 1);
    // A stamp glued to the first part of a line (files of the older form):
    // that part alone first.
    const std::size_t glued = line.rfind("##");
    if (glued != std::string_view::npos && glued > 0 && ParseStamp(line.substr(glued))) line = line.substr(0, glued);
    // A file cut in the middle of its last stamp: the stamp is not sent.
    if (nl == std::string_view::npos && glued != std::string_view::npos && IsCutStamp(line.substr(glued))) {
      if (glued == 0) break;
      line = line.substr(0, glued);
    }
    text.remove_prefix(line.size());
    if (auto stamp = ParseStamp(line)) {
      if (!first) first = *stamp;
      now = std::max(now, *stamp - *first);
      stamped = true;
      ++burst;
      continue;
    }
    // The recorder's blank lines between bursts are not sent; the line end
    // of a line that a receive cut just before it is.
    if (StripLineEnd(line).empty() && lineEnded) continue;
    lineEnded = line.back() == '\n';
    std::int64_t at = now;
    if (!stamped) at = static_cast<std::int64_t>(static_cast<double>(plainIndex) * 1000.0 / rate);
    ++plainIndex;
    events.push_back({at, std::string(line), total - text.size(), burst});
  }
  return events;
}

}  // namespace recording
