// Run-time library: LoadLibraryA/GetProcAddress or dlopen/dlsym.
#pragma once

#include <string>

namespace platform {

class DynamicLibrary {
 public:
  DynamicLibrary() = default;
  ~DynamicLibrary();  // unloads
  DynamicLibrary(DynamicLibrary&& other) noexcept;
  DynamicLibrary& operator=(DynamicLibrary&& other) noexcept;
  DynamicLibrary(const DynamicLibrary&) = delete;
  DynamicLibrary& operator=(const DynamicLibrary&) = delete;

  // `name` is the Windows file name, e.g. "scoreboardcontroller.dll".
  // Win32: LoadLibraryA(name). POSIX: a trailing ".dll" becomes ".so"; the
  // program folder is tried first, then the loader's normal search. A name
  // with a path separator is loaded from that path only.
  bool Load(const std::string& name);
  bool IsLoaded() const { return handle_ != nullptr; }
  // Leaves the library mapped for the rest of the process.
  void Release() { handle_ = nullptr; }

  void* GetSymbolAddress(const char* symbol) const;
  template <typename T>
  T GetSymbol(const char* symbol) const {
    return reinterpret_cast<T>(GetSymbolAddress(symbol));
  }

 private:
  void* handle_ = nullptr;
};

}  // namespace platform
