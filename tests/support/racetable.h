// A realistic race table for the board protocol's tests and benchmark:
// leader first, cumulative times, a lapped tail, Cyrillic names.
#pragma once

#include <cstdint>
#include <random>
#include <vector>

#include "boardprotocol.h"

namespace testsupport {

inline std::vector<boardprotocol::TRowData> RaceTable(int count) {
  static const char* const kNames[] = {"Смирнов Алексей", "Иванов Дмитрий", "Кузнецов Сергей", "Попов Андрей",
                                       "Васильев Игорь",  "Петров Михаил",  "Соколов Никита",  "Михайлов Артём",
                                       "Новиков Роман",   "Фёдоров Денис",  "Морозов Павел",   "Волков Илья",
                                       "Алексеев Егор",   "Лебедев Максим", "Семёнов Кирилл",  "Егоров Антон"};
  std::vector<boardprotocol::TRowData> rows;
  std::mt19937 rng(7);
  std::int32_t total = 12 * 42000;
  for (int i = 0; i < count; ++i) {
    boardprotocol::TRowData r;
    r.mode = 1;
    r.row = i + 1;
    r.number = 3 + (i * 7) % 40;
    r.bestLapTime = 41000 + static_cast<std::int32_t>(rng() % 4000);
    r.lastLapTime = r.bestLapTime + static_cast<std::int32_t>(rng() % 2500);
    r.laps = i < count - 4 ? 12 : 11;
    total += static_cast<std::int32_t>(rng() % 3000);
    r.totalTime = total;
    r.raceGap = i == 0 ? 0 : (r.laps == 12 ? total - 12 * 42000 : -1);
    r.bestLapGap = static_cast<std::int32_t>(rng() % 3000);
    r.name = kNames[i % 16];
    rows.push_back(r);
  }
  return rows;
}

}  // namespace testsupport
