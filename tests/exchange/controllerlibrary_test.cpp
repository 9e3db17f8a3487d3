// The board maker's library as the exchange thread loads it: controllers
// written in C in each convention a library may use receive every argument
// of every slot exactly and leave the stack as they found it; a library that
// cannot be used says why; only the program's folder is ever looked in.
#include "exchange/controllerlibrary.h"

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "cboardfake.h"
#include "platform/dynamiclibrary.h"
#include "platform/programfolder.h"

namespace {

struct TConventionCase {
  const char* library;
  TCallingConvention convention;
  TConventionSetting setting;  // scoreboard.ini's ControllerConvention
  bool markerExport;
};

std::vector<TConventionCase> ConventionCases() {
  std::vector<TConventionCase> cases = {{"cboardfake.dll", ccNative, csAuto, false}};
#if defined(_WIN32) && defined(__i386__)
  cases.push_back({"cboardfake_cdecl.dll", ccCdecl, csAuto, true});
  // Libraries the marker misleads, called right only because the setting says how.
  cases.push_back({"cboardfake_cdeclbare.dll", ccCdecl, csCdecl, false});
  cases.push_back({"cboardfake_thiscallmarked.dll", ccNative, csThiscall, true});
#endif
  return cases;
}

// The stack pointer right here, to see that a call leaves it where it was:
// a convention mismatch leaves it off by the arguments' size.
#if defined(__i386__)
#define READ_STACK_POINTER(value) asm volatile("movl %%esp, %0" : "=r"(value)::"memory")
#elif defined(__x86_64__)
#define READ_STACK_POINTER(value) asm volatile("movq %%rsp, %0" : "=r"(value)::"memory")
#else
#define READ_STACK_POINTER(value) (value = 0)
#endif

class ControllerConventions : public ::testing::TestWithParam<TConventionCase> {
 protected:
  TCBoardFakeCall Last(int slot) {
    TCBoardFakeCall call{};
    EXPECT_EQ(lastCall_(slot, &call), 1);
    return call;
  }
  platform::DynamicLibrary probe_;
  TCBoardFakeLastCall lastCall_ = nullptr;
};

TEST_P(ControllerConventions, EverySlotGetsEveryArgumentAndKeepsTheStack) {
  ASSERT_TRUE(probe_.Load(GetParam().library)) << GetParam().library << " beside the test";
  lastCall_ = probe_.GetSymbol<TCBoardFakeLastCall>(CBOARDFAKE_LAST_CALL);
  ASSERT_NE(lastCall_, nullptr);
  auto window = reinterpret_cast<TWindowHandle>(std::uintptr_t{0x5A5A1234});

  TControllerLibrary library;
  const TControllerLoad& load = library.Load(GetParam().library, window, GetParam().setting);
  ASSERT_EQ(load.problem, cpNone);
  EXPECT_EQ(load.convention, GetParam().convention);
  EXPECT_EQ(load.markerExport, GetParam().markerExport);
  EXPECT_EQ(probe_.GetSymbol<TCBoardFakeWindow>(CBOARDFAKE_WINDOW)(), static_cast<void*>(window));
  ScoreboardController* board = library.Controller();
  ASSERT_NE(board, nullptr);

  const std::uint8_t picture[] = {0x81, 0x42, 0x24, 0x18, 0xFF, 0x00};
  const char16_t* name = u"Иванов Ä";
  std::uintptr_t before = 0, after = 0;
  std::vector<std::int32_t> results;
  auto keepsStack = [&](auto call) {
    READ_STACK_POINTER(before);
    results.push_back(call());
    READ_STACK_POINTER(after);
    EXPECT_EQ(before, after) << "slot " << results.size() - 1;
  };
  keepsStack([&] { return board->OpenPort(1, "COM7", 115200); });
  keepsStack([&] { return board->ClearBoard(-3); });
  keepsStack([&] { return board->Show(1, 2); });
  keepsStack([&] { return board->StartLight(); });
  keepsStack([&] { return board->FinishLight(); });
  keepsStack([&] { return board->SetBrightness(16); });
  keepsStack([&] { return board->SetRaceTime(0x7FFFFFFF); });
  keepsStack([&] { return board->ShowPicture(picture, 16, 3, -5, 6); });
  keepsStack([&] { return board->SetRow(1, 2, 33, 61234, -45678, 9, 1234567, -2, 0x40000001, name); });
  EXPECT_EQ(results, (std::vector<std::int32_t>{1, 2, 3, 4, 5, 6, 7, 8, 9}));

  for (int slot = 0; slot < CBOARDFAKE_SLOTS; ++slot) {
    const TCBoardFakeCall call = Last(slot);
    EXPECT_EQ(call.calls, 1) << "slot " << slot;
    EXPECT_EQ(call.selfMatches, 1) << "slot " << slot << " did not receive its object";
  }
  TCBoardFakeCall open = Last(0);
  EXPECT_EQ(open.args[0], 1);
  EXPECT_EQ(open.args[1], 115200);
  EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(open.text), 4), u"COM7");
  EXPECT_EQ(Last(1).args[0], -3);
  EXPECT_EQ(Last(2).args[0], 1);
  EXPECT_EQ(Last(2).args[1], 2);
  EXPECT_EQ(Last(5).args[0], 16);
  EXPECT_EQ(Last(6).args[0], 0x7FFFFFFF);
  TCBoardFakeCall shown = Last(7);
  EXPECT_EQ(shown.pointer, picture);
  EXPECT_EQ((std::vector<std::int32_t>(shown.args, shown.args + 4)), (std::vector<std::int32_t>{16, 3, -5, 6}));
  ASSERT_EQ(shown.textLength, 6);
  for (int i = 0; i < 6; ++i) EXPECT_EQ(shown.text[i], picture[i]);
  TCBoardFakeCall row = Last(8);
  EXPECT_EQ((std::vector<std::int32_t>(row.args, row.args + 9)),
            (std::vector<std::int32_t>{1, 2, 33, 61234, -45678, 9, 1234567, -2, 0x40000001}));
  EXPECT_EQ(row.pointer, name);
  EXPECT_EQ(std::u16string(reinterpret_cast<const char16_t*>(row.text), static_cast<std::size_t>(row.textLength)),
            name);
  // A null name stays null.
  board->SetRow(0, 1, 0, 0, 0, 0, 0, 0, 0, nullptr);
  EXPECT_EQ(Last(8).pointer, nullptr);
}

std::string ConventionName(const ::testing::TestParamInfo<TConventionCase>& param) {
  const std::string forced = param.param.setting == csAuto ? "" : "Forced";
  return forced + (param.param.convention == ccCdecl ? "Cdecl" : "Native");
}
INSTANTIATE_TEST_SUITE_P(CControllers, ControllerConventions, ::testing::ValuesIn(ConventionCases()), ConventionName);

// Files the tests put in the program's folder, removed again.
class ProgramFolderFile {
 public:
  ProgramFolderFile(const std::string& name, const std::vector<std::uint8_t>& bytes)
      : path_(platform::DynamicLibrary::PathFor(name)) {
    std::ofstream(path_, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
  }
  ~ProgramFolderFile() {
    std::error_code ignored;
    std::filesystem::remove(path_, ignored);
  }

 private:
  std::filesystem::path path_;
};

// Just the header of a library built for `bits`, in this system's format.
std::vector<std::uint8_t> LibraryHeader(int bits) {
  std::vector<std::uint8_t> bytes(512, 0);
  if (platform::kWindowsLibraries) {
    bytes[0] = 'M', bytes[1] = 'Z', bytes[0x3C] = 0x80;
    std::memcpy(&bytes[0x80], "PE\0\0", 4);
    const std::uint16_t machine = bits == 32 ? 0x014C : 0x8664;
    bytes[0x84] = static_cast<std::uint8_t>(machine & 0xFF), bytes[0x85] = static_cast<std::uint8_t>(machine >> 8);
    bytes[0x80 + 23] = 0x20;  // IMAGE_FILE_DLL
  } else {
    std::memcpy(bytes.data(),
                "\x7f"
                "ELF",
                4);
    bytes[4] = bits == 32 ? 1 : 2, bytes[5] = 1, bytes[16] = 3;  // little-endian shared object
  }
  return bytes;
}

TEST(ControllerLibrary, AnUnusableLibraryIsNamedAndAnAbsentOneIsNot) {
  const int otherBits = platform::kProgramBits == 64 ? 32 : 64;
  {
    ProgramFolderFile file("brelvo-otherbits.dll", LibraryHeader(otherBits));
    TControllerLibrary library;
    const TControllerLoad& load = library.Load("brelvo-otherbits.dll", nullptr);
    EXPECT_EQ(load.problem, cpOtherBitness);
    EXPECT_EQ(load.libraryBits, otherBits);
  }
  {
    // A program, not a library; and plain text.
    std::vector<std::uint8_t> program = LibraryHeader(platform::kProgramBits);
    if (platform::kWindowsLibraries)
      program[0x80 + 23] = 0;
    else
      program[16] = 2;
    ProgramFolderFile exe("brelvo-program.dll", program);
    ProgramFolderFile text("brelvo-text.dll", {'h', 'e', 'l', 'l', 'o'});
    TControllerLibrary first, second;
    EXPECT_EQ(first.Load("brelvo-program.dll", nullptr).problem, cpNotLibrary);
    EXPECT_EQ(second.Load("brelvo-text.dll", nullptr).problem, cpNotLibrary);
  }
  {
    // The right header over nothing the loader can map.
    ProgramFolderFile broken("brelvo-broken.dll", LibraryHeader(platform::kProgramBits));
    TControllerLibrary library;
    EXPECT_EQ(library.Load("brelvo-broken.dll", nullptr).problem, cpLoadFailed);
  }
  TControllerLibrary withoutExports;
  EXPECT_EQ(withoutExports.Load("brelvo_platform_testlib.dll", nullptr).problem, cpNoExports);

  platform::DynamicLibrary probe;
  ASSERT_TRUE(probe.Load("cboardfake.dll"));
  probe.GetSymbol<TCBoardFakeCreateNothing>(CBOARDFAKE_CREATE_NOTHING)(1);
  TControllerLibrary noObject;
  EXPECT_EQ(noObject.Load("cboardfake.dll", nullptr).problem, cpNoController);
  EXPECT_EQ(noObject.Controller(), nullptr);
  probe.GetSymbol<TCBoardFakeCreateNothing>(CBOARDFAKE_CREATE_NOTHING)(0);

  TControllerLibrary absent;
  EXPECT_EQ(absent.Load("brelvo-no-such-controller.dll", nullptr).problem, cpAbsent);
}

TEST(ControllerLibrary, ASecondLoadDeletesTheFirstControllerBeforeItsLibraryGoes) {
  platform::DynamicLibrary probe;  // keeps the module mapped, so the count can be read
  ASSERT_TRUE(probe.Load("cboardfake.dll"));
  auto deletes = probe.GetSymbol<TCBoardFakeDeletes>(CBOARDFAKE_DELETES);
  ASSERT_NE(deletes, nullptr);
  const std::int32_t before = deletes();
  {
    TControllerLibrary library;
    ASSERT_EQ(library.Load("cboardfake.dll", nullptr).problem, cpNone);
    ASSERT_EQ(library.Load("cboardfake.dll", nullptr).problem, cpNone);
    EXPECT_EQ(deletes(), before + 1);
    EXPECT_NE(library.Controller(), nullptr);
  }
  EXPECT_EQ(deletes(), before + 2);
}

TEST(ControllerLibrary, TheReportNamesTheMarkerTheSettingAndTheChoice) {
  TControllerLoad load;
  load.libraryBits = 32;
  load.markerExport = true;
  load.setting = csThiscall;
  load.convention = ccNative;
  const std::string report = ConventionReport("scoreboardcontroller.dll", load);
  EXPECT_NE(report.find("32-bit"), std::string::npos) << report;
  EXPECT_NE(report.find("exports ___CPPdebugHook"), std::string::npos) << report;
  EXPECT_NE(report.find("ControllerConvention: thiscall"), std::string::npos) << report;
#if defined(_WIN32) && defined(__i386__)
  EXPECT_NE(report.find("called thiscall"), std::string::npos) << report;
  load.convention = ccCdecl;
  EXPECT_NE(ConventionReport("x.dll", load).find("called cdecl"), std::string::npos);
#endif
}

TEST(ControllerLibrary, ALibraryPlantedInTheCurrentFolderIsNeverLoaded) {
  const auto folder = std::filesystem::temp_directory_path() / "brelvo-planted-controller";
  std::filesystem::create_directories(folder);
  const std::string planted = "brelvo-planted.dll";
  std::filesystem::copy_file(platform::DynamicLibrary::PathFor("cboardfake.dll"),
                             folder / platform::DynamicLibrary::PathFor(planted).filename(),
                             std::filesystem::copy_options::overwrite_existing);
  const auto previous = std::filesystem::current_path();
  std::filesystem::current_path(folder);
  TControllerLibrary library;
  const TControllerLoad load = library.Load(planted, nullptr);
  platform::DynamicLibrary byName;
  const bool loadedByName = byName.Load(planted);
  std::filesystem::current_path(previous);
  EXPECT_EQ(load.problem, cpAbsent);
  EXPECT_EQ(library.Controller(), nullptr);
  EXPECT_FALSE(loadedByName);
  std::error_code ignored;
  std::filesystem::remove_all(folder, ignored);
}

}  // namespace
