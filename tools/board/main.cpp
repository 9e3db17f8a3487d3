// brelvo-board: a virtual LED scoreboard on a serial line.
//
//   brelvo-board /dev/ttyUSB0            open a serial device (raw 115200 8N1)
//   brelvo-board --pty 7                 create a pseudo-terminal, published as COM7
//
// Options: --board-id N, --firmware a.b.c, --address a.b.c.d, --state FILE
// (JSON after every change of what is shown and every heartbeat), --snapshot
// FILE.png (after changes, and on exit), --link-folder DIR (where COMn links
// live; default the platform's), --heartbeat-ms N (default 1000), --baud N
// (read and write no faster than a line at N bits/s).
#include <QApplication>
#include <QImage>
#include <QSaveFile>
#include <QSocketNotifier>
#include <atomic>
#include <csignal>
#include <cstdio>
#include <mutex>
#include <unistd.h>

#include <sys/socket.h>

#include "boardline.h"
#include "boardoptions.h"
#include "boardpanel.h"
#include "boardpump.h"

namespace {

int signalPipe[2] = {-1, -1};

void OnSignal(int) {
  const char c = 1;
  [[maybe_unused]] auto n = ::write(signalPipe[1], &c, 1);
}

int Fail(const std::string& text) {
  std::fprintf(stderr, "brelvo-board: %s\n", text.c_str());
  return 2;
}

void SaveAtomically(const QString& path, const QByteArray& bytes) {
  QSaveFile f(path);  // temp file + rename: readers never see half a file
  if (f.open(QIODevice::WriteOnly) && f.write(bytes) == bytes.size()) f.commit();
}

void WriteSnapshot(const QString& path, const TBoardWindow& window) {
  if (path.isEmpty()) return;
  QImage img(window.size(), QImage::Format_RGB32);
  QPainter p(&img);
  PaintBoard(p, img.size(), window.Content());
  p.end();
  QSaveFile f(path);
  if (f.open(QIODevice::WriteOnly) && img.save(&f, "PNG")) f.commit();
}

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("brelvo-board"));
  const TBoardOptionsResult parsed = ParseBoardOptions(QApplication::arguments());
  if (!parsed.options) return Fail(parsed.error.toStdString());
  const TBoardOptions& options = *parsed.options;

  // Stopping must still remove the link, so the handlers come before it exists.
  if (::socketpair(AF_UNIX, SOCK_STREAM, 0, signalPipe) != 0) return Fail("socketpair failed");
  std::signal(SIGINT, OnSignal);
  std::signal(SIGTERM, OnSignal);
  std::string error;
  const std::unique_ptr<TBoardLine> line = TBoardLine::Open(options, error);
  if (!line) return Fail(error);
  if (!line->Announcement().empty()) std::printf("brelvo-board: %s\n", line->Announcement().c_str());
  std::fflush(stdout);

  std::mutex lock;  // guards vboard between the line's thread and the window
  board::TVirtualBoard vboard(options.config);
  TBoardWindow window;
  window.show();

  auto writeState = [&] {
    if (options.statePath.isEmpty()) return;
    std::string json;
    {
      std::lock_guard<std::mutex> guard(lock);
      json = vboard.StateJson();
    }
    SaveAtomically(options.statePath, QByteArray(json.data(), static_cast<qsizetype>(json.size())));
  };
  // Repaints coalesce: changes while one is queued or running join the next.
  std::atomic<bool> repaintQueued{false};
  auto repaint = [&] {
    repaintQueued = false;
    {
      std::lock_guard<std::mutex> guard(lock);
      window.SetContent(vboard.Content());
    }
    window.update();
    WriteSnapshot(options.snapshotPath, window);
  };
  writeState();
  WriteSnapshot(options.snapshotPath, window);
  {
    TBoardPump pump(line->Fd(), options.baud, options.heartbeatMs, vboard, lock, [&](bool changed) {
      writeState();
      if (changed && !repaintQueued.exchange(true)) QMetaObject::invokeMethod(&window, repaint, Qt::QueuedConnection);
    });
    QSocketNotifier stopNotifier(signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&stopNotifier, &QSocketNotifier::activated, &app, [] { QCoreApplication::quit(); });
    QApplication::exec();
  }
  {
    std::lock_guard<std::mutex> guard(lock);
    window.SetContent(vboard.Content());
  }
  WriteSnapshot(options.snapshotPath, window);
  return 0;
}
