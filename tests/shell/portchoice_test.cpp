#include "shell/portchoice.h"

#include <vector>

#include <gtest/gtest.h>

namespace {

std::vector<platform::TSerialPortInfo> Ports(std::initializer_list<const char*> names) {
  std::vector<platform::TSerialPortInfo> table;
  for (const char* name : names) table.push_back({std::string("/dev/x"), std::string(name)});
  return table;
}

TEST(ComNumberInName, ReadsAsScanfDoes) {
  EXPECT_EQ(ComNumberInName("USB-SERIAL CH340 (COM12)").value_or(-1), 12);
  EXPECT_EQ(ComNumberInName("Port (COM 7)").value_or(-1), 7);
  EXPECT_EQ(ComNumberInName("Port (COM-2)").value_or(-1), -2);
  EXPECT_EQ(ComNumberInName("a (COMx) b (COM4)"), std::nullopt);  // only the first "(COM" counts
  EXPECT_EQ(ComNumberInName("Port COM4"), std::nullopt);
  EXPECT_EQ(ComNumberInName(""), std::nullopt);
  EXPECT_EQ(ComNumberInName(std::string("CH340\0(COM3)", 12)), std::nullopt);
}

TEST(ChooseBoardPort, FirstCh340WinsWhenNothingIsStored) {
  const auto table = Ports({"Communications Port (COM1)", "USB-SERIAL CH340 (COM4)", "USB-SERIAL CH340 (COM6)"});
  const TPortChoice choice = ChooseBoardPort(table.data(), static_cast<int>(table.size()), 0);
  EXPECT_EQ(choice.comPortNumber, 4);
  EXPECT_EQ(choice.selected, 1);
  EXPECT_TRUE(choice.chosenAutomatically);
  ASSERT_EQ(choice.items.size(), 3u);
  EXPECT_EQ(choice.items[2], "USB-SERIAL CH340 (COM6)");
}

TEST(ChooseBoardPort, StoredPortStaysAndIsSelected) {
  const auto table = Ports({"USB-SERIAL CH340 (COM3)", "USB-SERIAL CH340 (COM5)"});
  const TPortChoice choice = ChooseBoardPort(table.data(), 2, 5);
  EXPECT_EQ(choice.comPortNumber, 5);
  EXPECT_EQ(choice.selected, 1);
  EXPECT_FALSE(choice.chosenAutomatically);
}

// The operator sees the port the program opens even when it is unplugged:
// one more item after the present ones, selected.
TEST(ChooseBoardPort, StoredPortWithoutMatchIsListedAsAbsentAndSelected) {
  const auto table = Ports({"USB-SERIAL CH340 (COM3)"});
  const TPortChoice choice = ChooseBoardPort(table.data(), 1, 9);
  EXPECT_EQ(choice.comPortNumber, 9);
  EXPECT_TRUE(choice.storedPortAbsent);
  EXPECT_EQ(choice.selected, 1);
  EXPECT_FALSE(choice.chosenAutomatically);
  EXPECT_EQ(AbsentPortItem(9), u"COM9 (нет)");
  EXPECT_FALSE(ChooseBoardPort(table.data(), 1, 3).storedPortAbsent);
}

TEST(ChooseBoardPort, NoCh340ChoosesNothing) {
  const auto table = Ports({"Communications Port (COM1)", "ch340 lower case (COM2)", "Prolific (COM3)"});
  const TPortChoice choice = ChooseBoardPort(table.data(), 3, 0);
  EXPECT_EQ(choice.comPortNumber, 0);
  EXPECT_EQ(choice.selected, -1);
  EXPECT_FALSE(choice.chosenAutomatically);
}

TEST(ChooseBoardPort, NameRulesForTheComNumber) {
  // All digits are read, a blank is allowed, a CH340 without "(COM" is skipped.
  auto table = Ports({"USB-SERIAL CH340", "USB-SERIAL CH340 (COM 12)"});
  TPortChoice choice = ChooseBoardPort(table.data(), 2, 0);
  EXPECT_EQ(choice.comPortNumber, 12);
  EXPECT_EQ(choice.selected, 1);

  // A later entry with the chosen number takes over the selection.
  table = Ports({"USB-SERIAL CH340 (COM8)", "Other (COM8)"});
  choice = ChooseBoardPort(table.data(), 2, 0);
  EXPECT_EQ(choice.comPortNumber, 8);
  EXPECT_EQ(choice.selected, 1);
}

TEST(ChooseBoardPort, EmptyTableKeepsTheStoredNumber) {
  const TPortChoice none = ChooseBoardPort(nullptr, 0, 0);
  EXPECT_EQ(none.comPortNumber, 0);
  EXPECT_TRUE(none.items.empty());
  EXPECT_EQ(ChooseBoardPort(nullptr, 0, 3).comPortNumber, 3);
}

}  // namespace
