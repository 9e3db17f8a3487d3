// Single-instance lock: a named mutex on Win32, flock() on a lock file named
// after the same GUID on POSIX. Held until the process ends.
#pragma once

namespace platform {

inline constexpr const char* kSingleInstanceName = "{1BDE1802-1DDA-4179-9E0C-36F7484B4493}";

// True when this process now holds the lock; false when another copy does.
// The lock is deliberately never released before exit.
bool AcquireSingleInstanceLock(const char* name = kSingleInstanceName);

}  // namespace platform
