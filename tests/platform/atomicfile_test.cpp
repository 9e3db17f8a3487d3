#include "platform/atomicfile.h"

#include <fstream>
#include <iterator>
#include <string>

#include <gtest/gtest.h>

namespace {

std::string ReadAll(const std::filesystem::path& file) {
  std::ifstream in(file, std::ios::binary);
  return std::string(std::istreambuf_iterator<char>(in), {});
}

TEST(WriteFileAtomically, ReplacesTheFileOrLeavesEverythingAsItWas) {
  const std::filesystem::path folder =
      std::filesystem::temp_directory_path() /
      ("brelvo-atomic-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()));
  std::filesystem::remove_all(folder);
  std::filesystem::create_directories(folder);
  const std::filesystem::path file = folder / "settings.ini";
  std::filesystem::path temporary = file;
  temporary += ".tmp";

  ASSERT_TRUE(platform::WriteFileAtomically(file, "first\n"));
  ASSERT_TRUE(platform::WriteFileAtomically(file, std::string("second\0line\r\n", 13)));
  EXPECT_EQ(ReadAll(file), std::string("second\0line\r\n", 13));  // bytes as given, no text-mode changes
  EXPECT_FALSE(std::filesystem::exists(temporary));

  // The rename cannot replace a folder that holds something: the write fails
  // and leaves no temporary file behind.
  const std::filesystem::path blocked = folder / "blocked";
  std::filesystem::create_directories(blocked / "inside");
  EXPECT_FALSE(platform::WriteFileAtomically(blocked, "x"));
  EXPECT_TRUE(std::filesystem::is_directory(blocked / "inside"));
  std::filesystem::path blockedTemporary = blocked;
  blockedTemporary += ".tmp";
  EXPECT_FALSE(std::filesystem::exists(blockedTemporary));

  EXPECT_FALSE(platform::WriteFileAtomically(folder / "no-such-folder" / "file", "x"));
  std::filesystem::remove_all(folder);
}

}  // namespace
