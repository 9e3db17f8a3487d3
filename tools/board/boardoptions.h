// The virtual board's command line.
#pragma once

#include <QString>
#include <QStringList>
#include <cstdint>
#include <optional>

#include "boardcore.h"

struct TBoardOptions {
  board::TBoardConfig config;
  QString device;          // a serial device to open, or empty with --pty
  int ptyNumber = 0;       // --pty N: publish a pseudo-terminal as COMN
  QString linkFolder;      // where COMn links live; empty: the platform's
  QString statePath;       // JSON state file
  QString snapshotPath;    // PNG snapshot
  int heartbeatMs = 1000;  // 50..2000
  int baud = 0;            // pace the line at this rate; 0: as fast as the device goes
};

// The options, or the message that tells what is wrong with them.
struct TBoardOptionsResult {
  std::optional<TBoardOptions> options;
  QString error;
};
TBoardOptionsResult ParseBoardOptions(const QStringList& arguments);
