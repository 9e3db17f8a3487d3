#include <windows.h>

#include <vector>

#include "platform/programfolder.h"

namespace platform {

std::filesystem::path ProgramFolder() {
  // Long paths do not fit MAX_PATH; grow until the name is not cut.
  std::vector<wchar_t> buffer(MAX_PATH);
  for (;;) {
    const DWORD length = GetModuleFileNameW(nullptr, buffer.data(), static_cast<DWORD>(buffer.size()));
    if (length == 0) return std::filesystem::path(L".");
    if (length < buffer.size()) {
      return std::filesystem::path(std::wstring(buffer.data(), length)).parent_path();
    }
    if (buffer.size() >= 32768) return std::filesystem::path(L".");
    buffer.resize(buffer.size() * 2);
  }
}

}  // namespace platform
