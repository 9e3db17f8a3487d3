#include "platform/comports.h"

#include <chrono>
#include <fstream>
#include <string>

#ifndef _WIN32
#include <unistd.h>
#endif

#include <gtest/gtest.h>

namespace {

TEST(ComPortNames, ParseAcceptsOnlyComAndDecimalDigits) {
  EXPECT_EQ(platform::ParseComPortName("COM7"), 7);
  EXPECT_EQ(platform::ParseComPortName("com12"), 12);
  EXPECT_EQ(platform::ParseComPortName("CoM0"), 0);
  EXPECT_EQ(platform::ParseComPortName("COM"), std::nullopt);
  EXPECT_EQ(platform::ParseComPortName("COM-1"), std::nullopt);
  EXPECT_EQ(platform::ParseComPortName("COM 3"), std::nullopt);
  EXPECT_EQ(platform::ParseComPortName("COM3x"), std::nullopt);
  EXPECT_EQ(platform::ParseComPortName("LPT1"), std::nullopt);
  EXPECT_EQ(platform::ParseComPortName("COM99999999999"), std::nullopt);
  EXPECT_EQ(platform::ParseComPortName(""), std::nullopt);
}

#ifdef _WIN32

TEST(ComPortDevices, AreTheWindowsDeviceNames) {
  EXPECT_EQ(platform::ComPortDevicePath(3), "\\\\.\\COM3");
  EXPECT_EQ(platform::ComPortDevicePath(256), "\\\\.\\COM256");
  EXPECT_EQ(platform::ComPortDevicePath(0), std::nullopt);
  EXPECT_EQ(platform::ComPortDevicePath(257), std::nullopt);
  EXPECT_EQ(platform::ComPortNumberOfDevice("\\\\.\\COM12"), 12);
  EXPECT_EQ(platform::ComPortNumberOfDevice("COM5"), 5);
  EXPECT_EQ(platform::ComPortNumberOfDevice("\\\\.\\LPT1"), std::nullopt);
}

#else

class ComPortMapping : public ::testing::Test {
 protected:
  void SetUp() override {
    previous_ = platform::ComLinkFolder();
    folder_ = std::filesystem::temp_directory_path() /
              ("brelvo-com-test-" + std::to_string(std::chrono::steady_clock::now().time_since_epoch().count()));
    std::filesystem::create_directories(folder_);
    platform::SetComLinkFolder(folder_);
  }
  void TearDown() override {
    platform::SetComLinkFolder(previous_);
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored);
  }
  std::filesystem::path previous_;
  std::filesystem::path folder_;
};

TEST_F(ComPortMapping, FixedTableBothWaysAtEveryRangeEdge) {
  struct Row {
    int port;
    const char* device;
  };
  const Row rows[] = {{1, "/dev/ttyS0"},     {32, "/dev/ttyS31"},  {33, "/dev/ttyUSB0"}, {35, "/dev/ttyUSB2"},
                      {64, "/dev/ttyUSB31"}, {65, "/dev/ttyACM0"}, {96, "/dev/ttyACM31"}};
  for (const Row& row : rows) {
    EXPECT_EQ(platform::ComPortDevicePath(row.port), row.device) << row.port;
    EXPECT_EQ(platform::ComPortNumberOfDevice(row.device), row.port) << row.device;
  }
  EXPECT_EQ(platform::ComPortDevicePath(0), std::nullopt);
  EXPECT_EQ(platform::ComPortDevicePath(97), std::nullopt);
  EXPECT_EQ(platform::ComPortDevicePath(-1), std::nullopt);
}

TEST_F(ComPortMapping, DevicesOutsideTheTableHaveNoNumber) {
  for (const char* device : {"/dev/ttyS32", "/dev/ttyUSB32", "/dev/ttyACM100", "/dev/ttyS", "/dev/ttyS01",
                             "/dev/ttyUSB-1", "/dev/pts/3", "/dev/ttyAMA0", "ttyUSB0", "/dev/ttyUSB0x"}) {
    EXPECT_EQ(platform::ComPortNumberOfDevice(device), std::nullopt) << device;
  }
}

TEST_F(ComPortMapping, LinkInTheFolderWinsOverTheTableEvenForHighNumbers) {
  std::ofstream(folder_ / "target").put('x');
  std::filesystem::create_symlink(folder_ / "target", folder_ / "COM33");
  std::filesystem::create_symlink(folder_ / "target", folder_ / "COM150");
  EXPECT_EQ(platform::ComPortDevicePath(33), (folder_ / "COM33").string());
  EXPECT_EQ(platform::ComPortDevicePath(150), (folder_ / "COM150").string());
  EXPECT_EQ(platform::ComPortDevicePath(34), "/dev/ttyUSB1");
  // The inverse looks at the fixed table only, never at links.
  EXPECT_EQ(platform::ComPortNumberOfDevice((folder_ / "COM33").string()), std::nullopt);
}

TEST_F(ComPortMapping, DanglingLinkStillNamesTheLinkNotAnotherDevice) {
  std::filesystem::create_symlink(folder_ / "gone", folder_ / "COM2");
  EXPECT_EQ(platform::ComPortDevicePath(2), (folder_ / "COM2").string());
}

// A link another user planted (or a link folder of another user's) would
// hand the board's traffic to a device of theirs.
TEST_F(ComPortMapping, AnotherUsersLinkOrFolderIsNeverFollowed) {
  constexpr uid_t kOtherUser = 65534;
  if (::geteuid() == kOtherUser) GTEST_SKIP() << "runs as the other user itself";
  std::filesystem::create_symlink("/dev/null", folder_ / "COM5");
  std::filesystem::create_symlink("/dev/null", folder_ / "COM6");
  if (::lchown((folder_ / "COM5").c_str(), kOtherUser, kOtherUser) != 0) {
    GTEST_SKIP() << "links cannot be given to another user here (not root)";
  }
  EXPECT_EQ(platform::ComPortDevicePath(5), std::nullopt) << "planted link followed";
  EXPECT_FALSE(platform::ComLinkTrusted(folder_ / "COM5"));
  EXPECT_EQ(platform::ComPortDevicePath(6), (folder_ / "COM6").string()) << "own link refused";
  ASSERT_EQ(::lchown(folder_.c_str(), kOtherUser, kOtherUser), 0);
  EXPECT_FALSE(platform::ComLinkTrusted(folder_ / "COM6")) << "own link in another user's folder trusted";
}

TEST_F(ComPortMapping, MissingLinkFolderFallsBackToTheTable) {
  platform::SetComLinkFolder(folder_ / "absent");
  EXPECT_EQ(platform::ComLinkFolder(), folder_ / "absent");
  EXPECT_EQ(platform::ComPortDevicePath(1), "/dev/ttyS0");
}

#endif

}  // namespace
