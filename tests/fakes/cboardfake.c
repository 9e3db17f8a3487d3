#include "cboardfake.h"

#include <stdlib.h>
#include <string.h>

#if defined(_WIN32)
#include <windows.h>
static void SleepMs(long ms) { Sleep((DWORD)ms); }
#else
#include <time.h>
static void SleepMs(long ms) {
  struct timespec pause = {ms / 1000, (ms % 1000) * 1000000L};
  nanosleep(&pause, NULL);
}
#endif

/* CBOARDFAKE_CDECL: `this` first on the stack, the caller pops. Otherwise
 * 32-bit x86 gets thiscall (`this` in ECX, the callee pops) and other
 * processors their one convention, where `this` is simply the first
 * argument. CBOARDFAKE_MARKER: the C++Builder marker export, whatever the
 * convention (a library the marker misleads). */
#if defined(CBOARDFAKE_CDECL)
#define SLOT __attribute__((cdecl))
#elif defined(__i386__)
#define SLOT __attribute__((thiscall))
#else
#define SLOT
#endif

#if defined(_WIN32)
#define EXPORT __declspec(dllexport)
#else
#define EXPORT __attribute__((visibility("default")))
#endif

typedef struct TObject {
  const void* const* table;
} TObject;

static TCBoardFakeCall recorded[CBOARDFAKE_SLOTS];
static int32_t createNothing;
static int32_t deletes;
static void* createWindow;
static const void* const slotTable[CBOARDFAKE_SLOTS];
static TObject theObject = {slotTable};

static TCBoardFakeCall* Record(int slot, TObject* self) {
  TCBoardFakeCall* call = &recorded[slot];
  memset(call->args, 0, sizeof call->args);
  call->calls += 1;
  call->selfMatches = self == &theObject;
  call->pointer = NULL;
  call->textLength = -1;
  return call;
}

static void CopyBytes(TCBoardFakeCall* call, const uint8_t* bytes, int32_t count) {
  call->pointer = bytes;
  if (bytes == NULL) return;
  if (count > CBOARDFAKE_TEXT) count = CBOARDFAKE_TEXT;
  for (int32_t i = 0; i < count; ++i) call->text[i] = bytes[i];
  call->textLength = count;
}

static int32_t SLOT OpenPort(TObject* self, int32_t kind, const char* portName, int32_t baudRate) {
  TCBoardFakeCall* call = Record(0, self);
  call->args[0] = kind;
  call->args[1] = baudRate;
  CopyBytes(call, (const uint8_t*)portName, portName ? (int32_t)strlen(portName) : 0);
  return 1;
}
static int32_t SLOT ClearBoard(TObject* self, int32_t immediate) {
  Record(1, self)->args[0] = immediate;
  return 2;
}
static int32_t SLOT Show(TObject* self, int32_t fullRefresh, int32_t mode) {
  TCBoardFakeCall* call = Record(2, self);
  call->args[0] = fullRefresh;
  call->args[1] = mode;
  return 3;
}
static int32_t SLOT StartLight(TObject* self) {
  Record(3, self);
  return 4;
}
static int32_t SLOT FinishLight(TObject* self) {
  Record(4, self);
  return 5;
}
static int32_t SLOT SetBrightness(TObject* self, int32_t level) {
  Record(5, self)->args[0] = level;
  return 6;
}
static int32_t SLOT SetRaceTime(TObject* self, int32_t seconds) {
  Record(6, self)->args[0] = seconds;
  return 7;
}
static int32_t SLOT ShowPicture(TObject* self, const uint8_t* bits, int32_t width, int32_t height, int32_t reserved1,
                                int32_t reserved2) {
  TCBoardFakeCall* call = Record(7, self);
  call->args[0] = width;
  call->args[1] = height;
  call->args[2] = reserved1;
  call->args[3] = reserved2;
  CopyBytes(call, bits, width > 0 && height > 0 ? width / 8 * height : 0);
  return 8;
}
static int32_t SLOT SetRow(TObject* self, int32_t mode, int32_t row, int32_t number, int32_t bestLapTime,
                           int32_t lastLapTime, int32_t laps, int32_t totalTime, int32_t raceGap, int32_t bestLapGap,
                           const uint16_t* name) {
  TCBoardFakeCall* call = Record(8, self);
  const int32_t values[9] = {mode, row, number, bestLapTime, lastLapTime, laps, totalTime, raceGap, bestLapGap};
  memcpy(call->args, values, sizeof values);
  call->pointer = name;
  if (name != NULL) {
    int32_t n = 0;
    while (name[n] != 0 && n < CBOARDFAKE_TEXT) {
      call->text[n] = name[n];
      ++n;
    }
    call->textLength = n;
  }
  return 9;
}

static const void* const slotTable[CBOARDFAKE_SLOTS] = {
    (const void*)OpenPort,    (const void*)ClearBoard,  (const void*)Show,
    (const void*)StartLight,  (const void*)FinishLight, (const void*)SetBrightness,
    (const void*)SetRaceTime, (const void*)ShowPicture, (const void*)SetRow,
};

/* A board maker's library that is slow to start, or hangs when its port is
 * closed: CBOARDFAKE_CREATE_MS=<ms> sleeps in create, CBOARDFAKE_DELETE_HANGS
 * makes delete never return. */
EXPORT int32_t _createScoreboardController(TObject** controller, void* window) {
  const char* createMs = getenv("CBOARDFAKE_CREATE_MS");
  if (createMs != NULL) SleepMs(atol(createMs));
  createWindow = window;
  /* The environment too, so a whole program can be shown the case. */
  *controller = createNothing || getenv("CBOARDFAKE_CREATE_NOTHING") != NULL ? NULL : &theObject;
  return 1;
}

EXPORT int32_t _deleteScoreboardController(TObject** controller) {
  if (*controller == &theObject) ++deletes;
  while (getenv("CBOARDFAKE_DELETE_HANGS") != NULL) SleepMs(1000);
  *controller = NULL;
  return 1;
}

EXPORT int32_t cboardfakeLastCall(int32_t slot, TCBoardFakeCall* out) {
  if (slot < 0 || slot >= CBOARDFAKE_SLOTS) return 0;
  *out = recorded[slot];
  return 1;
}

EXPORT void cboardfakeCreateNothing(int32_t on) { createNothing = on; }
EXPORT void* cboardfakeWindow(void) { return createWindow; }
EXPORT int32_t cboardfakeDeletes(void) { return deletes; }

#if defined(CBOARDFAKE_MARKER)
/* Every classic C++Builder library carries it; the proxy reads its presence
 * as "called cdecl". On 32-bit Windows the symbol gains an underscore that
 * the export table drops again: exported as written. */
EXPORT int32_t ___CPPdebugHook;
#endif
