// Texts of the operator's results list.
#pragma once

#include <cstdint>
#include <string>

struct TCompetitor;

enum TResultColumn : std::int32_t {
  rcNumber = 0,   // "Номер"
  rcBestLap = 1,  // "Лучший круг"
  rcLastLap = 2,  // "Последний круг"
  rcLaps = 3,     // "Круги"
  rcName = 4,     // "Имя"
  rcGap = 5,      // "Отставание"
};

// " 5.123", "59.999", "1:00.000"; empty for 0. Callers pass t >= 0.
std::u16string FormatLapTime(std::int32_t t);
// "2 кр" for laps behind, "+ 1.234" for time behind, empty for 0.
std::u16string FormatGap(std::int32_t g);
// One cell of the list for row (from 0), column and mode; empty when absent.
std::u16string GetCellText(std::int32_t row, std::int32_t column, std::int32_t mode);
// The same texts from a copy already taken, for best-lap and race mode (any
// mode but practice, whose rows come from the passings).
std::u16string CompetitorCellText(const TCompetitor& competitor, std::int32_t column, std::int32_t mode);
