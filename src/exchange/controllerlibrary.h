// The board maker's controller library as the exchange thread uses it: found
// only in the program's folder, checked before it is loaded, its controller
// created, and its nine operations called in the convention the library was
// built with. On 32-bit Windows that is thiscall (`this` in ECX, the callee
// pops: MSVC, GCC) or, for a library that exports ___CPPdebugHook (classic
// C++Builder), cdecl with `this` as the first stack argument. The choice is
// made here once, at load time, and written to the debugger output before
// the library's first call; scoreboard.ini's ControllerConvention may force
// it for a library the marker misleads. Callers see one ScoreboardController.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "exchange/scoreboardcontroller.h"
#include "platform/dynamiclibrary.h"

// Why there is no controller. Everything but cpAbsent is a library the
// operator put there that cannot be used, and the window names it.
enum TControllerProblem : std::int32_t {
  cpNone = 0,      // a controller
  cpAbsent,        // no library in the program's folder
  cpOtherBitness,  // built for the other bitness: libraryBits says which
  cpNotLibrary,    // not a library of this system (a renamed file, a program …)
  cpLoadFailed,    // the system refused to load it: systemError
  cpNoExports,     // no _createScoreboardController / _deleteScoreboardController
  cpNoController,  // its create function gave no object
};

enum TCallingConvention : std::int32_t {
  ccNative = 0,  // this platform's one convention for C++ members (thiscall on x86)
  ccCdecl = 1,   // x86 only: `this` first on the stack, the caller pops
};

// scoreboard.ini's ControllerConvention: how a 32-bit library is called.
// Only 32-bit Windows has a choice; elsewhere every value means the one convention.
enum TConventionSetting : std::int32_t {
  csAuto = 0,      // cdecl when the library exports the C++Builder marker, else thiscall
  csThiscall = 1,  // forced: `this` in ECX
  csCdecl = 2,     // forced: `this` first on the stack
};
// "auto", "thiscall", "cdecl" in any letter case; any other text is csAuto.
TConventionSetting ParseConventionSetting(std::string_view text);
std::string_view ConventionSettingName(TConventionSetting setting);

struct TControllerLoad {
  TControllerProblem problem = cpAbsent;
  std::int32_t libraryBits = 0;  // 32 or 64 when the header was read
  std::uint32_t systemError = 0;
  TCallingConvention convention = ccNative;
  // What the choice was made from, once the exports were found.
  bool markerExport = false;  // ___CPPdebugHook is exported
  TConventionSetting setting = csAuto;
};

// The debugger output line for a load that reached the exports: the library,
// its bitness, the marker's presence, the setting and the convention taken.
std::string ConventionReport(const std::string& name, const TControllerLoad& load);

// The marker export of classic C++Builder libraries.
inline constexpr const char* kCppBuilderMarkerExport = "___CPPdebugHook";

class TControllerLibrary {
 public:
  TControllerLibrary();
  ~TControllerLibrary();  // deletes the controller through the library; the library stays mapped
  TControllerLibrary(const TControllerLibrary&) = delete;
  TControllerLibrary& operator=(const TControllerLibrary&) = delete;

  // Checks, loads and creates; `name` as DynamicLibrary::PathFor takes it.
  // A second Load deletes the first controller before its library goes.
  const TControllerLoad& Load(const std::string& name, TWindowHandle window, TConventionSetting setting = csAuto);
  const TControllerLoad& Result() const { return load_; }

  // Null without a controller. Valid until Delete.
  ScoreboardController* Controller() const { return controller_; }
  // _deleteScoreboardController with the library's own object pointer.
  void Delete();

 private:
  class TCdeclController;

  platform::DynamicLibrary library_;
  TControllerLoad load_;
  ScoreboardController* foreign_ = nullptr;  // the library's object, whatever its convention
  std::unique_ptr<TCdeclController> cdecl_;
  ScoreboardController* controller_ = nullptr;
};
