#include "exchange/controllerlibrary.h"

#include <cctype>
#include <filesystem>

#include "platform/debugoutput.h"

// The adapter is C-ABI code shared with the controller libraries: on 32-bit
// Windows it calls the object's table of nine functions as cdecl functions
// taking the object first. Elsewhere there is one convention and no adapter.
#if defined(_WIN32) && defined(__i386__)
#define BRELVO_CDECL_CONTROLLERS 1
#define BRELVO_CDECL __attribute__((cdecl))
#else
#define BRELVO_CDECL_CONTROLLERS 0
#endif

#if BRELVO_CDECL_CONTROLLERS
class TControllerLibrary::TCdeclController final : public ScoreboardController {
 public:
  explicit TCdeclController(ScoreboardController* foreign) : object_(foreign) {}

  std::int32_t OpenPort(std::int32_t kind, const char* portName, std::int32_t baudRate) override {
    return Slot<std::int32_t BRELVO_CDECL (*)(void*, std::int32_t, const char*, std::int32_t)>(0)(object_, kind,
                                                                                                  portName, baudRate);
  }
  std::int32_t ClearBoard(std::int32_t immediate) override {
    return Slot<std::int32_t BRELVO_CDECL (*)(void*, std::int32_t)>(1)(object_, immediate);
  }
  std::int32_t Show(std::int32_t fullRefresh, std::int32_t mode) override {
    return Slot<std::int32_t BRELVO_CDECL (*)(void*, std::int32_t, std::int32_t)>(2)(object_, fullRefresh, mode);
  }
  std::int32_t StartLight() override { return Slot<std::int32_t BRELVO_CDECL (*)(void*)>(3)(object_); }
  std::int32_t FinishLight() override { return Slot<std::int32_t BRELVO_CDECL (*)(void*)>(4)(object_); }
  std::int32_t SetBrightness(std::int32_t level) override {
    return Slot<std::int32_t BRELVO_CDECL (*)(void*, std::int32_t)>(5)(object_, level);
  }
  std::int32_t SetRaceTime(std::int32_t seconds) override {
    return Slot<std::int32_t BRELVO_CDECL (*)(void*, std::int32_t)>(6)(object_, seconds);
  }
  std::int32_t ShowPicture(const std::uint8_t* bits, std::int32_t width, std::int32_t height, std::int32_t reserved1,
                           std::int32_t reserved2) override {
    using Fn = std::int32_t BRELVO_CDECL (*)(void*, const std::uint8_t*, std::int32_t, std::int32_t, std::int32_t,
                                             std::int32_t);
    return Slot<Fn>(7)(object_, bits, width, height, reserved1, reserved2);
  }
  std::int32_t SetRow(std::int32_t mode, std::int32_t row, std::int32_t number, std::int32_t bestLapTime,
                      std::int32_t lastLapTime, std::int32_t laps, std::int32_t totalTime, std::int32_t raceGap,
                      std::int32_t bestLapGap, const char16_t* name) override {
    using Fn =
        std::int32_t BRELVO_CDECL (*)(void*, std::int32_t, std::int32_t, std::int32_t, std::int32_t, std::int32_t,
                                      std::int32_t, std::int32_t, std::int32_t, std::int32_t, const char16_t*);
    return Slot<Fn>(8)(object_, mode, row, number, bestLapTime, lastLapTime, laps, totalTime, raceGap, bestLapGap,
                       name);
  }

 private:
  // The object starts with a pointer to its table of functions, in slot order.
  template <typename Fn>
  Fn Slot(int index) const {
    return reinterpret_cast<Fn>((*reinterpret_cast<void* const* const*>(object_))[index]);
  }
  ScoreboardController* object_;
};
#else
class TControllerLibrary::TCdeclController {};
#endif

TConventionSetting ParseConventionSetting(std::string_view text) {
  std::string lower(text);
  for (char& c : lower) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (lower == "thiscall") return csThiscall;
  if (lower == "cdecl") return csCdecl;
  return csAuto;
}

std::string_view ConventionSettingName(TConventionSetting setting) {
  switch (setting) {
    case csThiscall:
      return "thiscall";
    case csCdecl:
      return "cdecl";
    case csAuto:
      break;
  }
  return "auto";
}

std::string ConventionReport(const std::string& name, const TControllerLoad& load) {
  std::string text = name + ": " + std::to_string(load.libraryBits) + "-bit, ";
  text += load.markerExport ? "exports " : "no ";
  text += kCppBuilderMarkerExport;
  text += ", ControllerConvention: ";
  text += ConventionSettingName(load.setting);
  text += ", called ";
  if (load.libraryBits != 32 || !BRELVO_CDECL_CONTROLLERS)
    text += "in the one convention of this build";
  else
    text += load.convention == ccCdecl ? "cdecl" : "thiscall";
  return text;
}

TControllerLibrary::TControllerLibrary() = default;

TControllerLibrary::~TControllerLibrary() {
  Delete();
  // Threads the library started may still run its code until the process ends.
  library_.Release();
}

const TControllerLoad& TControllerLibrary::Load(const std::string& name, TWindowHandle window,
                                                TConventionSetting setting) {
  // The old object's code lives in the old library, which loading the new
  // one unmaps.
  Delete();
  load_ = TControllerLoad{};
  const std::filesystem::path path = platform::DynamicLibrary::PathFor(name);
  switch (platform::ReadLibraryFileKind(path)) {
    case platform::TLibraryFileKind::lkAbsent:
      load_.problem = cpAbsent;
      return load_;
    case platform::TLibraryFileKind::lkNotLibrary:
      load_.problem = cpNotLibrary;
      return load_;
    case platform::TLibraryFileKind::lkLibrary32:
      load_.libraryBits = 32;
      break;
    case platform::TLibraryFileKind::lkLibrary64:
      load_.libraryBits = 64;
      break;
  }
  // A process cannot load a library of the other bitness at all; say so
  // instead of letting the loader fail with a number.
  if (load_.libraryBits != platform::kProgramBits) {
    load_.problem = cpOtherBitness;
    return load_;
  }
  if (!library_.Load(name)) {
    load_.problem = cpLoadFailed;
    load_.systemError = library_.LoadError();
    return load_;
  }
  auto create = library_.GetSymbol<TCreateScoreboardController>(kCreateScoreboardControllerExport);
  if (create == nullptr || library_.GetSymbolAddress(kDeleteScoreboardControllerExport) == nullptr) {
    load_.problem = cpNoExports;
    return load_;
  }
  load_.markerExport = library_.GetSymbolAddress(kCppBuilderMarkerExport) != nullptr;
  load_.setting = setting;
#if BRELVO_CDECL_CONTROLLERS
  if (setting == csCdecl || (setting == csAuto && load_.markerExport)) load_.convention = ccCdecl;
#endif
  // Said before the library runs any code of ours, so a library that then
  // crashes in the wrong convention has left the reason behind.
  platform::DebugOutput(ConventionReport(name, load_));
  platform::DebugOutput("\n");
  create(&foreign_, window);  // its result says nothing the pointer does not
  if (foreign_ == nullptr) {
    load_.problem = cpNoController;
    return load_;
  }
  controller_ = foreign_;
#if BRELVO_CDECL_CONTROLLERS
  if (load_.convention == ccCdecl) {
    cdecl_ = std::make_unique<TCdeclController>(foreign_);
    controller_ = cdecl_.get();
  }
#endif
  load_.problem = cpNone;
  return load_;
}

void TControllerLibrary::Delete() {
  controller_ = nullptr;
  if (foreign_ == nullptr) return;
  auto destroy = library_.GetSymbol<TDeleteScoreboardController>(kDeleteScoreboardControllerExport);
  if (destroy != nullptr) destroy(&foreign_);
  foreign_ = nullptr;
  cdecl_.reset();
}
