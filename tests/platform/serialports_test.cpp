#include "platform/serialports.h"

#include <gtest/gtest.h>

#ifndef _WIN32
#include <unistd.h>
#endif

#include <array>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/comports.h"
#include "platform/serialportlist.h"

namespace {

using platform::TSerialDeviceFacts;
using platform::TSerialLinkFacts;

TEST(SerialPortDiscovery, TheSystemTableIsWellFormed) {
  std::array<platform::TSerialPortInfo, platform::kMaxSerialPorts> table;
  int count = -1;
  EXPECT_EQ(platform::EnumerateSerialPorts(table.data(), count), 1);
  EXPECT_GE(count, 0);
  EXPECT_LE(count, platform::kMaxSerialPorts);
  for (int i = 0; i < count; ++i) {
    EXPECT_FALSE(table[i].devicePath.empty()) << i;
    EXPECT_LE(table[i].friendlyName.size(), 255u) << table[i].friendlyName;
  }
}

TEST(SerialDeviceText, KeepsAsciiAndReplacesEachOtherCharacterOnce) {
  EXPECT_EQ(platform::SanitizeDeviceText("QinHeng Electronics"), "QinHeng Electronics");
  EXPECT_EQ(platform::SanitizeDeviceText("Caf\xC3\xA9 \xE2\x82\xAC"), "Caf? ?");
  EXPECT_EQ(platform::SanitizeDeviceText("a\tb\x7F"), "a?b?");
  EXPECT_EQ(platform::SanitizeDeviceText("\x80\x80x"), "??x");  // stray continuation bytes
  EXPECT_EQ(platform::SanitizeDeviceText(""), "");
}

#ifndef _WIN32

TEST(SerialFriendlyName, VendorModelAndPortText) {
  const TSerialDeviceFacts ch340{"/dev/ttyUSB0", "ttyUSB0", "QinHeng Electronics", "CH340 serial converter"};
  EXPECT_EQ(platform::SerialFriendlyName(ch340, false), "QinHeng Electronics CH340 serial converter (COM33)");
  const TSerialDeviceFacts modelOnly{"/dev/ttyACM2", "ttyACM2", "", "  Board  "};
  EXPECT_EQ(platform::SerialFriendlyName(modelOnly, false), "Board (COM67)");
  const TSerialDeviceFacts bare{"/dev/ttyS4", "ttyS4", "", ""};
  EXPECT_EQ(platform::SerialFriendlyName(bare, false), "ttyS4 (COM5)");
}

TEST(SerialFriendlyName, DevicesWithoutAComNumberAreNamedButNeverMatch) {
  const TSerialDeviceFacts outside{"/dev/ttyUSB40", "ttyUSB40", "QinHeng Electronics", "CH340 serial converter"};
  const std::string name = platform::SerialFriendlyName(outside, false);
  EXPECT_EQ(name, "QinHeng Electronics CH340 serial converter (ttyUSB40)");
  EXPECT_EQ(name.find("(COM"), std::string::npos);
  const TSerialDeviceFacts shadowed{"/dev/ttyUSB0", "ttyUSB0", "FTDI", "FT232R"};
  EXPECT_EQ(platform::SerialFriendlyName(shadowed, true), "FTDI FT232R (ttyUSB0)");
}

TEST(SerialFriendlyName, LongNamesAreCutBeforeThePortText) {
  const TSerialDeviceFacts longName{"/dev/ttyUSB7", "ttyUSB7", std::string(300, 'V'), "CH340"};
  const std::string name = platform::SerialFriendlyName(longName, false);
  EXPECT_EQ(name.size(), 255u);
  EXPECT_EQ(name.substr(name.size() - 8), " (COM40)");
  EXPECT_EQ(name.substr(0, 3), "VVV");
}

TEST(SerialPortTable, DevicesInOrderThenLinksByNumberAndTheirTargets) {
  const std::vector<TSerialDeviceFacts> devices{
      {"/dev/ttyUSB1", "ttyUSB1", "QinHeng Electronics", "CH340 serial converter"},
      {"/dev/ttyS0", "ttyS0", "", ""},
  };
  const std::vector<TSerialLinkFacts> links{
      {"/tmp/l/COM40", 40, "/dev/pts/9"},
      {"/tmp/l/COM1", 1, ""},
  };
  std::array<platform::TSerialPortInfo, platform::kMaxSerialPorts> table;
  int count = 0;
  platform::BuildSerialPortTable(devices, links, table.data(), count);
  ASSERT_EQ(count, 4);
  EXPECT_EQ(table[0].devicePath, "/dev/ttyUSB1");
  EXPECT_EQ(table[0].friendlyName, "QinHeng Electronics CH340 serial converter (COM34)");
  // COM1 is the link's now; the UART keeps its entry but loses the number.
  EXPECT_EQ(table[1].friendlyName, "ttyS0 (ttyS0)");
  EXPECT_EQ(table[2].devicePath, "/tmp/l/COM1");
  EXPECT_EQ(table[2].friendlyName, "Serial link (COM1)");
  EXPECT_EQ(table[3].friendlyName, "Serial link to /dev/pts/9 (COM40)");
}

TEST(SerialPortTable, SerialCommPortsJoinOnceAndOnlyWhenNamedCom) {
  std::array<platform::TSerialPortInfo, platform::kMaxSerialPorts> table;
  table[0] = {"\\\\?\\usb#vid_1a86", "USB-SERIAL CH340 (COM3)"};
  int count = 1;
  platform::AppendSerialCommPorts({{"\\Device\\Serial0", "COM1"},
                                   {"\\Device\\VCP0", "COM3"},  // the Setup API's CH340 again
                                   {"\\Device\\BthModem0", "com12"},
                                   {"\\Device\\com0com10", "CNCA0"},
                                   {"Serial7", "COM1"},
                                   {"", "COM07"}},
                                  table.data(), count);
  ASSERT_EQ(count, 4);
  EXPECT_EQ(table[1].friendlyName, "Serial0 (COM1)");
  EXPECT_EQ(table[1].devicePath, "\\\\.\\COM1");
  EXPECT_EQ(table[2].friendlyName, "BthModem0 (COM12)");
  EXPECT_EQ(table[3].friendlyName, "Serial port (COM7)");
}

TEST(SerialPortTable, MoreThanOneHundredPortsKeepsTheFirstHundred) {
  std::vector<TSerialDeviceFacts> devices;
  for (int i = 0; i < 96; ++i) devices.push_back({"/dev/ttyX" + std::to_string(i), "ttyX", "", ""});
  std::vector<TSerialLinkFacts> links;
  for (int i = 1; i <= 10; ++i) links.push_back({"/l/COM" + std::to_string(200 + i), 200 + i, ""});
  std::array<platform::TSerialPortInfo, platform::kMaxSerialPorts> table;
  int count = 0;
  platform::BuildSerialPortTable(devices, links, table.data(), count);
  ASSERT_EQ(count, platform::kMaxSerialPorts);
  EXPECT_EQ(table[95].devicePath, "/dev/ttyX95");
  EXPECT_EQ(table[99].devicePath, "/l/COM204");
}

TEST(SerialPortDiscovery, ListsTheLinksOfTheLinkFolder) {
  const auto previous = platform::ComLinkFolder();
  const auto folder = std::filesystem::temp_directory_path() / ("brelvo-serial-test-" + std::to_string(::getpid()));
  std::filesystem::remove_all(folder);
  std::filesystem::create_directories(folder);
  std::filesystem::create_symlink("/dev/null", folder / "COM120");
  std::filesystem::create_symlink("/dev/null", folder / "COM07");  // not a name ComPortDevicePath makes
  std::filesystem::create_symlink("/dev/null", folder / "board");
  platform::SetComLinkFolder(folder);

  std::array<platform::TSerialPortInfo, platform::kMaxSerialPorts> table;
  int count = 0;
  platform::EnumerateSerialPorts(table.data(), count);
  platform::SetComLinkFolder(previous);
  std::filesystem::remove_all(folder);

  int links = 0;
  for (int i = 0; i < count; ++i) {
    if (table[i].devicePath.rfind(folder.string(), 0) != 0) continue;
    ++links;
    EXPECT_EQ(table[i].devicePath, (folder / "COM120").string());
    EXPECT_EQ(table[i].friendlyName, "Serial link to /dev/null (COM120)");
  }
  EXPECT_EQ(links, 1);
}

#endif

}  // namespace
