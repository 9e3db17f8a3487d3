// The board's line, served on a thread of its own so that drawing never
// starves it: reads what arrives and feeds the board, writes its answers and
// heartbeats. With a baud rate it reads and writes no faster than a line of
// that rate would carry the bytes (10 bits a byte, each direction on its
// own), so the far end meets the back-pressure of a real board.
#pragma once

#include <atomic>
#include <chrono>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "boardcore.h"

class TBoardPump {
 public:
  // After a batch of bytes that changed what the board shows (changed) or a
  // heartbeat (not changed); called on the pump's thread, without `lock`.
  using TNotify = std::function<void(bool changed)>;

  TBoardPump(int fd, int baud, int heartbeatMs, board::TVirtualBoard& board, std::mutex& lock, TNotify notify);
  ~TBoardPump();  // stops the thread
  TBoardPump(const TBoardPump&) = delete;
  TBoardPump& operator=(const TBoardPump&) = delete;

 private:
  void Run();

  int fd_;
  std::chrono::nanoseconds byteTime_;  // zero: unpaced
  std::size_t chunk_;
  std::chrono::milliseconds heartbeat_;
  board::TVirtualBoard& board_;
  std::mutex& lock_;
  TNotify notify_;
  int stopFd_ = -1;
  std::thread thread_;
};
