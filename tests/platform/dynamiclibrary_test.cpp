#include "platform/dynamiclibrary.h"

#include <gtest/gtest.h>

#include "platform/programfolder.h"

namespace {

using AddFunction = int (*)(int, int);
using NextFunction = int (*)();

constexpr const char* kTestLibrary = "brelvo_platform_testlib.dll";

TEST(DynamicLibrary, LoadsByWindowsNameFromTheProgramFolder) {
  platform::DynamicLibrary library;
  ASSERT_TRUE(library.Load(kTestLibrary));
  EXPECT_TRUE(library.IsLoaded());
  auto add = library.GetSymbol<AddFunction>("brelvoTestAdd");
  ASSERT_NE(add, nullptr);
  EXPECT_EQ(add(40, 2), 42);
  EXPECT_EQ(library.GetSymbolAddress("noSuchExport"), nullptr);
  EXPECT_EQ(library.GetSymbolAddress(nullptr), nullptr);
}

TEST(DynamicLibrary, LoadsFromAnExplicitPath) {
#ifdef _WIN32
  const auto path = platform::ProgramFolder() / "brelvo_platform_testlib.dll";
#else
  const auto path = platform::ProgramFolder() / "brelvo_platform_testlib.so";
#endif
  platform::DynamicLibrary library;
  ASSERT_TRUE(library.Load(path.string()));
  EXPECT_NE(library.GetSymbolAddress("brelvoTestAdd"), nullptr);
}

TEST(DynamicLibrary, MissingLibraryFailsAndYieldsNoSymbols) {
  platform::DynamicLibrary library;
  EXPECT_FALSE(library.Load("brelvo_no_such_library.dll"));
  EXPECT_FALSE(library.IsLoaded());
  EXPECT_EQ(library.GetSymbolAddress("brelvoTestAdd"), nullptr);
  EXPECT_FALSE(library.Load(""));
  // A path that names a missing file is not searched for elsewhere.
  EXPECT_FALSE(library.Load((platform::ProgramFolder() / "missing" / kTestLibrary).string()));
}

TEST(DynamicLibrary, MoveTransfersOwnershipAndReleaseKeepsTheLibraryMapped) {
  platform::DynamicLibrary first;
  ASSERT_TRUE(first.Load(kTestLibrary));
  auto next = first.GetSymbol<NextFunction>("brelvoTestNext");
  ASSERT_NE(next, nullptr);
  const int start = next();

  platform::DynamicLibrary second(std::move(first));
  EXPECT_FALSE(first.IsLoaded());  // NOLINT(bugprone-use-after-move): moved-from state is defined
  EXPECT_TRUE(second.IsLoaded());
  platform::DynamicLibrary third;
  third = std::move(second);
  EXPECT_TRUE(third.IsLoaded());
  EXPECT_EQ(next(), start + 1);

  third.Release();
  EXPECT_FALSE(third.IsLoaded());
  // Still mapped after the object forgot it: the code and its state live on.
  EXPECT_EQ(next(), start + 2);
}

TEST(ProgramFolder, IsTheFolderOfTheRunningTest) {
  const auto folder = platform::ProgramFolder();
  EXPECT_TRUE(folder.is_absolute()) << folder;
#ifdef _WIN32
  EXPECT_TRUE(std::filesystem::exists(folder / "brelvo_singleinstance_probe.exe")) << folder;
#else
  EXPECT_TRUE(std::filesystem::exists(folder / "brelvo_singleinstance_probe")) << folder;
#endif
}

}  // namespace
