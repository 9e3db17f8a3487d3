// Runs brelvo-feed as a process and talks to it over TCP as the proxy does.
#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QThread>
#include <memory>

#include <gtest/gtest.h>

namespace {

class FeedProcess : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    static int argc = 1;
    static char name[] = "test_feed";
    static char* argv[] = {name, nullptr};
    if (!QCoreApplication::instance()) new QCoreApplication(argc, argv);
  }

  void TearDown() override {
    if (process_.state() != QProcess::NotRunning) {
      process_.terminate();
      if (!process_.waitForFinished(3000)) process_.kill();
      process_.waitForFinished(3000);
    }
  }

  // Starts the server on a free port and returns that port (0 on failure).
  quint16 Start(const QStringList& args) {
    process_.setProgram(QStringLiteral(BRELVO_FEED_EXE));
    process_.setArguments(QStringList{QStringLiteral("--port"), QStringLiteral("0")} + args);
    process_.setProcessChannelMode(QProcess::SeparateChannels);
    process_.start();
    if (!process_.waitForStarted(5000)) return 0;
    QElapsedTimer t;
    t.start();
    while (t.elapsed() < 10000) {
      if (process_.canReadLine() || process_.waitForReadyRead(200)) {
        const QByteArray line = process_.readLine().trimmed();
        const qsizetype colon = line.lastIndexOf(':');
        if (line.startsWith("listening on") && colon > 0) return static_cast<quint16>(line.mid(colon + 1).toUInt());
      }
      if (process_.state() == QProcess::NotRunning) return 0;
    }
    return 0;
  }

  static std::unique_ptr<QTcpSocket> Connect(quint16 port) {
    auto s = std::make_unique<QTcpSocket>();
    s->connectToHost(QStringLiteral("127.0.0.1"), port);
    EXPECT_TRUE(s->waitForConnected(5000));
    return s;
  }

  // Reads whole lines until `count` arrived or time runs out.
  static QList<QByteArray> Lines(QTcpSocket& s, int count, int timeoutMs = 10000) {
    QList<QByteArray> lines;
    QElapsedTimer t;
    t.start();
    while (lines.size() < count && t.elapsed() < timeoutMs) {
      if (!s.canReadLine()) s.waitForReadyRead(100);
      while (s.canReadLine() && lines.size() < count) lines.append(s.readLine());
    }
    return lines;
  }

  QProcess process_;
};

}  // namespace

TEST_F(FeedProcess, ServesSeveralClientsAndSurvivesDisconnects) {
  const quint16 port = Start({QStringLiteral("--speed"), QStringLiteral("50"), QStringLiteral("--karts"),
                              QStringLiteral("5"), QStringLiteral("--loop"), QStringLiteral("--wait-for-client")});
  ASSERT_NE(port, 0);
  auto a = Connect(port);
  auto b = Connect(port);
  const auto first = Lines(*a, 40);
  ASSERT_EQ(first.size(), 40);
  EXPECT_TRUE(first[0].startsWith("$I"));
  EXPECT_TRUE(first[1].startsWith("$B"));
  for (int i = 2; i < 7; ++i) EXPECT_TRUE(first[i].startsWith("$A")) << first[i].constData();
  for (const auto& line : first) {
    EXPECT_TRUE(line.startsWith('$')) << line.constData();
    EXPECT_TRUE(line.endsWith("\r\n"));
  }
  EXPECT_EQ(Lines(*b, 20).size(), 20);

  // One client leaves; the other keeps receiving, and a newcomer is caught up.
  a->abort();
  a.reset();
  EXPECT_EQ(Lines(*b, 30).size(), 30);
  auto c = Connect(port);
  const auto late = Lines(*c, 7);
  ASSERT_EQ(late.size(), 7);
  EXPECT_TRUE(late[0].startsWith("$I"));
  EXPECT_TRUE(late[2].startsWith("$A"));
  EXPECT_EQ(process_.state(), QProcess::Running);
}

TEST_F(FeedProcess, ReplayKeepsTheRecordingsPacing) {
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  QFile file(dir.filePath(QStringLiteral("short.feed")));
  ASSERT_TRUE(file.open(QIODevice::WriteOnly));
  file.write(
      "\xEF\xBB\xBF##2026-01-01 10:00:00.000\n$F,1\r\n\n##2026-01-01 10:00:00.300\n$F,2\r\n"
      "##2026-01-01 10:00:01.500\n$F,3\r\n$F,4\r\n");
  file.close();
  const quint16 port = Start({QStringLiteral("--replay"), file.fileName(), QStringLiteral("--wait-for-client")});
  ASSERT_NE(port, 0);
  auto s = Connect(port);
  QElapsedTimer t;
  t.start();
  QList<QByteArray> lines;
  QList<qint64> at;
  while (lines.size() < 4 && t.elapsed() < 10000) {
    if (!s->canReadLine()) s->waitForReadyRead(10);
    while (s->canReadLine()) {
      lines.append(s->readLine());
      at.append(t.elapsed());
    }
  }
  ASSERT_EQ(lines, (QList<QByteArray>{"$F,1\r\n", "$F,2\r\n", "$F,3\r\n", "$F,4\r\n"}));
  // Relative spacing only, with generous bounds: 0.3 s, then 1.2 s.
  EXPECT_GT(at[2] - at[1], at[1] - at[0]);
  EXPECT_GE(at[2] - at[0], 1000);
  EXPECT_LT(at[2] - at[0], 6000);
  EXPECT_LT(at[3] - at[2], 200);  // one burst
}

// A replay left waiting for longer than the recording lasts still starts at
// its first line when the proxy connects (a late client's catch-up would
// have no "$J").
TEST_F(FeedProcess, ReplayWaitsForTheFirstClient) {
  QTemporaryDir dir;
  ASSERT_TRUE(dir.isValid());
  QFile file(dir.filePath(QStringLiteral("start.feed")));
  ASSERT_TRUE(file.open(QIODevice::WriteOnly));
  file.write(
      "##2026-01-01 10:00:00.000\n$J,\"7\",\"00:01:02.345\",\"00:10:00.000\"\r\n##2026-01-01 10:00:00.200\n$F,1\r\n");
  file.close();
  const quint16 port = Start({QStringLiteral("--replay"), file.fileName()});
  ASSERT_NE(port, 0);
  QThread::msleep(700);
  auto s = Connect(port);
  const auto lines = Lines(*s, 2);
  ASSERT_EQ(lines.size(), 2);
  EXPECT_EQ(lines[0], QByteArray("$J,\"7\",\"00:01:02.345\",\"00:10:00.000\"\r\n"));
  EXPECT_EQ(lines[1], QByteArray("$F,1\r\n"));
}
