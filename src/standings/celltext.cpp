#include "standings/celltext.h"

#include <cstdio>

#include "standings/competitors.h"

namespace {

// The formats are ASCII; widen after printf.
template <typename... Args>
std::u16string Print(const char* format, Args... args) {
  char buffer[48];
  const int n = std::snprintf(buffer, sizeof buffer, format, args...);
  std::u16string out;
  if (n <= 0) return out;
  const auto length = static_cast<std::size_t>(n) < sizeof buffer ? static_cast<std::size_t>(n) : sizeof buffer - 1;
  out.reserve(length);
  for (std::size_t i = 0; i < length; ++i) out.push_back(static_cast<char16_t>(static_cast<unsigned char>(buffer[i])));
  return out;
}

unsigned U(std::int32_t v) { return static_cast<unsigned>(static_cast<std::uint32_t>(v)); }

}  // namespace

std::u16string FormatLapTime(std::int32_t t) {
  // Times are never negative in the table; a negative one has no text.
  if (t <= 0) return {};
  const unsigned ms = U(t);
  if (ms < 60000) return Print("%2u.%03u", ms / 1000, ms % 1000);
  return Print("%u:%02u.%03u", ms / 60000, (ms % 60000) / 1000, ms % 1000);
}

std::u16string FormatGap(std::int32_t g) {
  if (g < 0) {
    const auto laps = static_cast<unsigned>(-static_cast<std::int64_t>(g));
    std::u16string text = Print("%u", laps);
    text.append(u" кр");
    return text;
  }
  if (g > 0) {
    // Appended rather than concatenated: GCC 12 warns falsely (-Wrestrict)
    // on the operator+ form at -O3.
    std::u16string text(1, u'+');
    text.append(FormatLapTime(g));
    return text;
  }
  return {};
}

std::u16string GetCellText(std::int32_t row, std::int32_t column, std::int32_t mode) {
  TCompetitors* table = Competitors();
  if (table == nullptr) return {};

  if (mode == smPractice) {
    const TPassing p = table->GetPassing(row);
    switch (column) {
      case rcNumber:
        return p.regNumber == 0 ? std::u16string{} : Print("%2u", U(p.regNumber) % 100);
      case rcLastLap:
        return FormatLapTime(p.lapTime);
      case rcName: {
        // The name of the passing's own competitor, so the row reads as one
        // passing; nothing for an empty entry or an unknown competitor.
        if (p.regNumber == 0 && p.lapTime == 0) return {};
        TCompetitor c;
        return table->CopyByRegNumber(p.regNumber, c) ? c.name : std::u16string{};
      }
      default:
        return {};
    }
  }

  TCompetitor r;
  if (!table->CopyByPosition(row, mode, r)) return {};
  return CompetitorCellText(r, column, mode);
}

std::u16string CompetitorCellText(const TCompetitor& r, std::int32_t column, std::int32_t mode) {
  switch (column) {
    case rcNumber:
      return Print("%2u", U(r.number));
    case rcBestLap:
      return FormatLapTime(r.bestLapTime);
    case rcLastLap:
      return FormatLapTime(r.lastLapTime);
    case rcLaps:
      return Print("%02u", U(r.laps));
    case rcName:
      return r.name;
    case rcGap:
      return FormatGap(mode == smBestLap ? r.bestLapGap : r.raceGap);
    default:
      return {};
  }
}
