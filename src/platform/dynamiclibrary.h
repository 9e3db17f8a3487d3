// Run-time library: LoadLibraryExW/GetProcAddress or dlopen/dlsym, only ever
// from the program's folder or an explicit path.
#pragma once

#include <cstdint>
#include <filesystem>
#include <string>

namespace platform {

// What a library file is, read from its header before anything loads it.
enum class TLibraryFileKind : std::int32_t {
  lkAbsent,      // no such file
  lkNotLibrary,  // not a shared library of this system's format
  lkLibrary32,   // PE machine 0x14c on Windows, ELF class 32 on Linux
  lkLibrary64,   // PE machine 0x8664, ELF class 64
};

// This system's library format: "DLL" (PE) on Windows, ".so" (ELF) elsewhere.
#if defined(_WIN32)
inline constexpr bool kWindowsLibraries = true;
#else
inline constexpr bool kWindowsLibraries = false;
#endif
inline constexpr std::int32_t kProgramBits = static_cast<std::int32_t>(sizeof(void*) * 8);

// Reads the header of `path`: a PE image (Windows) or an ELF object (POSIX),
// the other system's format counting as no library.
TLibraryFileKind ReadLibraryFileKind(const std::filesystem::path& path);
// The header readers themselves, for either format on any system.
TLibraryFileKind ReadPeLibraryKind(const std::filesystem::path& path);
TLibraryFileKind ReadElfLibraryKind(const std::filesystem::path& path);

// Call once at program start (Windows): libraries that loaded libraries pull
// in come from their own folder and System32 only, never the current folder
// or PATH. Nothing to do elsewhere.
void RestrictLibrarySearch();

class DynamicLibrary {
 public:
  DynamicLibrary() = default;
  ~DynamicLibrary();  // unloads
  DynamicLibrary(DynamicLibrary&& other) noexcept;
  DynamicLibrary& operator=(DynamicLibrary&& other) noexcept;
  DynamicLibrary(const DynamicLibrary&) = delete;
  DynamicLibrary& operator=(const DynamicLibrary&) = delete;

  // Where Load looks for `name`: a name with a path separator is that path;
  // a bare Windows file name, e.g. "scoreboardcontroller.dll", is that file
  // in the program's folder (on POSIX with ".dll" turned into ".so").
  static std::filesystem::path PathFor(const std::string& name);

  // Loads PathFor(name) and nothing else: no search of the current folder,
  // PATH or the loader's directories, so a library planted where the
  // program was started from is never run. Its own dependencies come from
  // its folder and the system folder.
  bool Load(const std::string& name);
  bool IsLoaded() const { return handle_ != nullptr; }
  // The system's reason for the last failed Load (GetLastError; 0 on POSIX).
  std::uint32_t LoadError() const { return loadError_; }
  // Leaves the library mapped for the rest of the process.
  void Release() { handle_ = nullptr; }

  void* GetSymbolAddress(const char* symbol) const;
  template <typename T>
  T GetSymbol(const char* symbol) const {
    return reinterpret_cast<T>(GetSymbolAddress(symbol));
  }

 private:
  void* handle_ = nullptr;
  std::uint32_t loadError_ = 0;
};

}  // namespace platform
