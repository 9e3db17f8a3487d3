// The board's end of the serial line, owned for the life of the program: a
// serial device, or a pseudo-terminal published as a COMn link that goes
// again when the line is closed.
#pragma once

#include <filesystem>
#include <memory>
#include <string>

#include "boardoptions.h"

class TBoardLine {
 public:
  // The line the options ask for, or nullptr with `error` set.
  static std::unique_ptr<TBoardLine> Open(const TBoardOptions& options, std::string& error);
  ~TBoardLine();
  TBoardLine(const TBoardLine&) = delete;
  TBoardLine& operator=(const TBoardLine&) = delete;

  int Fd() const { return fd_; }
  // "COMn -> /dev/pts/k" for a published pseudo-terminal, else empty.
  const std::string& Announcement() const { return announcement_; }

 private:
  TBoardLine() = default;
  int fd_ = -1;
  int slaveFd_ = -1;  // held so reads on the master never fail while no controller is there
  std::filesystem::path link_;
  std::string announcement_;
};
