// Drives a real brelvo-board process through its pseudo-terminal, as the
// controller library would, and reads back what it reports to show.
#include <QByteArray>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <chrono>
#include <fcntl.h>
#include <filesystem>
#include <functional>
#include <signal.h>
#include <termios.h>
#include <thread>
#include <unistd.h>

#include <gtest/gtest.h>
#include <sys/wait.h>

#include "boardprotocol.h"

namespace bp = boardprotocol;
namespace fs = std::filesystem;
using namespace std::chrono_literals;

namespace {

bool WaitFor(const std::function<bool()>& condition, std::chrono::milliseconds limit = 10s) {
  const auto end = std::chrono::steady_clock::now() + limit;
  while (std::chrono::steady_clock::now() < end) {
    if (condition()) return true;
    std::this_thread::sleep_for(20ms);
  }
  return condition();
}

class BoardProcess : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("brelvo-board-test-" + std::to_string(::getpid()));
    fs::remove_all(dir_);
    fs::create_directories(dir_);
    state_ = dir_ / "state.json";
    snapshot_ = dir_ / "board.png";
    link_ = dir_ / "COM42";
    pid_ = ::fork();
    ASSERT_GE(pid_, 0);
    if (pid_ == 0) {
      ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
      const std::string link = dir_.string(), state = state_.string(), snap = snapshot_.string();
      ::execl(BRELVO_BOARD_EXE, BRELVO_BOARD_EXE, "--pty", "42", "--link-folder", link.c_str(), "--state",
              state.c_str(), "--snapshot", snap.c_str(), "--board-id", "5", "--firmware", "1.2.3", "--address",
              "10.1.2.3", "--heartbeat-ms", "200", static_cast<char*>(nullptr));
      ::_exit(127);
    }
    ASSERT_TRUE(WaitFor([&] { return fs::is_symlink(link_); })) << "board never published " << link_;
    fd_ = ::open(link_.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    ASSERT_GE(fd_, 0);
    termios tio{};
    ASSERT_EQ(::tcgetattr(fd_, &tio), 0);
    ::cfmakeraw(&tio);
    ASSERT_EQ(::tcsetattr(fd_, TCSANOW, &tio), 0);
  }

  void TearDown() override {
    if (fd_ >= 0) ::close(fd_);
    if (pid_ > 0) {
      ::kill(pid_, SIGTERM);
      int status = 0;
      ::waitpid(pid_, &status, 0);
    }
    fs::remove_all(dir_);
  }

  void Write(const std::vector<std::uint8_t>& bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
      const ssize_t n = ::write(fd_, bytes.data() + done, bytes.size() - done);
      if (n > 0)
        done += static_cast<std::size_t>(n);
      else
        std::this_thread::sleep_for(5ms);
    }
  }

  // Collects frames from the board until `want` says stop or time runs out.
  bool ReadUntil(const std::function<bool(const bp::TMessage&)>& want, std::chrono::milliseconds limit = 5s) {
    return WaitFor(
        [&] {
          std::uint8_t buf[512];
          ssize_t n;
          while ((n = ::read(fd_, buf, sizeof buf)) > 0) decoder_.Feed(buf, static_cast<std::size_t>(n));
          while (auto f = decoder_.Next()) {
            if (auto m = bp::DecodePayload(*f); m && want(*m)) return true;
          }
          return false;
        },
        limit);
  }

  QJsonObject State() {
    QFile f(QString::fromStdString(state_.string()));
    if (!f.open(QIODevice::ReadOnly)) return {};
    return QJsonDocument::fromJson(f.readAll()).object();
  }

  fs::path dir_, state_, snapshot_, link_;
  pid_t pid_ = -1;
  int fd_ = -1;
  bp::TFrameDecoder decoder_;
};

}  // namespace

TEST_F(BoardProcess, AnswersTheProtocolAndReportsWhatItShows) {
  // Hello on request, with the configured identity.
  std::vector<std::uint8_t> wire;
  bp::AppendMessage(wire, bp::TQueryMsg{}, 0);
  Write(wire);
  bp::THelloMsg hello;
  ASSERT_TRUE(ReadUntil([&](const bp::TMessage& m) {
    if (!std::holds_alternative<bp::THelloMsg>(m)) return false;
    hello = std::get<bp::THelloMsg>(m);
    return true;
  }));
  EXPECT_EQ(hello.boardId, 5);
  EXPECT_EQ(hello.firmwarePatch, 3);
  EXPECT_EQ(hello.address, 10u | (1u << 8) | (2u << 16) | (3u << 24));
  EXPECT_TRUE(ReadUntil([](const bp::TMessage& m) { return std::holds_alternative<bp::THeartbeatMsg>(m); }));

  // Garbage on the line, then a table push and the clock.
  wire.assign({0x00, 0xB7, 0x13, 0x5A, 0xB7});
  std::vector<bp::TRowData> rows = {{1, 1, 7, 41234, 42001, 12, 500000, 0, 0, "Попов Андрей"},
                                    {1, 2, 12, 41500, 42999, 12, 501234, 1234, 0, "Иванов Дмитрий"},
                                    {1, 3, 3, 43000, 44000, 11, 499000, -1, 0, ""}};
  std::uint8_t seq = 1;
  bp::AppendTablePush(wire, rows, 1, 1, seq);
  bp::AppendMessage(wire, bp::TSetRaceTimeMsg{3725}, seq++);
  bp::AppendMessage(wire, bp::TSetBrightnessMsg{5}, seq++);
  Write(wire);
  ASSERT_TRUE(WaitFor([&] { return State().value(QStringLiteral("clockSeconds")).toInt() == 3725; }));
  QJsonObject s = State();
  EXPECT_EQ(s.value(QStringLiteral("display")).toString(), QStringLiteral("table"));
  EXPECT_EQ(s.value(QStringLiteral("mode")).toInt(), 1);
  EXPECT_EQ(s.value(QStringLiteral("fullRefresh")).toInt(), 1);
  EXPECT_EQ(s.value(QStringLiteral("clock")).toString(), QStringLiteral("1:02:05"));
  EXPECT_EQ(s.value(QStringLiteral("brightness")).toInt(), 5);
  const QJsonArray shown = s.value(QStringLiteral("rows")).toArray();
  ASSERT_EQ(shown.size(), 3);
  EXPECT_EQ(shown[0].toObject().value(QStringLiteral("name")).toString(), QStringLiteral("Попов Андрей"));
  EXPECT_EQ(shown[1].toObject().value(QStringLiteral("gapText")).toString(), QStringLiteral("+ 1.234"));
  EXPECT_EQ(shown[2].toObject().value(QStringLiteral("gapText")).toString(), QStringLiteral("1 кр"));
  EXPECT_EQ(shown[2].toObject().value(QStringLiteral("name")).toString(), QString());

  // Lights and a blank board.
  wire.clear();
  bp::AppendMessage(wire, bp::TFinishLightMsg{}, seq++);
  Write(wire);
  ASSERT_TRUE(WaitFor([&] { return State().value(QStringLiteral("display")).toString() == QStringLiteral("finish"); }));
  wire.clear();
  bp::AppendMessage(wire, bp::TClearBoardMsg{1}, seq++);
  Write(wire);
  ASSERT_TRUE(WaitFor([&] { return State().value(QStringLiteral("blank")).toBool(); }));
  EXPECT_GE(State().value(QStringLiteral("link")).toObject().value(QStringLiteral("acksSent")).toInt(), 6);

  // On exit the board removes its link and leaves a snapshot.
  ::kill(pid_, SIGTERM);
  int status = 0;
  ASSERT_EQ(::waitpid(pid_, &status, 0), pid_);
  pid_ = -1;
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
  EXPECT_FALSE(fs::exists(fs::symlink_status(link_)));
  ASSERT_TRUE(fs::exists(snapshot_));
  EXPECT_GT(fs::file_size(snapshot_), 100u);
}
