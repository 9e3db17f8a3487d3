#include "shell/portchoice.h"

#include <cstdio>
#include <cstring>

std::optional<std::int32_t> ComNumberInName(const std::string& name) {
  // Byte-wise like the C string functions: the name ends at its first NUL.
  const char* at = std::strstr(name.c_str(), "(COM");
  if (at == nullptr) return std::nullopt;
  int number = 0;
  if (std::sscanf(at, "(COM%d", &number) != 1) return std::nullopt;
  return number;
}

TPortChoice ChooseBoardPort(const platform::TSerialPortInfo* table, int count, std::int32_t comPortNumber) {
  TPortChoice choice;
  choice.comPortNumber = comPortNumber;
  for (int i = 0; i < count; ++i) {
    const std::string& name = table[i].friendlyName;
    choice.items.push_back(name);
    if (choice.comPortNumber != 0) {
      const auto number = ComNumberInName(name);
      if (number && *number == choice.comPortNumber) choice.selected = i;
    } else if (std::strstr(name.c_str(), "CH340") != nullptr) {
      if (const auto number = ComNumberInName(name)) {
        choice.comPortNumber = *number;
        choice.selected = i;
        choice.chosenAutomatically = true;
      }
    }
  }
  if (choice.comPortNumber != 0 && choice.selected < 0) {
    choice.storedPortAbsent = true;
    choice.selected = count;
  }
  return choice;
}

std::u16string AbsentPortItem(std::int32_t comPortNumber) {
  const std::string number = std::to_string(comPortNumber);
  return u"COM" + std::u16string(number.begin(), number.end()) + u" (нет)";
}
