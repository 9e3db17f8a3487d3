// The board controller library's interface. The track's own board DLL is a
// closed binary built by another Windows C++ compiler; the proxy calls it
// through this class, so the layout here must match it slot for slot:
//
//   * exactly nine virtual functions, in this order, and no other virtual
//     member before them: no virtual destructor (its slot would shift every
//     operation). The object is destroyed only by _deleteScoreboardController.
//   * 32-bit integer arguments, names as 16-bit characters. On 64-bit
//     Windows there is one calling convention; on 32-bit Windows this class
//     is thiscall (GCC and MSVC alike), and a library built for cdecl
//     members is reached through the adapter in controllerlibrary.h.
//
// Our own stand-in (scoreboardcontroller/) and the test fakes implement it.
// Every operation may be called from two threads at once; each must be safe
// while the other thread is inside another.
#pragma once

#include <cstdint>

#include "platform/windowhandle.h"

#if defined(__GNUC__)
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wnon-virtual-dtor"
#endif

class ScoreboardController {
 public:
  virtual std::int32_t OpenPort(std::int32_t kind, const char* portName, std::int32_t baudRate) = 0;
  virtual std::int32_t ClearBoard(std::int32_t immediate) = 0;
  virtual std::int32_t Show(std::int32_t fullRefresh, std::int32_t mode) = 0;
  virtual std::int32_t StartLight() = 0;
  virtual std::int32_t FinishLight() = 0;
  virtual std::int32_t SetBrightness(std::int32_t level) = 0;
  virtual std::int32_t SetRaceTime(std::int32_t seconds) = 0;
  virtual std::int32_t ShowPicture(const std::uint8_t* bits, std::int32_t width, std::int32_t height,
                                   std::int32_t reserved1, std::int32_t reserved2) = 0;
  virtual std::int32_t SetRow(std::int32_t mode, std::int32_t row, std::int32_t number, std::int32_t bestLapTime,
                              std::int32_t lastLapTime, std::int32_t laps, std::int32_t totalTime, std::int32_t raceGap,
                              std::int32_t bestLapGap, const char16_t* name) = 0;

 protected:
  ~ScoreboardController() = default;
};

#if defined(__GNUC__)
#pragma GCC diagnostic pop
#endif

// Posted by the library to the window handle it was created with.
constexpr std::uint32_t WM_SCOREBOARD_STATE = 0x8007;  // WM_APP + 7

enum TScoreboardState : std::int32_t {
  bsConnected = 0,     // lParam: an integer shown in parentheses (the board id)
  bsDisconnected = 3,  // lParam unused
  bsAddress = 5,       // lParam: the board's IPv4 address, first octet in the lowest byte
};

// The two exports, with C linkage and these exact names.
extern "C" {
typedef std::int32_t (*TCreateScoreboardController)(ScoreboardController** controller, TWindowHandle window);
typedef std::int32_t (*TDeleteScoreboardController)(ScoreboardController** controller);
}
inline constexpr const char* kCreateScoreboardControllerExport = "_createScoreboardController";
inline constexpr const char* kDeleteScoreboardControllerExport = "_deleteScoreboardController";

#if defined(_WIN32)
#define SCOREBOARD_EXPORT extern "C" __declspec(dllexport)
#else
#define SCOREBOARD_EXPORT extern "C" __attribute__((visibility("default")))
#endif
