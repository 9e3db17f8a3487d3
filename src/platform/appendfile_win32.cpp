#include <windows.h>

#include "platform/appendfile.h"

namespace platform {
namespace {

HANDLE Handle(std::intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }

}  // namespace

AppendFile::~AppendFile() { Close(); }

bool AppendFile::Open(const std::filesystem::path& file) {
  Close();
  // Readers, and the operator copying the file away, are welcome meanwhile.
  const HANDLE h = CreateFileW(file.c_str(), FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                               nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return false;
  handle_ = reinterpret_cast<std::intptr_t>(h);
  return true;
}

bool AppendFile::Write(const char* bytes, std::size_t size) {
  if (!IsOpen()) return false;
  while (size > 0) {
    const DWORD chunk = size > 0x10000000u ? 0x10000000u : static_cast<DWORD>(size);
    DWORD written = 0;
    if (WriteFile(Handle(handle_), bytes, chunk, &written, nullptr) == 0 || written == 0) return false;
    bytes += written;
    size -= written;
  }
  return true;
}

bool AppendFile::Sync() { return IsOpen() && FlushFileBuffers(Handle(handle_)) != 0; }

void AppendFile::Close() {
  if (!IsOpen()) return;
  CloseHandle(Handle(handle_));
  handle_ = -1;
}

}  // namespace platform
