// brelvo-board: a virtual LED scoreboard on a serial line.
//
//   brelvo-board /dev/ttyUSB0            open a serial device (raw 115200 8N1)
//   brelvo-board --pty 7                 create a pseudo-terminal, published as COM7
//
// Options: --board-id N, --firmware a.b.c, --address a.b.c.d, --state FILE
// (JSON after every received batch and heartbeat), --snapshot FILE.png (after
// every change of what is shown, and on exit), --link-folder DIR (where COMn
// links live; default the platform's), --heartbeat-ms N (default 1000).
#include <QApplication>
#include <QCommandLineParser>
#include <QElapsedTimer>
#include <QHostAddress>
#include <QImage>
#include <QPainter>
#include <QSaveFile>
#include <QSocketNotifier>
#include <QTimer>
#include <QWidget>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <filesystem>
#include <termios.h>
#include <unistd.h>

#include <sys/socket.h>

#include "boardcore.h"
#include "platform/comports.h"

namespace {

int signalPipe[2] = {-1, -1};

void OnSignal(int) {
  const char c = 1;
  [[maybe_unused]] auto n = ::write(signalPipe[1], &c, 1);
}

bool MakeRaw(int fd) {
  termios tio{};
  if (::tcgetattr(fd, &tio) != 0) return false;
  ::cfmakeraw(&tio);
  ::cfsetispeed(&tio, B115200);
  ::cfsetospeed(&tio, B115200);
  tio.c_cflag |= CLOCAL | CREAD;
  tio.c_cflag &= ~static_cast<tcflag_t>(CSTOPB | PARENB | CRTSCTS);
  tio.c_cc[VMIN] = 0;
  tio.c_cc[VTIME] = 0;
  return ::tcsetattr(fd, TCSANOW, &tio) == 0;
}

QString Q(const std::string& s) { return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size())); }

void PaintContent(QPainter& p, const QSize& size, const board::TBoardContent& c);

// Paints the board as its LED panel shows it: the content, then the dark
// gaps between the LEDs.
void PaintBoard(QPainter& p, const QSize& size, const board::TBoardContent& c) {
  PaintContent(p, size, c);
  p.setPen(QPen(QColor(12, 10, 8, 170), 1));
  for (int x = 2; x < size.width(); x += 3) p.drawLine(x, 0, x, size.height());
  for (int y = 2; y < size.height(); y += 3) p.drawLine(0, y, size.width(), y);
}

void PaintContent(QPainter& p, const QSize& size, const board::TBoardContent& c) {
  p.fillRect(QRect(QPoint(0, 0), size), QColor(12, 10, 8));
  const double k = board::BrightnessFactor(c.brightness);
  auto lit = [k](int r, int g, int b) {
    return QColor(static_cast<int>(r * k), static_cast<int>(g * k), static_cast<int>(b * k));
  };
  const QColor amber = lit(255, 176, 0), green = lit(60, 255, 90), red = lit(255, 40, 30), white = lit(235, 235, 225);
  QFont font(QStringLiteral("DejaVu Sans Mono"));
  font.setPixelSize(18);
  font.setBold(true);
  p.setFont(font);
  switch (c.display) {
    case board::dsBlank:
      return;
    case board::dsStartLight:
    case board::dsFinishLight: {
      const bool start = c.display == board::dsStartLight;
      const int d = std::min(size.width() / 6, size.height() / 2);
      for (int i = 0; i < 3; ++i) {
        p.setBrush(start ? red : (i % 2 ? white : green));
        p.setPen(Qt::NoPen);
        p.drawEllipse(QPoint(size.width() * (i + 1) / 4, size.height() / 2), d / 2, d / 2);
      }
      p.setPen(amber);
      p.drawText(QRect(0, size.height() - 30, size.width(), 28), Qt::AlignCenter,
                 start ? QStringLiteral("СТАРТ") : QStringLiteral("ФИНИШ"));
      return;
    }
    case board::dsPicture: {
      if (c.pictureWidth <= 0 || c.pictureHeight <= 0) return;
      const int stride = (c.pictureWidth + 7) / 8;
      QImage img(c.pictureWidth, c.pictureHeight, QImage::Format_RGB32);
      img.fill(QColor(12, 10, 8));
      for (int y = 0; y < c.pictureHeight; ++y) {
        for (int x = 0; x < c.pictureWidth; ++x) {
          if (c.pictureBits[static_cast<std::size_t>(y * stride + x / 8)] & (0x80 >> (x % 8)))
            img.setPixel(x, y, amber.rgb());
        }
      }
      p.drawImage(QRect(QPoint(0, 0), size), img.scaled(size, Qt::KeepAspectRatio));
      return;
    }
    case board::dsTable:
      break;
  }
  static const char* const kModes[] = {"ЛУЧШИЙ КРУГ", "ГОНКА", "ТРЕНИРОВКА"};
  p.setPen(green);
  p.drawText(QRect(8, 4, size.width() - 16, 24), Qt::AlignLeft | Qt::AlignVCenter,
             QString::fromUtf8(c.mode >= 0 && c.mode <= 2 ? kModes[c.mode] : "?"));
  p.drawText(QRect(8, 4, size.width() - 16, 24), Qt::AlignRight | Qt::AlignVCenter,
             c.clockSet ? Q(board::FormatClock(c.clockSeconds)) : QString());
  const int cols[] = {8, 50, 100, 330, 430, 530, 640};
  int y = 34;
  for (const auto& r : c.rows) {
    if (y + 22 > size.height()) break;
    const std::int32_t gap = c.mode == 0 ? r.bestLapGap : r.raceGap;
    const QString texts[] = {QString::number(r.row).rightJustified(2),
                             QString::number(r.number).rightJustified(2),
                             Q(r.name).left(20),
                             Q(board::FormatLapTime(r.bestLapTime)),
                             Q(board::FormatLapTime(r.lastLapTime)),
                             Q(board::FormatGap(gap)),
                             QStringLiteral("%1").arg(r.laps, 2, 10, QLatin1Char('0'))};
    for (int i = 0; i < 7; ++i) {
      p.setPen(i == 2 ? amber : (i == 5 ? red : green));
      p.drawText(QPoint(cols[i], y + 18), texts[i]);
    }
    y += 22;
  }
}

class TBoardWindow : public QWidget {
 public:
  explicit TBoardWindow(const board::TVirtualBoard& b) : board_(b) {
    setWindowTitle(QStringLiteral("Brelvo board"));
    resize(700, 34 + 22 * 30 + 8);
    setAutoFillBackground(false);
  }

 protected:
  void paintEvent(QPaintEvent*) override {
    QPainter p(this);
    PaintBoard(p, size(), board_.Content());
  }

 private:
  const board::TVirtualBoard& board_;
};

}  // namespace

int main(int argc, char** argv) {
  QApplication app(argc, argv);
  QApplication::setApplicationName(QStringLiteral("brelvo-board"));
  QCommandLineParser cli;
  cli.setApplicationDescription(QStringLiteral("Virtual LED scoreboard on a serial line"));
  cli.addHelpOption();
  cli.addPositionalArgument(QStringLiteral("device"), QStringLiteral("serial device to open"));
  const QCommandLineOption ptyOpt(QStringLiteral("pty"), QStringLiteral("create a pseudo-terminal published as COM<n>"),
                                  QStringLiteral("n"));
  const QCommandLineOption linkOpt(QStringLiteral("link-folder"), QStringLiteral("folder of the COMn links"),
                                   QStringLiteral("dir"));
  const QCommandLineOption idOpt(QStringLiteral("board-id"), QStringLiteral("board id (default 1)"),
                                 QStringLiteral("n"), QStringLiteral("1"));
  const QCommandLineOption fwOpt(QStringLiteral("firmware"), QStringLiteral("firmware version a.b.c"),
                                 QStringLiteral("version"), QStringLiteral("1.0.0"));
  const QCommandLineOption addrOpt(QStringLiteral("address"), QStringLiteral("IPv4 address to announce"),
                                   QStringLiteral("a.b.c.d"));
  const QCommandLineOption stateOpt(QStringLiteral("state"), QStringLiteral("JSON state file"), QStringLiteral("file"));
  const QCommandLineOption snapOpt(QStringLiteral("snapshot"), QStringLiteral("PNG snapshot file"),
                                   QStringLiteral("file"));
  const QCommandLineOption hbOpt(QStringLiteral("heartbeat-ms"), QStringLiteral("heartbeat period (default 1000)"),
                                 QStringLiteral("ms"), QStringLiteral("1000"));
  cli.addOptions({ptyOpt, linkOpt, idOpt, fwOpt, addrOpt, stateOpt, snapOpt, hbOpt});
  cli.process(app);

  auto fail = [](const QString& text) {
    std::fprintf(stderr, "brelvo-board: %s\n", text.toLocal8Bit().constData());
    return 2;
  };

  board::TBoardConfig config;
  bool ok = false;
  config.boardId = cli.value(idOpt).toInt(&ok);
  if (!ok) return fail(QStringLiteral("--board-id needs an integer"));
  const QStringList fw = cli.value(fwOpt).split(QLatin1Char('.'));
  if (fw.size() != 3) return fail(QStringLiteral("--firmware needs a.b.c"));
  std::uint8_t* parts[] = {&config.firmwareMajor, &config.firmwareMinor, &config.firmwarePatch};
  for (int i = 0; i < 3; ++i) {
    const uint v = fw[i].toUInt(&ok);
    if (!ok || v > 255) return fail(QStringLiteral("--firmware parts are 0..255"));
    *parts[i] = static_cast<std::uint8_t>(v);
  }
  if (cli.isSet(addrOpt)) {
    QHostAddress a;
    if (!a.setAddress(cli.value(addrOpt)) || a.protocol() != QAbstractSocket::IPv4Protocol) {
      return fail(QStringLiteral("--address needs a.b.c.d"));
    }
    const quint32 host = a.toIPv4Address();  // first octet in the highest byte
    config.address = ((host >> 24) & 0xFF) | ((host >> 8) & 0xFF00) | ((host << 8) & 0xFF0000) | (host << 24);
  }
  const int heartbeatMs = cli.value(hbOpt).toInt(&ok);
  if (!ok || heartbeatMs < 50 || heartbeatMs > 2000) return fail(QStringLiteral("--heartbeat-ms is 50..2000"));

  // Stopping must still remove the link, so the handlers come before it exists.
  if (::socketpair(AF_UNIX, SOCK_STREAM, 0, signalPipe) != 0) return fail(QStringLiteral("socketpair failed"));
  std::signal(SIGINT, OnSignal);
  std::signal(SIGTERM, OnSignal);
  int fd = -1;
  int slaveFd = -1;
  std::filesystem::path link;
  if (cli.isSet(ptyOpt)) {
    const int n = cli.value(ptyOpt).toInt(&ok);
    if (!ok || n < 1 || n > 255) return fail(QStringLiteral("--pty needs a port number 1..255"));
    if (cli.isSet(linkOpt)) platform::SetComLinkFolder(cli.value(linkOpt).toStdString());
    fd = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0 || ::grantpt(fd) != 0 || ::unlockpt(fd) != 0)
      return fail(QStringLiteral("cannot create a pseudo-terminal"));
    const char* slave = ::ptsname(fd);
    if (!slave) return fail(QStringLiteral("no pseudo-terminal name"));
    // Holding the slave side open keeps reads on the master from failing
    // while no controller has the port open.
    slaveFd = ::open(slave, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (slaveFd < 0 || !MakeRaw(slaveFd)) return fail(QStringLiteral("cannot set the pseudo-terminal raw"));
    std::error_code ec;
    std::filesystem::create_directories(platform::ComLinkFolder(), ec);
    link = platform::ComLinkFolder() / ("COM" + std::to_string(n));
    std::filesystem::remove(link, ec);
    std::filesystem::create_symlink(slave, link, ec);
    if (ec) return fail(QStringLiteral("cannot create the link ") + QString::fromStdString(link.string()));
    std::printf("brelvo-board: COM%d -> %s\n", n, slave);
  } else {
    if (cli.positionalArguments().size() != 1) return fail(QStringLiteral("give a serial device or --pty N"));
    const QByteArray path = cli.positionalArguments().first().toLocal8Bit();
    fd = ::open(path.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (fd < 0) return fail(QStringLiteral("cannot open ") + cli.positionalArguments().first());
    if (!MakeRaw(fd)) return fail(QStringLiteral("not a serial device: ") + cli.positionalArguments().first());
  }
  std::fflush(stdout);

  board::TVirtualBoard vboard(config);
  TBoardWindow window(vboard);
  window.show();
  const QString statePath = cli.value(stateOpt);
  const QString snapshotPath = cli.value(snapOpt);

  auto writeState = [&] {
    if (statePath.isEmpty()) return;
    QSaveFile f(statePath);  // temp file + rename: readers never see half a state
    if (!f.open(QIODevice::WriteOnly)) return;
    const std::string json = vboard.StateJson();
    f.write(json.data(), static_cast<qint64>(json.size()));
    f.commit();
  };
  auto writeSnapshot = [&] {
    if (snapshotPath.isEmpty()) return;
    QImage img(window.size(), QImage::Format_RGB32);
    QPainter p(&img);
    PaintBoard(p, img.size(), vboard.Content());
    p.end();
    QSaveFile f(snapshotPath);
    if (f.open(QIODevice::WriteOnly) && img.save(&f, "PNG")) f.commit();
  };
  auto send = [fd](const std::vector<std::uint8_t>& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
      if (n <= 0) break;  // nobody drains the line: the board's answers are dropped
      done += static_cast<std::size_t>(n);
    }
  };

  QElapsedTimer uptime;
  uptime.start();
  std::vector<std::uint8_t> out;
  vboard.AppendHello(out);
  send(out);
  writeState();
  writeSnapshot();

  QSocketNotifier reader(fd, QSocketNotifier::Read);
  QObject::connect(&reader, &QSocketNotifier::activated, &window, [&] {
    std::uint8_t buf[4096];
    bool changed = false;
    out.clear();
    for (;;) {
      const ssize_t n = ::read(fd, buf, sizeof buf);
      if (n <= 0) break;
      changed = vboard.Receive(buf, static_cast<std::size_t>(n), out) || changed;
    }
    send(out);
    writeState();
    if (changed) {
      window.update();
      writeSnapshot();
    }
  });
  QTimer heartbeat;
  QObject::connect(&heartbeat, &QTimer::timeout, &window, [&] {
    out.clear();
    vboard.AppendHeartbeat(out, static_cast<std::uint32_t>(uptime.elapsed()));
    send(out);
    writeState();
  });
  heartbeat.start(heartbeatMs);

  QSocketNotifier stopNotifier(signalPipe[0], QSocketNotifier::Read);
  QObject::connect(&stopNotifier, &QSocketNotifier::activated, &app, [] { QCoreApplication::quit(); });

  const int rc = QApplication::exec();
  writeSnapshot();
  if (!link.empty()) {
    std::error_code ec;
    std::filesystem::remove(link, ec);
  }
  if (slaveFd >= 0) ::close(slaveFd);
  ::close(fd);
  return rc;
}
