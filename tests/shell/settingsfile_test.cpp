#include "shell/settingsfile.h"

#include <filesystem>
#include <fstream>
#include <iterator>
#include <sstream>
#include <string>

#ifndef _WIN32
#include <csignal>

#include <sys/resource.h>
#endif

#include <gtest/gtest.h>

#include "platform/atomicfile.h"
#include "platform/textcodec.h"

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

TEST_F(SettingsFileTest, ByteOrderMarkAtTheStartIsSkipped) {
  const TLoadedSettings loaded = Read("\xEF\xBB\xBFHost: 10.0.0.5\r\nPort: 4000\r\n");
  EXPECT_EQ(loaded.host.value_or(""), "10.0.0.5");
  EXPECT_EQ(loaded.port.value_or(""), "4000");
  // Only at the very start: elsewhere it is part of the line.
  EXPECT_FALSE(Read("Port: 1\n\xEF\xBB\xBFHost: 10.0.0.5\n").host);
}

TEST(ConvertFeedEndpoint, OnlyADottedAddressAndAPortInRangeConvert) {
  const auto endpoint = ConvertFeedEndpoint(u"10.1.2.3", u" 65535 ");
  ASSERT_TRUE(endpoint);
  EXPECT_EQ(endpoint->port, 65535);
  EXPECT_EQ(endpoint->address, 10u | (1u << 8) | (2u << 16) | (3u << 24));
  EXPECT_EQ(ConvertFeedEndpoint(u"127.0.0.1", u"1")->port, 1);
  // Only a dotted IPv4 address converts; which text failed is told.
  TFeedEntryFault fault = TFeedEntryFault::None;
  EXPECT_EQ(ConvertFeedEndpoint(u" 255.255.255.255 ", u"50000")->address, 0xFFFFFFFFu);
  for (const char16_t* host : {u"localhost", u"no address", u"127.1", u"0x7f.0.0.1", u"1.2.3.256", u"1.2.3.4.5", u""}) {
    EXPECT_FALSE(ConvertFeedEndpoint(host, u"50000", &fault)) << platform::Utf16ToAnsi(host);
    EXPECT_EQ(fault, TFeedEntryFault::Address);
  }
  EXPECT_FALSE(ConvertFeedEndpoint(u"10.0.0.1", u"70000", &fault));
  EXPECT_EQ(fault, TFeedEntryFault::Port);
  for (const char16_t* port : {u"0", u"65536", u"70000", u"-1", u"99999999999", u"fifty", u"", u"50 000", u"0x10"}) {
    EXPECT_FALSE(ConvertFeedEndpoint(u"127.0.0.1", port)) << platform::Utf16ToAnsi(port);
  }
}

TEST_F(SettingsFileTest, LastOccurrenceWins) {
  const TLoadedSettings loaded = Read("Port: 1000\nPort: 2000\nComPort:4\nComPort:7\nBrightness:3\nBrightness:9\n");
  EXPECT_EQ(loaded.port.value_or(""), "2000");
  EXPECT_EQ(loaded.comPort, 7u);
  EXPECT_EQ(loaded.brightness.value_or(0), 9);
}

TEST_F(SettingsFileTest, ModeSelectsTheLastZeroOrOneAndReadsAnUnknownModeAsZero) {
  TLoadedSettings loaded = Read("ScoreboardMode:1\n");
  EXPECT_EQ(loaded.startMode, 1u);
  EXPECT_EQ(loaded.radioMode.value_or(9), 1u);
  loaded = Read("ScoreboardMode:2\n");
  EXPECT_EQ(loaded.startMode, 2u);
  EXPECT_FALSE(loaded.radioMode);
  loaded = Read("ScoreboardMode:1\nScoreboardMode:7\n");
  EXPECT_EQ(loaded.startMode, 0u);
  EXPECT_EQ(loaded.radioMode.value_or(9), 0u);
  loaded = Read("ScoreboardMode: 0 trailing\nScoreboardMode:x\n");
  EXPECT_EQ(loaded.radioMode.value_or(9), 0u);
  EXPECT_EQ(loaded.startMode, 0u);
}

// A Ctrl-Z byte (a hand edit, junk in front) is one more character of its
// line: the settings after it are read, with CR LF or LF line ends.
TEST_F(SettingsFileTest, SettingsAfterACtrlZByteAreRead) {
  const TLoadedSettings loaded = Read(
      "\x1AHost: 10.0.0.1\r\nBrightness:9\r\n\x1A\r\nPort: 5\x1A"
      "6\nComPort:71\r\n");
  EXPECT_FALSE(loaded.host) << "the key must start the line";
  EXPECT_EQ(loaded.brightness.value_or(0), 9);
  EXPECT_EQ(loaded.port.value_or(""),
            "5\x1A"
            "6");
  EXPECT_EQ(loaded.comPort, 71u);
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

// A line longer than 511 characters is no setting, whatever its tail holds;
// one of 511 still is.
TEST_F(SettingsFileTest, LongLineIsIgnoredWhole) {
  const std::string junk = std::string(590, 'x') + "Port: 1";
  const std::string longest = "Host: " + std::string(505, 'a');
  ASSERT_EQ(longest.size(), 511u);
  const TLoadedSettings loaded =
      Read(junk + "\r\nPort: 4242\n" + junk + "\n" + longest + "\r\nHost: " + std::string(506, 'b') + "\n");
  EXPECT_EQ(loaded.port.value_or(""), "4242");
  EXPECT_EQ(loaded.host.value_or(""), std::string(505, 'a'));
}

// A sign or text where the count of days should be is the default, never a
// wrapped number written back as "keep everything".
TEST_F(SettingsFileTest, BadArchiveDaysGiveTheDefault) {
  EXPECT_EQ(Read("ArchiveDays:7\n").archiveDays.value_or(0), 7u);
  EXPECT_EQ(Read("ArchiveDays: 0\r\n").archiveDays.value_or(9), 0u);
  EXPECT_EQ(Read("ArchiveDays:99999999999\n").archiveDays.value_or(0), 36500u);
  for (const char* bad : {"ArchiveDays:-5\n", "ArchiveDays:abc\n", "ArchiveDays:\n", "ArchiveDays:7x\n",
                          "ArchiveDays:10\nArchiveDays:+-1\n"})
    EXPECT_EQ(Read(bad).archiveDays.value_or(0), 60u) << bad;
}

TEST_F(SettingsFileTest, WritesTheSevenLinesAndReadsThemBack) {
  TSettingsToSave settings;
  settings.host = "127.0.0.1";
  settings.port = "50000";
  settings.comPort = 3;
  ASSERT_TRUE(WriteSettingsFile(file_, settings));
  // The system's text line end: CR LF where the operators run the program.
  std::string expected;
  for (const char* line : {"Host: 127.0.0.1", "Port: 50000", "ScoreboardMode:0", "Brightness:16", "ComPort:3",
                           "ArchiveDays:60", "WebPort: 8080"}) {
    expected.append(line).append(platform::TextLineEnd());
  }
  EXPECT_EQ(FileText(), expected);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder_), {}), 1) << "a temporary file was left";

  settings.host = "my host";
  settings.port = "";
  settings.mode = 1;
  settings.brightness = 5;
  settings.webPort = "80x";  // what the operator wrote survives, as a port text does
  ASSERT_TRUE(WriteSettingsFile(file_, settings));
  TLoadedSettings loaded;
  ASSERT_TRUE(ReadSettingsFile(file_, loaded));
  EXPECT_EQ(loaded.host.value_or(""), "my");  // first word only
  EXPECT_FALSE(loaded.port);                  // empty value: the default stays
  EXPECT_EQ(loaded.radioMode.value_or(9), 1u);
  EXPECT_EQ(loaded.brightness.value_or(0), 5);
  EXPECT_EQ(loaded.comPort, 3u);
  EXPECT_EQ(loaded.webPort.value_or(""), "80x");
}

// 0 turns the page off; what is not a port gives the default rather than
// a page that silently never starts.
TEST_F(SettingsFileTest, AForcedControllerConventionSurvivesASaveAndAWrongOneIsAuto) {
  EXPECT_EQ(Read("ControllerConvention: CDECL\n").controllerConvention, csCdecl);
  EXPECT_EQ(Read("ControllerConvention:thiscall\n").controllerConvention, csThiscall);
  EXPECT_EQ(Read("ControllerConvention: stdcall\nControllerConvention:\n").controllerConvention, csAuto);

  TSettingsToSave settings;
  settings.controllerConvention = csCdecl;
  ASSERT_TRUE(WriteSettingsFile(file_, settings));
  TLoadedSettings loaded;
  ASSERT_TRUE(ReadSettingsFile(file_, loaded));
  EXPECT_EQ(loaded.controllerConvention, csCdecl);
  // Back to auto: the file's line says so, never the old forced value; a
  // file without the line gains none.
  settings.controllerConvention = csAuto;
  ASSERT_TRUE(WriteSettingsFile(file_, settings));
  EXPECT_NE(FileText().find("ControllerConvention: auto"), std::string::npos) << FileText();
  std::filesystem::remove(file_);
  ASSERT_TRUE(WriteSettingsFile(file_, settings));
  EXPECT_EQ(FileText().find("ControllerConvention"), std::string::npos);
}

TEST(WebPortNumber, OffDefaultAndBadValues) {
  EXPECT_EQ(WebPortNumber(u"0"), 0);
  EXPECT_EQ(WebPortNumber(u" 8081 "), 8081);
  EXPECT_EQ(WebPortNumber(u"65535"), 65535);
  for (const char16_t* bad : {u"", u"80x", u"65536", u"-1", u"99999999999"})
    EXPECT_EQ(WebPortNumber(bad), 8080) << platform::Utf16ToUtf8(bad);
}

TEST_F(SettingsFileTest, FailedSaveKeepsTheOldFile) {
  TSettingsToSave settings;
  settings.host = "10.1.1.1";
  settings.port = "1";
  ASSERT_TRUE(WriteSettingsFile(file_, settings));
  const std::string before = FileText();

  // A folder that is not there refuses the file whatever the rights.
  TSettingsSaveFault fault = TSettingsSaveFault::None;
  EXPECT_FALSE(WriteSettingsFile(folder_ / "gone" / kSettingsFileName, settings, &fault));
  EXPECT_EQ(fault, TSettingsSaveFault::Write);

  // A folder where the temporary file cannot be created.
  std::filesystem::permissions(folder_, std::filesystem::perms::owner_read | std::filesystem::perms::owner_exec);
  settings.host = "10.2.2.2";
  const bool written = WriteSettingsFile(file_, settings);
  std::filesystem::permissions(folder_, std::filesystem::perms::owner_all);
  if (written) GTEST_SKIP() << "running with rights that ignore folder permissions";
  EXPECT_EQ(FileText(), before);
}

TEST_F(SettingsFileTest, FullDiskLeavesTheOldFileIntact) {
#ifdef _WIN32
  GTEST_SKIP() << "no way to fill the disk for one process here";
#else
  TSettingsToSave settings;
  settings.host = "10.1.1.1";
  settings.port = "1";
  ASSERT_TRUE(WriteSettingsFile(file_, settings));
  const std::string before = FileText();
  // A file size limit makes every write past 16 bytes fail as a full disk would.
  rlimit saved{};
  ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &saved), 0);
  const auto oldHandler = std::signal(SIGXFSZ, SIG_IGN);
  rlimit small = saved;
  small.rlim_cur = 16;
  ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
  settings.host = "10.3.3.3";
  TSettingsSaveFault fault = TSettingsSaveFault::None;
  const bool written = WriteSettingsFile(file_, settings, &fault);
  setrlimit(RLIMIT_FSIZE, &saved);
  std::signal(SIGXFSZ, oldHandler);
  EXPECT_FALSE(written);
  EXPECT_EQ(fault, TSettingsSaveFault::Write);
  EXPECT_EQ(FileText(), before);
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder_), {}), 1) << "a temporary file was left";
#endif
}

// A link planted where a temporary file might go is never written through.
TEST_F(SettingsFileTest, LinkLeftInThePlaceOfTheTemporaryIsNotFollowed) {
  const std::filesystem::path victim = folder_ / "victim";
  std::ofstream(victim, std::ios::binary) << "keep";
  std::error_code error;
  std::filesystem::create_symlink(victim, folder_ / "scoreboard.ini.tmp", error);
  if (error) GTEST_SKIP() << "no symbolic links here: " << error.message();
  TSettingsToSave settings;
  settings.host = "10.1.1.1";
  ASSERT_TRUE(WriteSettingsFile(file_, settings));
  std::ifstream in(victim, std::ios::binary);
  EXPECT_EQ(std::string(std::istreambuf_iterator<char>(in), {}), "keep");
  EXPECT_TRUE(std::filesystem::is_symlink(folder_ / "scoreboard.ini.tmp"));
  EXPECT_EQ(FileText().find("Host: 10.1.1.1"), 0u);
}

// Comments and keys of a newer version survive a save where they stood;
// each known key takes its first line's place, keys the file lacks follow.
TEST_F(SettingsFileTest, SaveKeepsUnknownLinesInTheirPlace) {
  std::ofstream(file_, std::ios::binary) << "\xEF\xBB\xBF; track PC\r\nPort: 1\r\nFutureKey:5\r\n\r\nhost: x\r\n"
                                         << std::string(600, 'z') << "\r\nPort: 2\r\nlast without end";
  TSettingsToSave settings;
  settings.host = "10.0.0.2";
  settings.port = "3";
  ASSERT_TRUE(WriteSettingsFile(file_, settings));
  const std::string_view end = platform::TextLineEnd();
  std::string expected = "\xEF\xBB\xBF";
  for (const std::string& line :
       {std::string("; track PC"), std::string("Port: 3"), std::string("FutureKey:5"), std::string(),
        std::string("host: x"), std::string(600, 'z'), std::string("last without end"), std::string("Host: 10.0.0.2"),
        std::string("ScoreboardMode:0"), std::string("Brightness:16"), std::string("ComPort:0"),
        std::string("ArchiveDays:60"), std::string("WebPort: 8080")})
    expected.append(line).append(end);
  EXPECT_EQ(FileText(), expected);
  TLoadedSettings loaded;
  ASSERT_TRUE(ReadSettingsFile(file_, loaded));
  EXPECT_EQ(loaded.port.value_or(""), "3");
}

// The operator's read-only file is neither replaced nor changed.
TEST_F(SettingsFileTest, ReadOnlyFileIsNotReplaced) {
  std::ofstream(file_, std::ios::binary) << "Port: 1\n";
  std::filesystem::permissions(file_, std::filesystem::perms::owner_read | std::filesystem::perms::group_read |
                                          std::filesystem::perms::others_read);
  TSettingsToSave settings;
  settings.port = "2";
  TSettingsSaveFault fault = TSettingsSaveFault::None;
  EXPECT_FALSE(WriteSettingsFile(file_, settings, &fault));
  EXPECT_EQ(fault, TSettingsSaveFault::ReadOnly);
  EXPECT_EQ(FileText(), "Port: 1\n");
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder_), {}), 1);
  std::filesystem::permissions(file_, std::filesystem::perms::owner_write, std::filesystem::perm_options::add);
  EXPECT_TRUE(WriteSettingsFile(file_, settings, &fault));
  EXPECT_EQ(fault, TSettingsSaveFault::None);
}

}  // namespace
