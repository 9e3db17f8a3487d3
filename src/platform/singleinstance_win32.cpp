#include <windows.h>

#include "platform/singleinstance.h"

namespace platform {

bool AcquireSingleInstanceLock(const char* name) {
  if (name == nullptr || *name == '\0') name = kSingleInstanceName;
  // Owned from the start; the handle is never closed, so the mutex lives
  // exactly as long as this process.
  const HANDLE mutex = CreateMutexA(nullptr, TRUE, name);
  const DWORD error = GetLastError();
  if (mutex == nullptr) {
    // Access denied: another user's session holds a mutex of that name.
    return error != ERROR_ACCESS_DENIED;
  }
  if (error == ERROR_ALREADY_EXISTS) {
    CloseHandle(mutex);
    return false;
  }
  return true;
}

}  // namespace platform
