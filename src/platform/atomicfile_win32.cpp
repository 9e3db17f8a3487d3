#include <windows.h>

#include <random>
#include <string>

#include "platform/atomicfile.h"

namespace platform {

namespace {

// A name nobody else uses at this moment; CREATE_NEW refuses whatever
// already stands there (a file, a link someone left), so a few fresh names
// are tried.
HANDLE CreateTemporary(const std::filesystem::path& file, std::filesystem::path& temporary) {
  static std::mt19937 random{std::random_device{}()};
  static unsigned counter = 0;
  for (int attempt = 0; attempt < 16; ++attempt) {
    temporary = file;
    temporary += L"." + std::to_wstring(GetCurrentProcessId()) + L"-" + std::to_wstring(++counter) + L"-" +
                 std::to_wstring(random() % 1000000u) + L".tmp";
    const HANDLE handle =
        CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (handle != INVALID_HANDLE_VALUE) return handle;
    const DWORD error = GetLastError();
    if (error != ERROR_FILE_EXISTS && error != ERROR_ALREADY_EXISTS) return INVALID_HANDLE_VALUE;
  }
  return INVALID_HANDLE_VALUE;
}

}  // namespace

std::string_view TextLineEnd() { return "\r\n"; }

bool FileIsReadOnly(const std::filesystem::path& file) {
  const DWORD attributes = GetFileAttributesW(file.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0 &&
         (attributes & FILE_ATTRIBUTE_READONLY) != 0;
}

bool WriteFileAtomically(const std::filesystem::path& file, std::string_view content) {
  std::filesystem::path temporary;
  const HANDLE handle = CreateTemporary(file, temporary);
  if (handle == INVALID_HANDLE_VALUE) return false;
  bool ok = true;
  while (ok && !content.empty()) {
    DWORD written = 0;
    const DWORD chunk = content.size() > 0x10000000u ? 0x10000000u : static_cast<DWORD>(content.size());
    ok = WriteFile(handle, content.data(), chunk, &written, nullptr) != 0 && written > 0;
    if (ok) content.remove_prefix(written);
  }
  ok = ok && FlushFileBuffers(handle) != 0;
  ok = (CloseHandle(handle) != 0) && ok;
  // One step for the reader: either the old file or the new one, and the
  // replacement is on the disk when the call returns.
  if (ok && MoveFileExW(temporary.c_str(), file.c_str(), MOVEFILE_REPLACE_EXISTING | MOVEFILE_WRITE_THROUGH) != 0) {
    return true;
  }
  DeleteFileW(temporary.c_str());
  return false;
}

}  // namespace platform
