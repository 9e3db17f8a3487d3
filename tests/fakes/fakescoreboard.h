// The recording stand-in for the board controller library, for tests: the
// same two exports as the real library plus C exports that hand out what it
// was asked to do. Everything crossing the library boundary is plain C data.
#pragma once

#include <stdint.h>

enum TFakeOperation : int32_t {
  foOpenPort = 0,
  foClearBoard = 1,
  foShow = 2,
  foStartLight = 3,
  foFinishLight = 4,
  foSetBrightness = 5,
  foSetRaceTime = 6,
  foShowPicture = 7,
  foSetRow = 8,
};

constexpr int kFakeNameChars = 64;

// One recorded call. args hold the integer arguments in call order; name is
// the SetRow name (UTF-16, NUL-terminated, cut to kFakeNameChars - 1) or the
// OpenPort name as 8-bit bytes widened; hasName is 0 for a null name.
struct TFakeCall {
  int32_t operation;
  int32_t args[9];
  int32_t hasName;
  char16_t name[kFakeNameChars];
  uint64_t threadTag;   // identifies the calling thread
  int64_t steadyNanos;  // std::chrono::steady_clock at the call
};

extern "C" {
// Copies up to `capacity` calls from index `first` into `out`; returns the
// number of calls recorded in total since the last reset.
typedef int32_t (*TFakeCopyCalls)(int32_t first, TFakeCall* out, int32_t capacity);
typedef void (*TFakeReset)();
// Controllers created and not yet deleted.
typedef int32_t (*TFakeLiveControllers)();
// Shut (1): every call, once recorded, waits until the gate is opened (0).
typedef void (*TFakeShutGate)(int32_t shut);
// Calls waiting at the gate now.
typedef int32_t (*TFakeWaitingCalls)();
}

inline constexpr const char* kFakeCopyCallsExport = "fakeScoreboardCopyCalls";
inline constexpr const char* kFakeResetExport = "fakeScoreboardReset";
inline constexpr const char* kFakeLiveControllersExport = "fakeScoreboardLiveControllers";
inline constexpr const char* kFakeShutGateExport = "fakeScoreboardShutGate";
inline constexpr const char* kFakeWaitingCallsExport = "fakeScoreboardWaitingCalls";
