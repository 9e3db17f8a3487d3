// The board maker's controller library as the exchange thread uses it: found
// only in the program's folder, checked before it is loaded, its controller
// created, and its nine operations called in the convention the library was
// built with. On 32-bit Windows that is thiscall (`this` in ECX, the callee
// pops: MSVC, GCC) or, for a library that exports ___CPPdebugHook (classic
// C++Builder), cdecl with `this` as the first stack argument. The choice is
// made here once, at load time; callers see one ScoreboardController.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

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

struct TControllerLoad {
  TControllerProblem problem = cpAbsent;
  std::int32_t libraryBits = 0;  // 32 or 64 when the header was read
  std::uint32_t systemError = 0;
  TCallingConvention convention = ccNative;
};

// The marker export of classic C++Builder libraries.
inline constexpr const char* kCppBuilderMarkerExport = "___CPPdebugHook";

class TControllerLibrary {
 public:
  TControllerLibrary();
  ~TControllerLibrary();  // deletes the controller through the library; the library stays mapped
  TControllerLibrary(const TControllerLibrary&) = delete;
  TControllerLibrary& operator=(const TControllerLibrary&) = delete;

  // Checks, loads and creates; `name` as DynamicLibrary::PathFor takes it.
  const TControllerLoad& Load(const std::string& name, TWindowHandle window);
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
