// End-to-end latency of the board road: this program is the timing
// application's feed server; the real brelvo-proxy connects to it and drives
// the real brelvo-board through the stand-in controller and a pseudo-
// terminal. Each sample sends one green "$F" with a new clock value at a
// random moment and waits (inotify on the board's state file) until the
// board reports that clock. Prints p50, p99 and max, and the bytes a 30-row
// table push takes on the serial line as the board counted them.
//
//   bench_e2e [samples]        (default 300)
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <map>
#include <memory>
#include <poll.h>
#include <random>
#include <string>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/inotify.h>
#include <sys/socket.h>

#include "boardprotocol.h"
#include "childprocess.h"
#include "platform/textcodec.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

const char16_t* const kNames[] = {u"Смирнов Алексей", u"Лебедев Илья",   u"Петров Антон",    u"Кузнецов Кирилл",
                                  u"Соловьёв Михаил", u"Волков Виктор",  u"Иванов Артём",    u"Козлов Григорий",
                                  u"Попов Игорь",     u"Соколов Степан", u"Новиков Дмитрий", u"Морозов Роман",
                                  u"Васильев Олег",   u"Зайцев Тимофей", u"Павлов Евгений"};

int Fail(const std::string& what) {
  std::fprintf(stderr, "bench_e2e: %s\n", what.c_str());
  return 1;
}

// A number out of the board's JSON state, -1 when absent.
long long JsonNumber(const std::string& json, const std::string& key) {
  const std::string tag = "\"" + key + "\":";
  const std::size_t at = json.find(tag);
  if (at == std::string::npos) return -1;
  return std::strtoll(json.c_str() + at + tag.size(), nullptr, 10);
}

std::string Clock2(int seconds) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%02d:%02d:%02d", seconds / 3600, seconds / 60 % 60, seconds % 60);
  return buf;
}

std::string Heartbeat(int raceSeconds) {
  return "$F,9999,\"00:00:00\",\"12:00:00\",\"" + Clock2(raceSeconds) + "\",\"Green \"\r\n";
}

// Drains inotify events; waits at most `limit` for one.
void WaitForChange(int inotifyFd, std::chrono::milliseconds limit) {
  pollfd p{inotifyFd, POLLIN, 0};
  if (::poll(&p, 1, static_cast<int>(limit.count())) > 0) {
    char buf[4096];
    while (::read(inotifyFd, buf, sizeof buf) > 0) {
    }
  }
}

double Percentile(std::vector<double> v, double p) {
  std::sort(v.begin(), v.end());
  const std::size_t i = std::min(v.size() - 1, static_cast<std::size_t>(p * static_cast<double>(v.size() - 1) + 0.5));
  return v[i];
}

void Report(const char* what, const std::vector<double>& latencies, int lost) {
  if (latencies.empty()) {
    std::printf("%s: no sample arrived (%d lost)\n", what, lost);
    return;
  }
  std::printf("%s (%zu samples, %d lost)\n", what, latencies.size(), lost);
  std::printf("  p50 %.2f ms   p99 %.2f ms   max %.2f ms\n", Percentile(latencies, 0.5), Percentile(latencies, 0.99),
              *std::max_element(latencies.begin(), latencies.end()));
}

}  // namespace

int main(int argc, char** argv) {
  const int samples = argc > 1 ? std::max(1, std::atoi(argv[1])) : 300;
  const fs::path bin = BRELVO_BIN_DIR;
  const fs::path dir = fs::temp_directory_path() / ("brelvo-bench-e2e-" + std::to_string(::getpid()));
  fs::remove_all(dir);
  fs::create_directories(dir / "program");
  fs::create_directories(dir / "runtime");
  fs::create_directories(dir / "board");
  fs::permissions(dir / "runtime", fs::perms::owner_all, fs::perm_options::replace);
  fs::copy_file(bin / "brelvo-proxy", dir / "program" / "brelvo-proxy");
  fs::copy_file(bin / "scoreboardcontroller.so", dir / "program" / "scoreboardcontroller.so");
  const int com = 150 + ::getpid() % 100;
  const fs::path state = dir / "board" / "state.json";

  const int listener = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in addr{};
  addr.sin_family = AF_INET;
  addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof addr;
  if (listener < 0 || ::bind(listener, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
      ::listen(listener, 1) != 0 || ::getsockname(listener, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
    return Fail("cannot listen on 127.0.0.1");
  }
  const int port = ntohs(addr.sin_port);

  int rc = 0;
  {
    e2e::TChildProcess board({(bin / "brelvo-board").string(), "--pty", std::to_string(com), "--state", state.string(),
                              "--heartbeat-ms", "1000"},
                             {{"QT_QPA_PLATFORM", "offscreen"}, {"XDG_RUNTIME_DIR", (dir / "runtime").string()}});
    if (!board.WaitForLine("brelvo-board: COM", 10s)) return Fail("the board did not start:\n" + board.Output());
    {
      std::FILE* ini = std::fopen((dir / "program" / "scoreboard.ini").c_str(), "w");
      std::fprintf(ini, "Host: 127.0.0.1\nPort: %d\nScoreboardMode:1\nBrightness:16\nComPort:%d\nWebPort: 0\n", port,
                   com);
      std::fclose(ini);
    }
    auto proxy = std::make_unique<e2e::TChildProcess>(
        std::vector<std::string>{(dir / "program" / "brelvo-proxy").string()},
        std::map<std::string, std::string>{{"QT_QPA_PLATFORM", "offscreen"},
                                           {"XDG_RUNTIME_DIR", (dir / "runtime").string()},
                                           {"BRELVO_INSTANCE", dir.filename().string()}});

    pollfd p{listener, POLLIN, 0};
    if (::poll(&p, 1, 10000) <= 0) return Fail("the proxy never connected:\n" + proxy->Output());
    const int feed = ::accept(listener, nullptr, nullptr);
    const int one = 1;
    ::setsockopt(feed, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (!proxy->WaitForLine("board status: Табло подключено", 15s)) return Fail("no board link:\n" + proxy->Output());

    const int inotifyFd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    ::inotify_add_watch(inotifyFd, (dir / "board").c_str(), IN_MOVED_TO | IN_CLOSE_WRITE);
    auto boardState = [&] { return e2e::ReadFile(state.string()); };
    auto waitFor = [&](auto&& condition, std::chrono::milliseconds limit) {
      const auto end = Clock::now() + limit;
      for (;;) {
        if (condition(boardState())) return true;
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now());
        if (left <= 0ms) return false;
        WaitForChange(inotifyFd, std::min(left, 50ms));
      }
    };

    // A race of 30 karts on the board.
    std::string session = "$I,\"12:00:00\",\"9/12/2026\"\r\n$B,3,\"" + platform::Utf16ToAnsi(u"Гонка") + "\"\r\n";
    for (int k = 1; k <= 30; ++k) {
      session += "$A,\"" + std::to_string(k) + "\",\"" + std::to_string(k + 10) + "\"," + std::to_string(5000000 + k) +
                 ",\"" + platform::Utf16ToAnsi(kNames[(k - 1) % 15]) + "\",\"\",\"\",1\r\n";
    }
    for (int k = 1; k <= 30; ++k) {
      session += "$G," + std::to_string(k) + ",\"" + std::to_string(k) + "\",5,\"00:03:" + std::to_string(20 + k) +
                 ".250\"\r\n";
      session += "$H," + std::to_string(k) + ",\"" + std::to_string(k) + "\",3,\"00:00:4" + std::to_string(k % 10) +
                 "." + std::to_string(100 + k) + "\"\r\n";
    }
    session += Heartbeat(1);
    e2e::SendAll(feed, session);
    if (!waitFor([](const std::string& s) { return s.find("\"row\":30,") != std::string::npos; }, 10s)) {
      return Fail("the 30-row table never reached the board");
    }

    // Bytes of one 30-row push: a passing alone marks the table dirty; the
    // smallest growth of the board's byte counter over a few pushes leaves
    // out the occasional brightness resend.
    long long pushBytes = -1;
    for (int i = 0; i < 5; ++i) {
      std::this_thread::sleep_for(100ms);
      const std::string before = boardState();
      const long long shows = JsonNumber(before, "shows"), bytes = JsonNumber(before, "bytesReceived");
      e2e::SendAll(feed, "$J,\"" + std::to_string(i + 1) + "\",\"00:00:41.000\",\"00:03:30.000\"\r\n");
      std::string after;
      if (!waitFor(
              [&](const std::string& s) {
                after = s;
                return JsonNumber(s, "shows") > shows;
              },
              5s)) {
        return Fail("a passing brought no push");
      }
      const long long grown = JsonNumber(after, "bytesReceived") - bytes;
      if (pushBytes < 0 || grown < pushBytes) pushBytes = grown;
    }

    // Latency: a green "$F" with a new clock, at a random moment.
    std::mt19937 rng(20261209);
    std::uniform_int_distribution<int> pause(2, 25);
    std::vector<double> latencies;
    int lost = 0;
    for (int i = 0; i < samples; ++i) {
      std::this_thread::sleep_for(std::chrono::milliseconds(pause(rng)));
      const int clock = 100 + i;
      const std::string tag = "\"clockSeconds\":" + std::to_string(clock) + ",";
      WaitForChange(inotifyFd, 0ms);
      const auto t0 = Clock::now();
      e2e::SendAll(feed, Heartbeat(clock));
      if (!waitFor([&](const std::string& s) { return s.find(tag) != std::string::npos; }, 3s)) {
        ++lost;
        continue;
      }
      latencies.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
    }
    ::close(feed);
    proxy.reset();

    // The board alone: clock frames written straight onto its line.
    std::vector<double> boardOnly;
    int boardLost = 0;
    const fs::path link = (dir / "runtime" / "brelvo-com") / ("COM" + std::to_string(com));
    const int line = ::open(link.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (line >= 0) {
      termios tio{};
      ::tcgetattr(line, &tio);
      ::cfmakeraw(&tio);
      ::tcsetattr(line, TCSANOW, &tio);
      std::uint8_t seq = 0;
      for (int i = 0; i < samples; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(pause(rng)));
        char drain[4096];
        while (::read(line, drain, sizeof drain) > 0) {
        }
        const int clock = 5000 + i;
        const std::string tag = "\"clockSeconds\":" + std::to_string(clock) + ",";
        std::vector<std::uint8_t> frame;
        boardprotocol::AppendMessage(frame, boardprotocol::TSetRaceTimeMsg{clock}, seq++);
        WaitForChange(inotifyFd, 0ms);
        const auto t0 = Clock::now();
        if (::write(line, frame.data(), frame.size()) != static_cast<ssize_t>(frame.size())) {
          ++boardLost;
          continue;
        }
        if (!waitFor([&](const std::string& s) { return s.find(tag) != std::string::npos; }, 3s)) {
          ++boardLost;
          continue;
        }
        boardOnly.push_back(std::chrono::duration<double, std::milli>(Clock::now() - t0).count());
      }
      ::close(line);
    }
    ::close(inotifyFd);

    if (latencies.empty()) rc = Fail("no sample reached the board");
    Report("board road latency, feed line -> board state", latencies, lost);
    Report("board alone, clock frame on its line -> board state", boardOnly, boardLost);
    std::printf("30-row table push on the serial line: %lld bytes (%.1f ms at 115200 baud)\n", pushBytes,
                static_cast<double>(pushBytes) * 10.0 / 115.2);
  }
  std::error_code ec;
  fs::remove((dir / "runtime" / "brelvo-com") / ("COM" + std::to_string(com)), ec);
  fs::remove_all(dir, ec);
  ::close(listener);
  return rc;
}
