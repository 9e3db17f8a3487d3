#include <windows.h>

#include "platform/atomicfile.h"

namespace platform {

std::string_view TextLineEnd() { return "\r\n"; }

bool WriteFileAtomically(const std::filesystem::path& file, std::string_view content) {
  std::filesystem::path temporary = file;
  temporary += L".tmp";
  const HANDLE handle =
      CreateFileW(temporary.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
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
