// A board line at its real speed between two pseudo-terminals: what the
// controller writes on one side reaches the board no faster than `baud`
// allows, through a buffer of `bufferBytes` as a UART driver keeps, and the
// board's answers come back the same way. Runs on a thread of its own.
#pragma once

#include <cstddef>
#include <filesystem>
#include <string>
#include <thread>

class TLineRelay {
 public:
  // Opens `boardDevice` (the board's end) and publishes the controller's
  // end as the link `controllerLink`.
  TLineRelay(const std::string& boardDevice, const std::filesystem::path& controllerLink, int baud,
             std::size_t bufferBytes);
  ~TLineRelay();
  TLineRelay(const TLineRelay&) = delete;
  TLineRelay& operator=(const TLineRelay&) = delete;
  bool Ok() const { return ok_; }

 private:
  void Run();

  int board_ = -1;
  int master_ = -1;
  int slave_ = -1;  // held so the controller side never reads as hung up
  int stop_ = -1;
  std::filesystem::path link_;
  long long byteNs_ = 0;
  std::size_t bufferBytes_ = 0;
  bool ok_ = false;
  std::thread thread_;
};
