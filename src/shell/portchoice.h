// Which discovered serial port is the board's: the stored number, or else
// the first CH340 adapter. Qt-free so the rules can be tested with any table.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/serialports.h"

// The number after the first "(COM" in `name`, read as "(COM%d" reads it
// (blanks and a sign allowed); nullopt without "(COM" or digits.
std::optional<std::int32_t> ComNumberInName(const std::string& name);

struct TPortChoice {
  std::vector<std::string> items;    // friendly names in table order
  int selected = -1;                 // item to select, -1 for none
  std::int32_t comPortNumber = 0;    // the number after the choice
  bool chosenAutomatically = false;  // a CH340 adapter was taken: save the settings
  // The stored port is not present now: the list shows it as one more item,
  // selected, so the operator sees which port the program opens.
  bool storedPortAbsent = false;
};

// The port list's item for a stored port that is not present: "COM7 (нет)".
std::u16string AbsentPortItem(std::int32_t comPortNumber);

TPortChoice ChooseBoardPort(const platform::TSerialPortInfo* table, int count, std::int32_t comPortNumber);
