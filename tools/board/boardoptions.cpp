#include "boardoptions.h"

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QHostAddress>

TBoardOptionsResult ParseBoardOptions(const QStringList& arguments) {
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
  const QCommandLineOption baudOpt(QStringLiteral("baud"),
                                   QStringLiteral("read and write no faster than a line at this rate (bits/s)"),
                                   QStringLiteral("rate"), QStringLiteral("0"));
  cli.addOptions({ptyOpt, linkOpt, idOpt, fwOpt, addrOpt, stateOpt, snapOpt, hbOpt, baudOpt});
  cli.process(arguments);  // --help and unknown options end the program here

  TBoardOptionsResult result;
  auto fail = [&result](const char* text) {
    result.error = QString::fromUtf8(text);
    return result;
  };
  TBoardOptions o;
  bool ok = false;
  o.config.boardId = cli.value(idOpt).toInt(&ok);
  if (!ok) return fail("--board-id needs an integer");
  const QStringList fw = cli.value(fwOpt).split(QLatin1Char('.'));
  if (fw.size() != 3) return fail("--firmware needs a.b.c");
  std::uint8_t* parts[] = {&o.config.firmwareMajor, &o.config.firmwareMinor, &o.config.firmwarePatch};
  for (int i = 0; i < 3; ++i) {
    const uint v = fw[i].toUInt(&ok);
    if (!ok || v > 255) return fail("--firmware parts are 0..255");
    *parts[i] = static_cast<std::uint8_t>(v);
  }
  if (cli.isSet(addrOpt)) {
    QHostAddress a;
    if (!a.setAddress(cli.value(addrOpt)) || a.protocol() != QAbstractSocket::IPv4Protocol) {
      return fail("--address needs a.b.c.d");
    }
    const quint32 host = a.toIPv4Address();  // first octet in the highest byte
    o.config.address = ((host >> 24) & 0xFF) | ((host >> 8) & 0xFF00) | ((host << 8) & 0xFF0000) | (host << 24);
  }
  o.heartbeatMs = cli.value(hbOpt).toInt(&ok);
  if (!ok || o.heartbeatMs < 50 || o.heartbeatMs > 2000) return fail("--heartbeat-ms is 50..2000");
  o.baud = cli.value(baudOpt).toInt(&ok);
  if (!ok || o.baud < 0 || (o.baud > 0 && o.baud < 300)) return fail("--baud is 300 or more (0: unpaced)");
  if (cli.isSet(ptyOpt)) {
    o.ptyNumber = cli.value(ptyOpt).toInt(&ok);
    if (!ok || o.ptyNumber < 1 || o.ptyNumber > 255) return fail("--pty needs a port number 1..255");
  } else if (cli.positionalArguments().size() == 1) {
    o.device = cli.positionalArguments().first();
  } else {
    return fail("give a serial device or --pty N");
  }
  o.linkFolder = cli.value(linkOpt);
  o.statePath = cli.value(stateOpt);
  o.snapshotPath = cli.value(snapOpt);
  result.options = o;
  return result;
}
