#include "shell/settingsfile.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

#include <gtest/gtest.h>

namespace {

class SettingsFileTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = std::filesystem::temp_directory_path() /
              ("brelvo-settings-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "-" +
               ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(folder_);
    std::filesystem::create_directories(folder_);
    file_ = folder_ / kSettingsFileName;
  }
  void TearDown() override {
    std::error_code ignored;
    std::filesystem::permissions(folder_, std::filesystem::perms::owner_all, ignored);
    std::filesystem::remove_all(folder_, ignored);
  }
  TLoadedSettings Read(const std::string& content) {
    std::ofstream(file_, std::ios::binary) << content;
    TLoadedSettings loaded;
    EXPECT_TRUE(ReadSettingsFile(file_, loaded));
    return loaded;
  }
  std::string FileText() {
    std::ifstream in(file_, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
  }
  std::filesystem::path folder_;
  std::filesystem::path file_;
};

TEST_F(SettingsFileTest, MissingEmptyAndUnrecognisedFilesGiveDefaults) {
  TLoadedSettings loaded;
  EXPECT_FALSE(ReadSettingsFile(file_, loaded));
  EXPECT_FALSE(loaded.host);
  for (const char* content : {"", "garbage\n[section]\nkey=value\n"}) {
    loaded = Read(content);
    EXPECT_FALSE(loaded.host);
    EXPECT_FALSE(loaded.port);
    EXPECT_FALSE(loaded.radioMode);
    EXPECT_FALSE(loaded.brightness);
    EXPECT_EQ(loaded.startMode, 0u);
    EXPECT_EQ(loaded.comPort, 0u);
  }
}

TEST_F(SettingsFileTest, HostLineFollowsTheScanRules) {
  EXPECT_EQ(Read("Host:10.0.0.5\n").host.value_or(""), "10.0.0.5");
  EXPECT_EQ(Read("Host: \t 10.0.0.6\r\n").host.value_or(""), "10.0.0.6");
  EXPECT_FALSE(Read("host: 10.0.0.5\n").host);
  EXPECT_FALSE(Read(" Host: 10.0.0.5\n").host);
  EXPECT_FALSE(Read("Host : 10.0.0.5\n").host);
  EXPECT_EQ(Read("Host: 10.0.0.7 extra words\n").host.value_or(""), "10.0.0.7");
  // An empty value does not match, so the default stays.
  EXPECT_FALSE(Read("Host: \n").host);
  EXPECT_FALSE(Read("Host:").host);
}

TEST_F(SettingsFileTest, LastOccurrenceWins) {
  const TLoadedSettings loaded = Read("Port: 1000\nPort: 2000\nComPort:4\nComPort:7\nBrightness:3\nBrightness:9\n");
  EXPECT_EQ(loaded.port.value_or(""), "2000");
  EXPECT_EQ(loaded.comPort, 7u);
  EXPECT_EQ(loaded.brightness.value_or(0), 9);
}

TEST_F(SettingsFileTest, ModeSelectsTheLastZeroOrOneButKeepsAnyNumberAsStartMode) {
  TLoadedSettings loaded = Read("ScoreboardMode:1\n");
  EXPECT_EQ(loaded.startMode, 1u);
  EXPECT_EQ(loaded.radioMode.value_or(9), 1u);
  loaded = Read("ScoreboardMode:2\n");
  EXPECT_EQ(loaded.startMode, 2u);
  EXPECT_FALSE(loaded.radioMode);
  loaded = Read("ScoreboardMode:1\nScoreboardMode:7\n");
  EXPECT_EQ(loaded.startMode, 7u);
  EXPECT_EQ(loaded.radioMode.value_or(9), 1u);
  loaded = Read("ScoreboardMode: 0 trailing\nScoreboardMode:x\n");
  EXPECT_EQ(loaded.radioMode.value_or(9), 0u);
  EXPECT_EQ(loaded.startMode, 0u);
}

TEST_F(SettingsFileTest, BrightnessIsClampedLikeTheTrackBar) {
  EXPECT_EQ(Read("Brightness:0\n").brightness.value_or(-1), 1);
  EXPECT_EQ(Read("Brightness:99\n").brightness.value_or(-1), 16);
  EXPECT_EQ(Read("Brightness:-3\n").brightness.value_or(-1), 1);
  EXPECT_EQ(Read("Brightness:3000000000\n").brightness.value_or(-1), 1);
  EXPECT_EQ(Read("Brightness:12\n").brightness.value_or(-1), 12);
  EXPECT_EQ(ClampBrightness(16), 16);
  EXPECT_EQ(ClampBrightness(17), 16);
}

TEST_F(SettingsFileTest, LongLineIsReadAsTwoLines) {
  // 600 characters: the first 511 are one line, the remaining 89 the next.
  std::string line = "Host: " + std::string(505, 'a');     // 511 characters
  std::string rest = "Port: 4242" + std::string(79, ' ');  // 89 characters
  ASSERT_EQ(line.size() + rest.size(), 600u);
  const TLoadedSettings loaded = Read(line + rest + "\n");
  EXPECT_EQ(loaded.host.value_or(""), std::string(505, 'a'));
  EXPECT_EQ(loaded.port.value_or(""), "4242");
}

TEST_F(SettingsFileTest, WritesTheFiveLinesAndReadsThemBack) {
  TSettingsToSave settings;
  settings.host = "127.0.0.1";
  settings.port = "50000";
  settings.comPort = 3;
  ASSERT_TRUE(WriteSettingsFile(file_, settings));
  EXPECT_EQ(FileText(), "Host: 127.0.0.1\nPort: 50000\nScoreboardMode:0\nBrightness:16\nComPort:3\n");
  EXPECT_FALSE(std::filesystem::exists(folder_ / "scoreboard.ini.tmp"));

  settings.host = "my host";
  settings.port = "";
  settings.mode = 1;
  settings.brightness = 5;
  ASSERT_TRUE(WriteSettingsFile(file_, settings));
  TLoadedSettings loaded;
  ASSERT_TRUE(ReadSettingsFile(file_, loaded));
  EXPECT_EQ(loaded.host.value_or(""), "my");  // first word only
  EXPECT_FALSE(loaded.port);                  // empty value: the default stays
  EXPECT_EQ(loaded.radioMode.value_or(9), 1u);
  EXPECT_EQ(loaded.brightness.value_or(0), 5);
  EXPECT_EQ(loaded.comPort, 3u);
}

TEST_F(SettingsFileTest, FailedSaveKeepsTheOldFile) {
  TSettingsToSave settings;
  settings.host = "10.1.1.1";
  settings.port = "1";
  ASSERT_TRUE(WriteSettingsFile(file_, settings));
  const std::string before = FileText();

  // A folder where the temporary file cannot be created.
  std::filesystem::permissions(folder_, std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec);
  settings.host = "10.2.2.2";
  const bool written = WriteSettingsFile(file_, settings);
  std::filesystem::permissions(folder_, std::filesystem::perms::owner_all);
  if (written) GTEST_SKIP() << "running with rights that ignore folder permissions";
  EXPECT_EQ(FileText(), before);
}

TEST_F(SettingsFileTest, FullDiskLeavesTheOldFileIntact) {
  if (!std::filesystem::exists("/dev/full")) GTEST_SKIP() << "no /dev/full on this system";
  TSettingsToSave settings;
  settings.host = "10.1.1.1";
  settings.port = "1";
  ASSERT_TRUE(WriteSettingsFile(file_, settings));
  const std::string before = FileText();
  // The temporary file is a link to a device on which every write fails.
  std::filesystem::create_symlink("/dev/full", folder_ / "scoreboard.ini.tmp");
  settings.host = "10.3.3.3";
  EXPECT_FALSE(WriteSettingsFile(file_, settings));
  EXPECT_EQ(FileText(), before);
}

}  // namespace
