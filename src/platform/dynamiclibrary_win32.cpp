#include <windows.h>

#include "platform/dynamiclibrary.h"
#include "platform/programfolder.h"

namespace platform {

void RestrictLibrarySearch() { SetDefaultDllDirectories(LOAD_LIBRARY_SEARCH_DEFAULT_DIRS); }

std::filesystem::path DynamicLibrary::PathFor(const std::string& name) {
  const std::filesystem::path path(name);
  if (name.find_first_of("/\\") != std::string::npos) return path;
  return ProgramFolder() / path;
}

DynamicLibrary::~DynamicLibrary() {
  if (handle_ != nullptr) FreeLibrary(static_cast<HMODULE>(handle_));
}

DynamicLibrary::DynamicLibrary(DynamicLibrary&& other) noexcept : handle_(other.handle_), loadError_(other.loadError_) {
  other.handle_ = nullptr;
}

DynamicLibrary& DynamicLibrary::operator=(DynamicLibrary&& other) noexcept {
  if (this != &other) {
    if (handle_ != nullptr) FreeLibrary(static_cast<HMODULE>(handle_));
    handle_ = other.handle_;
    loadError_ = other.loadError_;
    other.handle_ = nullptr;
  }
  return *this;
}

bool DynamicLibrary::Load(const std::string& name) {
  if (handle_ != nullptr) {
    FreeLibrary(static_cast<HMODULE>(handle_));
    handle_ = nullptr;
  }
  loadError_ = 0;
  if (name.empty()) return false;
  // By full path, never LoadLibraryA's search (which would also try the
  // current folder and PATH); the library's own dependencies come from its
  // folder and System32.
  const std::filesystem::path path = std::filesystem::absolute(PathFor(name));
  handle_ = LoadLibraryExW(path.c_str(), nullptr, LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR | LOAD_LIBRARY_SEARCH_SYSTEM32);
  if (handle_ == nullptr) loadError_ = GetLastError();
  return handle_ != nullptr;
}

void* DynamicLibrary::GetSymbolAddress(const char* symbol) const {
  if (handle_ == nullptr || symbol == nullptr) return nullptr;
  return reinterpret_cast<void*>(GetProcAddress(static_cast<HMODULE>(handle_), symbol));
}

}  // namespace platform
