// brelvo-feed: a timing feed server for the proxy to connect to.
//
//   brelvo-feed                          simulate practice, qualifying and race
//   brelvo-feed --replay FILE            replay a recording with its "##" stamps' pacing
//
// Options: --host (127.0.0.1), --port (50000; 0 picks a free one), --speed X,
// --loop, --wait-for-client, --rate N (lines/s for files without stamps), --karts N, --seed N,
// --practice-s N, --qualifying-s N, --race-laps N, --record FILE (every byte sent
// to clients, catch-up included, is appended to FILE, flushed per burst). Prints "listening on
// HOST:PORT" once the server is up and "done" after the last line (it then
// keeps serving connections until stopped, the last heartbeat repeated every
// second as the timing application does while a client is connected).
#include <QCommandLineParser>
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QHostAddress>
#include <QList>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <algorithm>
#include <cstdio>

#include "feedsource.h"

namespace {

// A client that lets this much pile up unread is dropped rather than let
// the server's memory grow without end.
constexpr qint64 kMaxBacklog = 8 * 1024 * 1024;

class TFeedServer : public QObject {
 public:
  TFeedServer(std::vector<feedsim::TFeedEvent> events, double speed, bool loop, bool waitForClient, std::FILE* record)
      : events_(std::move(events)), speed_(speed), loop_(loop), waitForClient_(waitForClient), record_(record) {
    QObject::connect(&server_, &QTcpServer::newConnection, this, [this] { Accept(); });
    timer_.setSingleShot(true);
    QObject::connect(&timer_, &QTimer::timeout, this, [this] { Pump(); });
    QObject::connect(&keepAlive_, &QTimer::timeout, this, [this] { Broadcast(lastHeartbeat_); });
  }

  bool Listen(const QHostAddress& host, quint16 port) { return server_.listen(host, port); }
  quint16 Port() const { return server_.serverPort(); }

  void Start() {
    if (waitForClient_ && clients_.isEmpty()) return;  // the first client starts the clock
    started_ = true;
    clock_.start();
    Pump();
  }

 private:
  void Accept() {
    while (QTcpSocket* s = server_.nextPendingConnection()) {
      s->setParent(this);
      QObject::connect(s, &QTcpSocket::disconnected, this, [this, s] {
        clients_.removeAll(s);
        s->deleteLater();
      });
      clients_.append(s);
      const std::string catchUp = catchUp_.Snapshot();
      if (!catchUp.empty()) {
        s->write(catchUp.data(), static_cast<qint64>(catchUp.size()));
        Record(catchUp);
      }
      std::printf("client %s:%u connected (%lld connected)\n", s->peerAddress().toString().toLocal8Bit().constData(),
                  s->peerPort(), static_cast<long long>(clients_.size()));
      std::fflush(stdout);
    }
    if (!started_) Start();
  }

  // Keeps what the clients were sent, flushed per burst, so a reader that
  // saw a burst's effect finds the burst in the file.
  void Record(const std::string& bytes) {
    if (record_ == nullptr || bytes.empty()) return;
    std::fwrite(bytes.data(), 1, bytes.size(), record_);
    std::fflush(record_);
  }

  void Broadcast(const std::string& bytes) {
    bool sent = false;
    const QList<QPointer<QTcpSocket>> snapshot = clients_;  // abort() may remove entries
    for (const QPointer<QTcpSocket>& s : snapshot) {
      if (!s || s->state() != QAbstractSocket::ConnectedState) continue;
      if (s->bytesToWrite() > kMaxBacklog) {
        std::printf("client %u dropped: not reading\n", s->peerPort());
        s->abort();
        continue;
      }
      s->write(bytes.data(), static_cast<qint64>(bytes.size()));
      sent = true;
    }
    if (sent) Record(bytes);
  }

  // Sends every line that is due, then sleeps until the next one.
  void Pump() {
    const double elapsed = static_cast<double>(clock_.elapsed()) * speed_;
    std::string burst;
    while (next_ < events_.size() && static_cast<double>(events_[next_].atMs) <= elapsed) {
      burst += events_[next_].bytes;
      catchUp_.Note(events_[next_].bytes);
      if (events_[next_].bytes.rfind("$F", 0) == 0) lastHeartbeat_ = events_[next_].bytes;
      ++next_;
    }
    if (!burst.empty()) Broadcast(burst);
    if (next_ == events_.size()) {
      if (!loop_ || events_.empty()) {
        std::printf("done\n");
        std::fflush(stdout);
        // Like the timing application, the last heartbeat goes on every
        // second: the proxy takes a feed silent for 15 s as lost.
        if (!lastHeartbeat_.empty()) keepAlive_.start(1000);
        return;
      }
      // Around again, one second after the last line.
      next_ = 0;
      clock_.restart();
      timer_.start(static_cast<int>(1000 / speed_) + 1);
      return;
    }
    const double wait = (static_cast<double>(events_[next_].atMs) - elapsed) / speed_;
    timer_.start(static_cast<int>(std::clamp(wait, 0.0, 1000.0)));
  }

  QTcpServer server_;
  QList<QPointer<QTcpSocket>> clients_;
  std::vector<feedsim::TFeedEvent> events_;
  feedsim::TCatchUp catchUp_;
  std::size_t next_ = 0;
  double speed_;
  bool loop_;
  bool waitForClient_;
  bool started_ = false;
  std::FILE* record_;
  QElapsedTimer clock_;
  QTimer timer_;
  QTimer keepAlive_;
  std::string lastHeartbeat_;
};

}  // namespace

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  QCoreApplication::setApplicationName(QStringLiteral("brelvo-feed"));
  QCommandLineParser cli;
  cli.setApplicationDescription(QStringLiteral("Timing feed simulator and replayer"));
  cli.addHelpOption();
  auto opt = [](const char* name, const char* help, const char* value, const char* def = nullptr) {
    return QCommandLineOption(QString::fromLatin1(name), QString::fromLatin1(help), QString::fromLatin1(value),
                              def ? QString::fromLatin1(def) : QString());
  };
  const QCommandLineOption host = opt("host", "address to listen on", "addr", "127.0.0.1");
  const QCommandLineOption port = opt("port", "TCP port (0: any free one)", "n", "50000");
  const QCommandLineOption replay = opt("replay", "recording to replay", "file");
  const QCommandLineOption rate = opt("rate", "lines per second for files without stamps", "n", "10");
  const QCommandLineOption speed = opt("speed", "time compression factor", "x", "1");
  const QCommandLineOption loop(QStringLiteral("loop"), QStringLiteral("start again after the last line"));
  const QCommandLineOption waitClient(QStringLiteral("wait-for-client"),
                                      QStringLiteral("start sending when the first client connects"));
  const QCommandLineOption karts = opt("karts", "karts in the simulated sessions", "n", "10");
  const QCommandLineOption seed = opt("seed", "random seed of the simulation", "n", "1");
  const QCommandLineOption practice = opt("practice-s", "practice length in seconds", "n", "120");
  const QCommandLineOption qualifying = opt("qualifying-s", "qualifying length in seconds", "n", "120");
  const QCommandLineOption laps = opt("race-laps", "race length in laps", "n", "10");
  const QCommandLineOption record = opt("record", "append every byte sent to clients to this file", "file");
  cli.addOptions({host, port, replay, rate, speed, loop, waitClient, karts, seed, practice, qualifying, laps, record});
  cli.process(app);

  auto fail = [](const char* text) {
    std::fprintf(stderr, "brelvo-feed: %s\n", text);
    return 2;
  };
  auto number = [&cli](const QCommandLineOption& o, double lo, double hi, double& out) {
    bool ok = false;
    out = cli.value(o).toDouble(&ok);
    return ok && out >= lo && out <= hi;
  };
  double portN, rateN, speedN, kartsN, seedN, practiceN, qualifyingN, lapsN;
  if (!number(port, 0, 65535, portN)) return fail("--port is 0..65535");
  if (!number(rate, 0.01, 1e6, rateN)) return fail("--rate must be positive");
  if (!number(speed, 0.01, 1e5, speedN)) return fail("--speed is 0.01..100000");
  if (!number(karts, 1, 99, kartsN)) return fail("--karts is 1..99");
  if (!number(seed, 0, 4294967295.0, seedN)) return fail("--seed is a 32-bit number");
  if (!number(practice, 1, 86400, practiceN) || !number(qualifying, 1, 86400, qualifyingN)) {
    return fail("session lengths are 1..86400 s");
  }
  if (!number(laps, 1, 999, lapsN)) return fail("--race-laps is 1..999");
  QHostAddress address;
  if (!address.setAddress(cli.value(host))) return fail("--host needs an IP address");

  std::vector<feedsim::TFeedEvent> events;
  if (cli.isSet(replay)) {
    QFile f(cli.value(replay));
    if (!f.open(QIODevice::ReadOnly)) return fail("cannot read the recording");
    const QByteArray data = f.readAll();
    events = feedsim::ParseRecording(std::string_view(data.constData(), static_cast<std::size_t>(data.size())), rateN);
  } else {
    feedsim::TSessionConfig c;
    c.karts = static_cast<int>(kartsN);
    c.seed = static_cast<std::uint32_t>(seedN);
    c.practiceSeconds = static_cast<int>(practiceN);
    c.qualifyingSeconds = static_cast<int>(qualifyingN);
    c.raceLaps = static_cast<int>(lapsN);
    events = feedsim::SimulateSessions(c);
  }

  std::FILE* recordFile = nullptr;
  if (cli.isSet(record)) {
    recordFile = std::fopen(cli.value(record).toLocal8Bit().constData(), "ab");
    if (recordFile == nullptr) return fail("cannot open the --record file for appending");
  }
  TFeedServer server(std::move(events), speedN, cli.isSet(loop), cli.isSet(waitClient), recordFile);
  if (!server.Listen(address, static_cast<quint16>(portN))) return fail("cannot listen on that address and port");
  std::printf("listening on %s:%u\n", address.toString().toLocal8Bit().constData(), server.Port());
  std::fflush(stdout);
  server.Start();
  return QCoreApplication::exec();
}
