// The stand-in controller library, loaded by name as the proxy loads it,
// against a pseudo-terminal standing in for the board's serial port.
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <functional>
#include <optional>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#ifndef _WIN32
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>
#endif

#include "boardprotocol.h"
#include "exchange/scoreboardcontroller.h"
#include "exchangetestsupport.h"
#include "platform/comports.h"
#include "platform/dynamiclibrary.h"

namespace {

using namespace std::chrono_literals;
using exchangetest::TestWindow;
using exchangetest::WaitUntil;
namespace bp = boardprotocol;

class ControllerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_TRUE(library.Load("scoreboardcontroller.dll")) << "controller library not found beside the test";
    create = library.GetSymbol<TCreateScoreboardController>(kCreateScoreboardControllerExport);
    destroy = library.GetSymbol<TDeleteScoreboardController>(kDeleteScoreboardControllerExport);
    ASSERT_NE(create, nullptr);
    ASSERT_NE(destroy, nullptr);
    ASSERT_EQ(create(&controller, window.Handle()), 1);
    ASSERT_NE(controller, nullptr);
  }
  void TearDown() override {
    if (controller != nullptr) Delete();
  }
  void Delete() {
    // Deleting joins the board-link thread, which may be posting meanwhile.
    std::atomic<bool> done{false};
    std::thread deleter([&] {
      destroy(&controller);
      done = true;
    });
    WaitUntil(
        window, [&] { return done.load(); }, 10s);
    deleter.join();
    EXPECT_EQ(controller, nullptr);
  }
  int States(TScoreboardState state) { return window.Count(WM_SCOREBOARD_STATE, static_cast<std::uintptr_t>(state)); }

  TestWindow window;
  platform::DynamicLibrary library;
  TCreateScoreboardController create = nullptr;
  TDeleteScoreboardController destroy = nullptr;
  ScoreboardController* controller = nullptr;
};

TEST_F(ControllerTest, PortsThatCannotBeOpenedReportDisconnected) {
  controller->OpenPort(1, "COM250", 115200);  // no such device on any machine of ours
  EXPECT_TRUE(WaitUntil(window, [&] { return States(bsDisconnected) == 1; }));
  controller->OpenPort(1, "LPT1", 115200);
  EXPECT_TRUE(WaitUntil(window, [&] { return States(bsDisconnected) == 2; }));
  controller->OpenPort(1, nullptr, 115200);
  EXPECT_TRUE(WaitUntil(window, [&] { return States(bsDisconnected) == 3; }));
  // Operations without a port go nowhere and do not fail.
  EXPECT_EQ(controller->ClearBoard(1), 1);
  EXPECT_EQ(States(bsConnected), 0);
}

TEST_F(ControllerTest, CallsFromTwoThreadsAtOnceNeverBlockLong) {
  std::atomic<bool> stop{false};
  std::atomic<long long> slowest{0};
  std::atomic<long long> calls{0};
  std::atomic<long long> overOneMs{0};
  auto hammer = [&](int base) {
    const std::uint8_t picture[8 * 16] = {0xAA};
    int i = 0;
    while (!stop) {
      const auto begin = std::chrono::steady_clock::now();
      switch (i++ % 6) {
        case 0:
          controller->ClearBoard(0);
          break;
        case 1:
          controller->SetRow(1, base + i % 20, i, 60000, 61000, i % 40, 0, 0, 0, u"Имя");
          break;
        case 2:
          controller->Show(i & 1, 1);
          break;
        case 3:
          controller->SetBrightness(1 + i % 16);
          break;
        case 4:
          controller->ShowPicture(picture, 64, 16, 0, 0);
          break;
        case 5:
          if (i % 600 == 0) {
            controller->OpenPort(1, "COM250", 115200);
          } else {
            controller->SetRaceTime(i);
          }
          break;
      }
      const long long us =
          std::chrono::duration_cast<std::chrono::microseconds>(std::chrono::steady_clock::now() - begin).count();
      ++calls;
      if (us > 1000) ++overOneMs;
      long long seen = slowest.load();
      while (us > seen && !slowest.compare_exchange_weak(seen, us)) {
      }
    }
  };
  std::thread a(hammer, 0);
  std::thread b(hammer, 100);
  WaitUntil(
      window, [] { return false; }, 400ms);
  stop = true;
  a.join();
  b.join();
  // A figure, not a check: on a loaded machine a preempted lock holder shows here.
  std::printf("controller calls: %lld, over 1 ms: %lld, slowest: %lld us\n", calls.load(), overOneMs.load(),
              slowest.load());
  Delete();
  EXPECT_GE(States(bsDisconnected), 1);
}

#ifndef _WIN32

// A pseudo-terminal pair; the controller opens the slave through a COM link.
class PtyControllerTest : public ControllerTest {
 protected:
  void SetUp() override {
    ControllerTest::SetUp();
    if (HasFatalFailure()) return;
    master = ::posix_openpt(O_RDWR | O_NOCTTY);
    ASSERT_GE(master, 0);
    ASSERT_EQ(::grantpt(master), 0);
    ASSERT_EQ(::unlockpt(master), 0);
    slavePath = ::ptsname(master);
    // The controller resolves "COMn" through the same link folder as the proxy.
    portNumber = 700 + static_cast<int>(::getpid() % 200);
    std::filesystem::create_directories(platform::ComLinkFolder());
    link = platform::ComLinkFolder() / ("COM" + std::to_string(portNumber));
    std::filesystem::remove(link);
    std::filesystem::create_symlink(slavePath, link);
  }
  void TearDown() override {
    ControllerTest::TearDown();
    if (master >= 0) ::close(master);
    std::error_code ignored;
    std::filesystem::remove(link, ignored);
  }
  std::string PortName() const { return "COM" + std::to_string(portNumber); }

  // Hands every message the controller writes to `take` until it returns
  // true (then true) or the time is up.
  bool ReadFrames(const std::function<bool(const bp::TMessage&)>& take, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::uint8_t buffer[4096];
    while (std::chrono::steady_clock::now() < deadline) {
      pollfd p{master, POLLIN, 0};
      if (::poll(&p, 1, 20) <= 0) continue;
      const ssize_t n = ::read(master, buffer, sizeof buffer);
      if (n <= 0) continue;
      decoder.Feed(buffer, static_cast<std::size_t>(n));
      while (auto frame = decoder.Next()) {
        auto message = bp::DecodePayload(*frame);
        EXPECT_TRUE(message.has_value()) << "undecodable frame of type " << int(frame->type);
        if (message && take(*message)) return true;
      }
    }
    return false;
  }
  // The next `want` messages other than the board query.
  std::vector<bp::TMessage> ReadMessages(std::size_t want, std::chrono::milliseconds timeout = 3000ms) {
    std::vector<bp::TMessage> out;
    ReadFrames(
        [&](const bp::TMessage& m) {
          if (!std::holds_alternative<bp::TQueryMsg>(m)) out.push_back(m);
          return out.size() >= want;
        },
        timeout);
    return out;
  }
  // Waits for the controller's Query: it has the port open and asks who is there.
  bool WaitForQuery(std::chrono::milliseconds timeout = 3000ms) {
    return ReadFrames([](const bp::TMessage& m) { return std::holds_alternative<bp::TQueryMsg>(m); }, timeout);
  }
  // Plays the board: waits for the Query and says hello.
  void AnswerAsBoard(std::int32_t boardId = 1) {
    ASSERT_TRUE(WaitForQuery()) << "the controller never asked for the board";
    bp::THelloMsg hello;
    hello.boardId = boardId;
    WriteToController(hello);
  }
  void WriteToController(const bp::TMessage& message) {
    std::vector<std::uint8_t> bytes;
    ASSERT_TRUE(bp::AppendMessage(bytes, message, 1));
    ASSERT_EQ(::write(master, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }

  int master = -1;
  std::string slavePath;
  int portNumber = 0;
  std::filesystem::path link;
  bp::TFrameDecoder decoder;
};

TEST_F(PtyControllerTest, OpensThePortRawAt115200AndSendsOperationsInOrder) {
  controller->OpenPort(1, PortName().c_str(), 115200);
  controller->ClearBoard(0);
  controller->SetRow(1, 1, 22, 59999, 62333, 7, 0, 0, 0, u"Имя_11");
  controller->SetRow(1, 2, 23, 0, 0, 0, 0, -2, 0, nullptr);
  controller->Show(1, 1);
  controller->SetRaceTime(65);
  // Given before the board answered: the board gets it once it does, the
  // push as one whole table frame, then the clock.
  AnswerAsBoard();
  auto messages = ReadMessages(2);
  ASSERT_EQ(messages.size(), 2u);
  ASSERT_TRUE(std::holds_alternative<bp::TTablePushMsg>(messages[0]));
  const auto& table = std::get<bp::TTablePushMsg>(messages[0]);
  EXPECT_EQ(table.flags, bp::TTablePushMsg::tpBegin | bp::TTablePushMsg::tpEnd | bp::TTablePushMsg::tpFullRefresh);
  EXPECT_EQ(table.mode, 1);
  ASSERT_EQ(table.rows.size(), 2u);
  const bp::TRowData& row = table.rows[0];
  EXPECT_EQ(row.row, 1);
  EXPECT_EQ(row.number, 22);
  EXPECT_EQ(row.lastLapTime, 62333);
  EXPECT_EQ(row.name, "Имя_11");
  EXPECT_EQ(table.rows[1].raceGap, -2);
  EXPECT_EQ(table.rows[1].name, "");
  ASSERT_TRUE(std::holds_alternative<bp::TSetRaceTimeMsg>(messages[1]));
  EXPECT_EQ(std::get<bp::TSetRaceTimeMsg>(messages[1]).seconds, 65);

  termios tio{};
  ASSERT_EQ(::tcgetattr(master, &tio), 0);
  EXPECT_EQ(::cfgetospeed(&tio), static_cast<speed_t>(B115200));
  EXPECT_EQ(tio.c_cflag & CSIZE, static_cast<tcflag_t>(CS8));
  EXPECT_EQ(tio.c_cflag & (PARENB | CSTOPB), 0u);
  EXPECT_EQ(tio.c_lflag & (ICANON | ECHO), 0u) << "the port is not raw";
  EXPECT_EQ(States(bsDisconnected), 0);
}

TEST_F(PtyControllerTest, PictureArrivesWholeAndBadWidthsAreRefused) {
  controller->OpenPort(1, PortName().c_str(), 115200);
  AnswerAsBoard();
  std::vector<std::uint8_t> bits(64 / 8 * 32);
  for (std::size_t i = 0; i < bits.size(); ++i) bits[i] = static_cast<std::uint8_t>(i * 37);
  EXPECT_EQ(controller->ShowPicture(bits.data(), 60, 32, 0, 0), 0) << "rows must be whole bytes";
  EXPECT_EQ(controller->ShowPicture(nullptr, 64, 32, 0, 0), 0);
  EXPECT_EQ(controller->ShowPicture(bits.data(), 64, 32, 0, 0), 1);
  controller->SetRaceTime(1);  // marks the end of what the picture sent
  bp::TPictureAssembler assembler;
  std::optional<bp::TPictureAssembler::TPicture> picture;
  for (const auto& m : ReadMessages(2)) {  // a small picture is one chunk; then the clock
    if (const auto* chunk = std::get_if<bp::TPictureChunkMsg>(&m)) {
      if (auto done = assembler.Add(*chunk)) picture = done;
    }
  }
  ASSERT_TRUE(picture.has_value()) << "the picture did not arrive whole";
  EXPECT_EQ(picture->width, 64);
  EXPECT_EQ(picture->height, 32);
  EXPECT_EQ(picture->bits, bits);
}

TEST_F(PtyControllerTest, BoardAnswersBecomeConnectedAndAddress) {
  controller->OpenPort(1, PortName().c_str(), 115200);
  ASSERT_TRUE(WaitForQuery());  // the port is open
  bp::THelloMsg hello;
  hello.boardId = 42;
  hello.address = 0x0100A8C0u;  // 192.168.0.1
  WriteToController(hello);
  ASSERT_TRUE(WaitUntil(window, [&] { return States(bsConnected) >= 1 && States(bsAddress) == 1; }));
  for (const auto& m : window.Messages()) {
    if (m.message != WM_SCOREBOARD_STATE) continue;
    if (m.wParam == bsConnected) {
      EXPECT_EQ(m.lParam, 42);
    }
    if (m.wParam == bsAddress) {
      EXPECT_EQ(static_cast<std::uint32_t>(m.lParam), 0x0100A8C0u);
    }
  }
  // Silence from the board is a lost link.
  EXPECT_TRUE(WaitUntil(
      window, [&] { return States(bsDisconnected) == 1; }, 6000ms));
}

TEST_F(PtyControllerTest, APortThatGoesAwayReportsDisconnected) {
  controller->OpenPort(1, PortName().c_str(), 115200);
  ASSERT_TRUE(WaitForQuery());
  ::close(master);  // the adapter is unplugged
  master = -1;
  for (int i = 0; i < 20 && States(bsDisconnected) == 0; ++i) {
    controller->SetRaceTime(i);
    WaitUntil(
        window, [] { return false; }, 50ms);
  }
  EXPECT_EQ(States(bsDisconnected), 1);
}

TEST_F(PtyControllerTest, ABoardThatComesBackOnANewDeviceIsFoundAgain) {
  controller->OpenPort(1, PortName().c_str(), 115200);
  controller->SetBrightness(5);
  controller->ClearBoard(0);
  controller->SetRow(1, 1, 95, 39180, 40897, 10, 0, 0, 0, u"Новиков");
  controller->Show(0, 1);
  controller->SetRaceTime(457);
  AnswerAsBoard(7);
  ASSERT_EQ(ReadMessages(3).size(), 3u);
  ASSERT_TRUE(WaitUntil(window, [&] { return States(bsConnected) >= 1; }));
  bp::THelloMsg hello;
  hello.boardId = 7;

  // The board restarts: its old device is gone and the same COM name now
  // leads to a new one.
  ::close(master);
  master = ::posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(::grantpt(master), 0);
  ASSERT_EQ(::unlockpt(master), 0);
  std::filesystem::remove(link);
  std::filesystem::create_symlink(::ptsname(master), link);
  decoder.Reset();
  ASSERT_TRUE(WaitUntil(
      window, [&] { return States(bsDisconnected) == 1; }, 6000ms));

  // The controller opens the new device and asks the board to introduce itself.
  const int connectedBefore = States(bsConnected);
  const bool queried = WaitForQuery(6s);
  ASSERT_TRUE(queried) << "the controller never opened the new device";
  WriteToController(hello);
  EXPECT_TRUE(WaitUntil(window, [&] { return States(bsConnected) > connectedBefore; }));
  // The board that came back is given what it showed, without waiting for
  // the next change of the standings.
  const auto replay = ReadMessages(3);
  ASSERT_EQ(replay.size(), 3u);
  EXPECT_EQ(std::get<bp::TSetBrightnessMsg>(replay[0]).level, 5);
  ASSERT_TRUE(std::holds_alternative<bp::TTablePushMsg>(replay[1]));
  EXPECT_EQ(std::get<bp::TTablePushMsg>(replay[1]).rows.at(0).name, "Новиков");
  EXPECT_TRUE(std::get<bp::TTablePushMsg>(replay[1]).flags & bp::TTablePushMsg::tpFullRefresh);
  EXPECT_EQ(std::get<bp::TSetRaceTimeMsg>(replay[2]).seconds, 457);
  EXPECT_EQ(States(bsDisconnected), 1) << "one loss, one report";
}

TEST_F(PtyControllerTest, AFileThatIsNotASerialDeviceIsRefused) {
  const auto plain = std::filesystem::temp_directory_path() / ("brelvo-notatty-" + std::to_string(::getpid()));
  {
    std::FILE* f = std::fopen(plain.string().c_str(), "w");
    ASSERT_NE(f, nullptr);
    std::fclose(f);
  }
  std::filesystem::remove(link);
  std::filesystem::create_symlink(plain, link);
  controller->OpenPort(1, PortName().c_str(), 115200);
  EXPECT_TRUE(WaitUntil(window, [&] { return States(bsDisconnected) == 1; }));
  std::filesystem::remove(plain);
}

#endif  // !_WIN32

#ifdef _WIN32

// Run by wine_com.sh: BRELVO_WINE_COM names two COM ports joined by a null
// modem of pseudo-terminals. The test plays the board on the second.
class WineComPort : public ControllerTest {
 protected:
  void SetUp() override {
    const char* ports = std::getenv("BRELVO_WINE_COM");
    if (ports == nullptr || std::sscanf(ports, "%d,%d", &controllerPort, &boardPort) != 2) {
      GTEST_SKIP() << "needs two joined COM ports: run through tests/controller/wine_com.sh";
    }
    ControllerTest::SetUp();
    if (HasFatalFailure()) return;
    const std::string device = "\\\\.\\COM" + std::to_string(boardPort);
    board = ::CreateFileA(device.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(board, INVALID_HANDLE_VALUE) << "cannot open " << device;
    COMMTIMEOUTS t{};
    t.ReadIntervalTimeout = MAXDWORD;  // reads return at once
    ASSERT_TRUE(::SetCommTimeouts(board, &t));
  }
  void TearDown() override {
    ControllerTest::TearDown();
    if (board != INVALID_HANDLE_VALUE) ::CloseHandle(board);
  }
  // The next message of type M from the controller, within 10 s.
  template <class M>
  std::optional<M> Next() {
    const auto deadline = std::chrono::steady_clock::now() + 10s;
    while (std::chrono::steady_clock::now() < deadline) {
      while (auto frame = decoder.Next()) {
        auto message = bp::DecodePayload(*frame);
        if (message && std::holds_alternative<M>(*message)) return std::get<M>(*message);
      }
      std::uint8_t buffer[4096];
      DWORD got = 0;
      if (::ReadFile(board, buffer, sizeof buffer, &got, nullptr) && got > 0) {
        decoder.Feed(buffer, got);
      } else {
        window.Pump();
        ::Sleep(10);
      }
    }
    return std::nullopt;
  }
  void Answer(const bp::TMessage& message) {
    std::vector<std::uint8_t> bytes;
    bp::AppendMessage(bytes, message, 1);
    DWORD written = 0;
    // The count is not checked: wine may report 0 for bytes that went.
    ASSERT_TRUE(::WriteFile(board, bytes.data(), static_cast<DWORD>(bytes.size()), &written, nullptr));
  }

  int controllerPort = 0;
  int boardPort = 0;
  HANDLE board = INVALID_HANDLE_VALUE;
  bp::TFrameDecoder decoder;
};

TEST_F(WineComPort, TheBoardRoadRunsOverAPseudoTerminalMappedToCom) {
  controller->ClearBoard(0);
  controller->SetRow(1, 1, 22, 59999, 62333, 7, 0, 0, 0, u"Имя_11");
  controller->Show(0, 1);
  controller->OpenPort(1, ("COM" + std::to_string(controllerPort)).c_str(), 115200);
  ASSERT_TRUE(Next<bp::TQueryMsg>().has_value()) << "the controller never asked for the board";
  bp::THelloMsg hello;
  hello.boardId = 6;
  Answer(hello);
  // The table given before the port was opened, whole, in one frame.
  const auto table = Next<bp::TTablePushMsg>();
  ASSERT_TRUE(table.has_value());
  ASSERT_EQ(table->rows.size(), 1u);
  EXPECT_EQ(table->rows[0].name, "Имя_11");
  EXPECT_TRUE(WaitUntil(
      window, [&] { return States(bsConnected) >= 1; }, 10s));
  for (const auto& m : window.Messages()) {
    if (m.message == WM_SCOREBOARD_STATE && m.wParam == bsConnected) {
      EXPECT_EQ(m.lParam, 6);
    }
  }
  // Later operations follow: the line carries on both ways.
  controller->SetRaceTime(321);
  const auto clock = Next<bp::TSetRaceTimeMsg>();
  ASSERT_TRUE(clock.has_value());
  EXPECT_EQ(clock->seconds, 321);
  EXPECT_EQ(States(bsDisconnected), 0);
}

#endif  // _WIN32

}  // namespace
