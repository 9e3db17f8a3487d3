// Renders the main window as the operator sees it during a race: a loopback
// feed server replays a recording (or a few built-in lines) into a window
// that runs in a temporary program folder, then the window is saved as PNG.
//
//   brelvo-screenshot <output.png> [feed recording]
#include <QApplication>
#include <QFile>
#include <QPointer>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTimer>
#include <cstdio>
#include <fstream>

#include "faces/qt/qtmainform.h"
#include "faces/qt/qtresultslistview.h"
#include "faces/qt/qtresultsmodel.h"

namespace {

QByteArray SyntheticFeed() {
  // 8-bit text in the tracks' code page (Windows-1251).
  const char* lines[] = {
      "$I,\"00:00:00\",\"0/0/0000\"",
      "$A,\"7\",\"7\",1007,\"\xC8\xE2\xE0\xED\xEE\xE2\",\"\",\"\",1",
      "$A,\"12\",\"12\",1012,\"\xCF\xE5\xF2\xF0\xEE\xE2\",\"\",\"\",1",
      "$A,\"23\",\"23\",1023,\"\xD1\xE8\xE4\xEE\xF0\xEE\xE2\",\"\",\"\",1",
      "$F,9999,\"00:10:00\",\"14:05:00\",\"00:04:12\",\"Green \"",
      "$G,1,\"12\",4,\"00:04:01.250\"",
      "$G,2,\"7\",4,\"00:04:03.900\"",
      "$G,3,\"23\",3,\"00:04:08.400\"",
      "$H,1,\"12\",3,\"00:00:59.120\"",
      "$H,2,\"7\",2,\"00:00:59.870\"",
      "$H,3,\"23\",3,\"00:01:01.040\"",
      "$J,\"12\",\"00:01:00.250\",\"00:04:01.250\"",
  };
  QByteArray out;
  for (const char* line : lines) out += QByteArray(line) + "\r\n";
  return out;
}

}  // namespace

int main(int argc, char** argv) {
  QApplication application(argc, argv);
  if (argc < 2) {
    std::fprintf(stderr, "usage: brelvo-screenshot <output.png> [feed recording]\n");
    return 2;
  }
  const QString output = QString::fromLocal8Bit(argv[1]);
  QByteArray feed;
  if (argc > 2) {
    QFile file(QString::fromLocal8Bit(argv[2]));
    if (file.open(QIODevice::ReadOnly)) feed = file.readAll();
  }
  if (feed.isEmpty()) feed = SyntheticFeed();

  // The recording's bursts (each headed by a "##" time stamp), replayed one
  // every 20 ms so the board pushes happen as they did at the track.
  QList<QByteArray> bursts;
  for (const QByteArray& line : feed.split('\n')) {
    if (line.startsWith("##") || bursts.isEmpty()) bursts.append(QByteArray());
    bursts.last() += line + '\n';
  }
  QTcpServer server;
  if (!server.listen(QHostAddress::LocalHost)) return 1;
  QPointer<QTcpSocket> socket;
  QObject::connect(&server, &QTcpServer::newConnection, &server, [&] { socket = server.nextPendingConnection(); });
  bool feeding = true;
  qsizetype next = 0;
  QTimer replay;
  QObject::connect(&replay, &QTimer::timeout, &server, [&] {
    if (!feeding || socket == nullptr || next >= bursts.size()) return;
    socket->write(bursts[next++]);
    socket->flush();
  });
  replay.start(20);

  QTemporaryDir folder;
  std::ofstream(folder.filePath(QStringLiteral("scoreboard.ini")).toStdString())
      << "Host: 127.0.0.1\nPort: " << server.serverPort() << "\nScoreboardMode:1\nBrightness:12\nComPort:33\n";

  TQtMainFormEnvironment environment;
  environment.console.programFolder = folder.path().toStdString();
  environment.console.webPort = 0;
  environment.console.libraryName = "brelvo-no-board.dll";  // the picture shows a proxy without its board
  environment.trayAvailable = false;
  environment.console.enumerateSerialPorts = [](platform::TSerialPortInfo*, int& count) {
    count = 0;
    return 1;
  };
  TQtMainForm form(std::move(environment));
  form.SetChecked(TControlId::cbScoreboardLog, true);
  form.Console().FormCreate();
  form.show();

  int result = 1;
  int waited = 0;
  int settled = 0;
  QTimer poll;
  QObject::connect(&poll, &QTimer::timeout, &form, [&] {
    waited += 100;
    TQtResultsModel* model = form.ResultsModel();
    // Rows with lap times and gaps: the race is under way.
    const bool running = model->rowCount() >= 8 && !model->index(6, 3).data().toString().trimmed().isEmpty() &&
                         !model->index(6, 5).data().toString().trimmed().isEmpty();
    const bool populated = running || (next >= bursts.size() && waited > 3000);
    if (!populated && waited < 30000) return;
    // Hold the feed, let the last burst land, then pick a row and render.
    feeding = false;
    if (++settled < 5) return;
    form.findChild<TQtResultsListView*>(QStringLiteral("lvScoreboard"))->selectRow(1);
    result = form.grab().save(output, "PNG") && form.ResultsModel()->rowCount() > 0 ? 0 : 1;
    QApplication::quit();
  });
  poll.start(100);
  QApplication::exec();
  return result;
}
