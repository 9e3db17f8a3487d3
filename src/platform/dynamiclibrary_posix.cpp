#include <dlfcn.h>

#include "platform/dynamiclibrary.h"
#include "platform/programfolder.h"

namespace platform {
namespace {

// The callers name the Windows file; the same library is a .so here.
std::string PosixLibraryName(const std::string& name) {
  constexpr std::string_view kDll = ".dll";
  if (name.size() >= kDll.size()) {
    std::string tail = name.substr(name.size() - kDll.size());
    for (char& c : tail) c = static_cast<char>(c >= 'A' && c <= 'Z' ? c - 'A' + 'a' : c);
    if (tail == kDll) return name.substr(0, name.size() - kDll.size()) + ".so";
  }
  return name;
}

void* Open(const std::string& path) { return ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL); }

}  // namespace

void RestrictLibrarySearch() {}

std::filesystem::path DynamicLibrary::PathFor(const std::string& name) {
  const std::string file = PosixLibraryName(name);
  if (file.find('/') != std::string::npos) return file;
  return ProgramFolder() / file;
}

DynamicLibrary::~DynamicLibrary() {
  if (handle_ != nullptr) ::dlclose(handle_);
}

DynamicLibrary::DynamicLibrary(DynamicLibrary&& other) noexcept : handle_(other.handle_) { other.handle_ = nullptr; }

DynamicLibrary& DynamicLibrary::operator=(DynamicLibrary&& other) noexcept {
  if (this != &other) {
    if (handle_ != nullptr) ::dlclose(handle_);
    handle_ = other.handle_;
    other.handle_ = nullptr;
  }
  return *this;
}

bool DynamicLibrary::Load(const std::string& name) {
  if (handle_ != nullptr) {
    ::dlclose(handle_);
    handle_ = nullptr;
  }
  if (name.empty()) return false;
  // Always a path, so dlopen never searches LD_LIBRARY_PATH or the loader's
  // directories for a library of that name.
  handle_ = Open(std::filesystem::absolute(PathFor(name)).string());
  return handle_ != nullptr;
}

void* DynamicLibrary::GetSymbolAddress(const char* symbol) const {
  if (handle_ == nullptr || symbol == nullptr) return nullptr;
  return ::dlsym(handle_, symbol);
}

}  // namespace platform
