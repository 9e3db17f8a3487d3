/* A board controller written in C that takes its time over every call, as
 * a library does that writes the serial line before it returns:
 * SLOWBOARD_CALL_MS in each of the nine slots, SLOWBOARD_OPEN_MS in OpenPort.
 * With SLOWBOARD_LOG naming a file, each call appends one line to it:
 *   <start ms> <end ms> <slot> <first argument>
 * in milliseconds of the system's wall clock, so a probe in another process
 * can tell when a command reached the board. */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>

#if defined(_WIN32)
#include <windows.h>
#define EXPORT __declspec(dllexport)
#else
#include <time.h>
#define EXPORT __attribute__((visibility("default")))
#endif

#if defined(__i386__) && defined(_WIN32)
#define SLOT __attribute__((thiscall))
#else
#define SLOT
#endif

#ifndef SLOWBOARD_CALL_MS
#define SLOWBOARD_CALL_MS 50
#endif
#ifndef SLOWBOARD_OPEN_MS
#define SLOWBOARD_OPEN_MS SLOWBOARD_CALL_MS
#endif

typedef struct TObject {
  const void* const* table;
} TObject;

static const void* const slotTable[9];
static TObject theObject = {slotTable};
static FILE* callLog;
static int callLogOpened;

static int64_t WallMs(void) {
#if defined(_WIN32)
  FILETIME now;
  GetSystemTimeAsFileTime(&now);
  const int64_t ticks = ((int64_t)now.dwHighDateTime << 32) | now.dwLowDateTime; /* 100 ns since 1601 */
  return ticks / 10000 - 11644473600000LL;
#else
  struct timespec now;
  clock_gettime(CLOCK_REALTIME, &now);
  return (int64_t)now.tv_sec * 1000 + now.tv_nsec / 1000000;
#endif
}

static void Wait(int ms) {
  if (ms <= 0) return;
#if defined(_WIN32)
  Sleep((DWORD)ms);
#else
  struct timespec pause = {ms / 1000, (long)(ms % 1000) * 1000000L};
  nanosleep(&pause, NULL);
#endif
}

/* The calls come from one thread at a time in the proxy; the log is only
 * for the figures. */
static int32_t Call(const char* slot, int32_t argument, int ms) {
  const int64_t start = WallMs();
  Wait(ms);
  if (!callLogOpened) {
    const char* path = getenv("SLOWBOARD_LOG");
    callLogOpened = 1;
    if (path != NULL && path[0] != '\0') callLog = fopen(path, "ab"); /* "\n" alone on Windows too */
  }
  if (callLog != NULL) {
    fprintf(callLog, "%lld %lld %s %ld\n", (long long)start, (long long)WallMs(), slot, (long)argument);
    fflush(callLog);
  }
  return 1;
}

static int32_t SLOT OpenPort(TObject* self, int32_t kind, const char* portName, int32_t baudRate) {
  (void)self, (void)portName, (void)baudRate;
  return Call("OpenPort", kind, SLOWBOARD_OPEN_MS);
}
static int32_t SLOT ClearBoard(TObject* self, int32_t immediate) {
  (void)self;
  return Call("ClearBoard", immediate, SLOWBOARD_CALL_MS);
}
static int32_t SLOT Show(TObject* self, int32_t fullRefresh, int32_t mode) {
  (void)self, (void)mode;
  return Call("Show", fullRefresh, SLOWBOARD_CALL_MS);
}
static int32_t SLOT StartLight(TObject* self) {
  (void)self;
  return Call("StartLight", 0, SLOWBOARD_CALL_MS);
}
static int32_t SLOT FinishLight(TObject* self) {
  (void)self;
  return Call("FinishLight", 0, SLOWBOARD_CALL_MS);
}
static int32_t SLOT SetBrightness(TObject* self, int32_t level) {
  (void)self;
  return Call("SetBrightness", level, SLOWBOARD_CALL_MS);
}
static int32_t SLOT SetRaceTime(TObject* self, int32_t seconds) {
  (void)self;
  return Call("SetRaceTime", seconds, SLOWBOARD_CALL_MS);
}
static int32_t SLOT ShowPicture(TObject* self, const uint8_t* bits, int32_t width, int32_t height, int32_t reserved1,
                                int32_t reserved2) {
  (void)self, (void)bits, (void)height, (void)reserved1, (void)reserved2;
  return Call("ShowPicture", width, SLOWBOARD_CALL_MS);
}
static int32_t SLOT SetRow(TObject* self, int32_t mode, int32_t row, int32_t number, int32_t bestLapTime,
                           int32_t lastLapTime, int32_t laps, int32_t totalTime, int32_t raceGap, int32_t bestLapGap,
                           const uint16_t* name) {
  (void)self, (void)mode, (void)number, (void)bestLapTime, (void)lastLapTime, (void)laps, (void)totalTime;
  (void)raceGap, (void)bestLapGap, (void)name;
  return Call("SetRow", row, SLOWBOARD_CALL_MS);
}

static const void* const slotTable[9] = {
    (const void*)OpenPort,    (const void*)ClearBoard,  (const void*)Show,
    (const void*)StartLight,  (const void*)FinishLight, (const void*)SetBrightness,
    (const void*)SetRaceTime, (const void*)ShowPicture, (const void*)SetRow,
};

EXPORT int32_t _createScoreboardController(TObject** controller, void* window) {
  (void)window;
  *controller = &theObject;
  return 1;
}

EXPORT int32_t _deleteScoreboardController(TObject** controller) {
  *controller = NULL;
  return 1;
}
