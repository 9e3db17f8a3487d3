// The whole board road at a real board line's speed: this program is the
// timing application's feed server; the real brelvo-proxy drives the real
// brelvo-board through the controller library and a relay that holds the
// line to 115200 baud with a 4 KiB buffer (linerelay.h). Printed, never
// asserted.
//
//   bench_road feed FILE SPEED [--programs DIR] [--seconds N]
//       replays a recording at SPEED times its own pace and prints bytes per
//       push, feed burst -> board drawn p50/p99/max, the most tables the
//       board fell behind, frames rejected at the board, pushes shown vs made
//   bench_road idle [--programs DIR] [--seconds N]
//       CPU of the whole proxy connected to a silent feed and an idle board,
//       beside a bare receive + 20 ms sleep loop measured at the same time
//
// --programs DIR takes scoreboardcontroller.so and brelvo-board from DIR
// (another build, for a before/after comparison); the proxy is always ours.
#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>
#include <poll.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/inotify.h>
#include <sys/socket.h>

#include "boardstate.h"
#include "childprocess.h"
#include "feedreplay.h"
#include "linerelay.h"
#include "recording/recording.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

constexpr int kBaud = 115200;
constexpr std::size_t kLineBuffer = 4096;
constexpr std::int32_t kRaceMode = 1;

int Fail(const std::string& what) {
  std::fprintf(stderr, "bench_road: %s\n", what.c_str());
  return 1;
}

struct TBoardSnapshot {
  bool valid = false;
  long long shows = 0;
  long long bytesReceived = 0;
  long long framesRejected = 0;
  std::vector<e2e::TBoardRow> rows;
};

TBoardSnapshot ReadSnapshot(const fs::path& file) {
  TBoardSnapshot s;
  const auto o = e2e::ReadBoardJson(file.string());
  if (!o) return s;
  s.valid = true;
  s.shows = o->value(QLatin1String("shows")).toInteger();
  const QJsonObject link = o->value(QLatin1String("link")).toObject();
  s.bytesReceived = link.value(QLatin1String("bytesReceived")).toInteger();
  s.framesRejected = link.value(QLatin1String("framesRejected")).toInteger();
  s.rows = e2e::BoardRows(*o);
  return s;
}

double Percentile(std::vector<double> v, double p) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[std::min(v.size() - 1, static_cast<std::size_t>(p * static_cast<double>(v.size() - 1) + 0.5))];
}

// CPU seconds a process has used (user + system).
double ProcessCpuSeconds(pid_t pid) {
  std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
  std::string stat((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  const std::size_t close = stat.rfind(')');
  if (close == std::string::npos) return 0;
  std::vector<std::string> fields;
  std::size_t at = close + 2;
  while (at < stat.size()) {
    const std::size_t end = stat.find(' ', at);
    fields.push_back(stat.substr(at, end - at));
    if (end == std::string::npos) break;
    at = end + 1;
  }
  if (fields.size() < 13) return 0;
  const double ticks = static_cast<double>(::sysconf(_SC_CLK_TCK));
  return (std::atof(fields[11].c_str()) + std::atof(fields[12].c_str())) / ticks;
}

// One run of the road in a private folder: board, relay, proxy, and the
// feed connection the proxy made to us.
class TRoad {
 public:
  TRoad(const fs::path& programs, const std::string& tag) : programs_(programs) {
    dir_ = fs::temp_directory_path() / ("brelvo-bench-road-" + tag + "-" + std::to_string(::getpid()));
    fs::remove_all(dir_);
    for (const char* sub : {"program", "runtime", "board", "boardlinks"}) fs::create_directories(dir_ / sub);
    fs::permissions(dir_ / "runtime", fs::perms::owner_all, fs::perm_options::replace);
    comPort_ = 100 + (::getpid() + static_cast<int>(std::hash<std::string>{}(tag) % 97)) % 150;
  }
  ~TRoad() {
    proxy_.reset();
    relay_.reset();
    board_.reset();
    if (feed_ >= 0) ::close(feed_);
    if (listener_ >= 0) ::close(listener_);
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }

  std::string Start() {
    const fs::path bin = BRELVO_BIN_DIR;
    fs::copy_file(bin / "brelvo-proxy", dir_ / "program" / "brelvo-proxy");
    fs::copy_file(programs_ / "scoreboardcontroller.so", dir_ / "program" / "scoreboardcontroller.so");
    board_ = std::make_unique<e2e::TChildProcess>(
        std::vector<std::string>{(programs_ / "brelvo-board").string(), "--pty", "9", "--link-folder",
                                 (dir_ / "boardlinks").string(), "--state", State().string(), "--heartbeat-ms", "1000"},
        std::map<std::string, std::string>{{"QT_QPA_PLATFORM", "offscreen"}});
    if (!board_->WaitForLine("brelvo-board: COM", 10s)) return "the board did not start:\n" + board_->Output();
    const fs::path boardDevice = fs::read_symlink(dir_ / "boardlinks" / "COM9");
    relay_ = std::make_unique<TLineRelay>(boardDevice.string(), ControllerLink(), kBaud, kLineBuffer);
    if (!relay_->Ok()) return "the line relay did not start";

    listener_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (listener_ < 0 || ::bind(listener_, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(listener_, 1) != 0 || ::getsockname(listener_, reinterpret_cast<sockaddr*>(&addr), &len) != 0) {
      return "cannot listen on 127.0.0.1";
    }
    {
      std::FILE* ini = std::fopen((dir_ / "program" / "scoreboard.ini").c_str(), "w");
      std::fprintf(ini, "Host: 127.0.0.1\nPort: %d\nScoreboardMode:%d\nBrightness:16\nComPort:%d\nWebPort: 0\n",
                   ntohs(addr.sin_port), kRaceMode, comPort_);
      std::fclose(ini);
    }
    proxy_ = std::make_unique<e2e::TChildProcess>(
        std::vector<std::string>{(dir_ / "program" / "brelvo-proxy").string()},
        std::map<std::string, std::string>{{"QT_QPA_PLATFORM", "offscreen"},
                                           {"XDG_RUNTIME_DIR", (dir_ / "runtime").string()},
                                           {"BRELVO_INSTANCE", dir_.filename().string()}});
    pollfd p{listener_, POLLIN, 0};
    if (::poll(&p, 1, 10000) <= 0) return "the proxy never connected:\n" + proxy_->Output();
    feed_ = ::accept(listener_, nullptr, nullptr);
    const int one = 1;
    ::setsockopt(feed_, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    if (!proxy_->WaitForLine("board status: Табло подключено", 20s)) return "no board link:\n" + proxy_->Output();
    return {};
  }

  bool Send(const std::string& bytes) { return e2e::SendAll(feed_, bytes); }
  fs::path State() const { return dir_ / "board" / "state.json"; }
  fs::path BoardFolder() const { return dir_ / "board"; }
  pid_t ProxyPid() const { return proxy_->Pid(); }
  std::string ProxyOutput() const { return proxy_->Output(); }

 private:
  fs::path ControllerLink() const { return (dir_ / "runtime" / "brelvo-com") / ("COM" + std::to_string(comPort_)); }

  fs::path programs_, dir_;
  int comPort_ = 0;
  int listener_ = -1;
  int feed_ = -1;
  std::unique_ptr<e2e::TChildProcess> board_, proxy_;
  std::unique_ptr<TLineRelay> relay_;
};

// A burst: the lines of one stamp, sent in one piece.
struct TBurst {
  std::int64_t atMs = 0;
  std::string bytes;
  bool changesTable = false;  // the standings after it differ from those before
  std::size_t table = 0;      // index into the distinct tables
};

int RunFeed(const fs::path& programs, const fs::path& file, double speed, double seconds) {
  std::ifstream in(file, std::ios::binary);
  if (!in) return Fail("cannot read " + file.string());
  const std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  std::vector<TBurst> bursts;
  for (auto& e : recording::ParseRecording(text, 20)) {
    if (seconds > 0 && static_cast<double>(e.atMs) > seconds * 1000) break;
    if (bursts.empty() || bursts.back().atMs != e.atMs) bursts.push_back({e.atMs, {}, false, 0});
    bursts.back().bytes += e.bytes;
  }
  // What the board must show after each burst, through the proxy's own code.
  std::vector<std::vector<e2e::TBoardRow>> tables{{}};
  std::string prefix;
  for (TBurst& b : bursts) {
    prefix += b.bytes;
    auto rows = e2e::ReplayFeed(prefix, kRaceMode).rows;
    if (rows != tables.back()) {
      tables.push_back(std::move(rows));
      b.changesTable = true;
    }
    b.table = tables.size() - 1;
  }

  TRoad road(programs, "feed");
  if (const std::string error = road.Start(); !error.empty()) return Fail(error);
  std::this_thread::sleep_for(1s);
  const TBoardSnapshot first = ReadSnapshot(road.State());

  // The board's state file, watched: every table it shows, with the time.
  struct TSeen {
    Clock::time_point at;
    std::vector<e2e::TBoardRow> rows;
  };
  std::vector<TSeen> seen;
  std::mutex seenLock;
  bool stop = false;
  const int inotifyFd = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
  ::inotify_add_watch(inotifyFd, road.BoardFolder().c_str(), IN_MOVED_TO | IN_CLOSE_WRITE);
  std::thread watcher([&] {
    long long shows = first.shows;
    for (;;) {
      pollfd p{inotifyFd, POLLIN, 0};
      ::poll(&p, 1, 100);
      char buf[4096];
      while (::read(inotifyFd, buf, sizeof buf) > 0) {
      }
      const auto at = Clock::now();
      TBoardSnapshot s = ReadSnapshot(road.State());
      std::lock_guard<std::mutex> guard(seenLock);
      if (s.valid && s.shows != shows) {
        shows = s.shows;
        seen.push_back({at, std::move(s.rows)});
      }
      if (stop) return;
    }
  });

  std::vector<Clock::time_point> sentAt(bursts.size());
  const auto start = Clock::now();
  for (std::size_t i = 0; i < bursts.size(); ++i) {
    std::this_thread::sleep_until(start + std::chrono::microseconds(static_cast<long long>(
                                              static_cast<double>(bursts[i].atMs) * 1000.0 / speed)));
    sentAt[i] = Clock::now();
    if (!road.Send(bursts[i].bytes)) return Fail("the proxy closed the feed");
  }
  std::this_thread::sleep_for(5s);
  {
    std::lock_guard<std::mutex> guard(seenLock);
    stop = true;
  }
  watcher.join();
  ::close(inotifyFd);
  const TBoardSnapshot last = ReadSnapshot(road.State());

  // Which table each drawing showed: the newest one sent by then that matches.
  std::vector<Clock::time_point> tableSent(tables.size(), Clock::time_point::max());
  for (std::size_t i = 0; i < bursts.size(); ++i) {
    if (bursts[i].changesTable) tableSent[bursts[i].table] = sentAt[i];
  }
  std::vector<Clock::time_point> tableDrawn(tables.size(), Clock::time_point::max());
  std::size_t unmatched = 0, mostBehind = 0;
  for (const TSeen& s : seen) {
    std::size_t sentSoFar = 0;
    while (sentSoFar + 1 < tables.size() && tableSent[sentSoFar + 1] <= s.at) ++sentSoFar;
    std::optional<std::size_t> shown;
    for (std::size_t k = sentSoFar + 1; k-- > 1;) {
      if (tables[k] == s.rows) {
        shown = k;
        break;
      }
    }
    if (!shown) {
      ++unmatched;
      continue;
    }
    mostBehind = std::max(mostBehind, sentSoFar - *shown);
    for (std::size_t k = 1; k <= *shown; ++k) tableDrawn[k] = std::min(tableDrawn[k], s.at);
  }
  std::vector<double> latencies;
  std::size_t neverDrawn = 0;
  for (std::size_t k = 1; k < tables.size(); ++k) {
    if (tableDrawn[k] == Clock::time_point::max()) {
      ++neverDrawn;
    } else {
      latencies.push_back(std::chrono::duration<double, std::milli>(tableDrawn[k] - tableSent[k]).count());
    }
  }
  const long long shows = last.shows - first.shows;
  const long long bytes = last.bytesReceived - first.bytesReceived;
  std::printf("%s at %.0fx, %s: %zu bursts, %zu standings changes (pushes made)\n", file.filename().c_str(), speed,
              programs.c_str(), bursts.size(), tables.size() - 1);
  std::printf(
      "  bytes to the board per table shown: %.0f (%lld bytes, %lld tables shown; %zu of the %zu changes reached it)\n",
      shows > 0 ? static_cast<double>(bytes) / static_cast<double>(shows) : 0.0, bytes, shows,
      tables.size() - 1 - neverDrawn, tables.size() - 1);
  std::printf(
      "  feed burst -> board drawn: p50 %.0f ms, p99 %.0f ms, max %.0f ms (%zu changes never drawn: no table came "
      "after them)\n",
      Percentile(latencies, 0.5), Percentile(latencies, 0.99),
      latencies.empty() ? 0.0 : *std::max_element(latencies.begin(), latencies.end()), neverDrawn);
  std::printf(
      "  most tables the board fell behind: %zu; frames rejected at the board: %lld; drawings not matching"
      " any sent table: %zu\n",
      mostBehind, last.framesRejected - first.framesRejected, unmatched);
  return 0;
}

int RunIdle(const fs::path& programs, double seconds) {
  TRoad road(programs, "idle");
  if (const std::string error = road.Start(); !error.empty()) return Fail(error);
  std::this_thread::sleep_for(3s);

  // The bare loop: a connected socket polled every 20 ms, as the feed is.
  int pair[2];
  ::socketpair(AF_UNIX, SOCK_STREAM, 0, pair);
  double loopCpu = 0;
  bool stop = false;
  std::mutex lock;
  std::thread loop([&] {
    timespec t0{}, t1{};
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t0);
    char buf[4096];
    for (;;) {
      [[maybe_unused]] const ssize_t n = ::recv(pair[0], buf, sizeof buf, MSG_DONTWAIT);
      std::this_thread::sleep_for(20ms);
      std::lock_guard<std::mutex> guard(lock);
      if (stop) break;
    }
    ::clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t1);
    loopCpu = static_cast<double>(t1.tv_sec - t0.tv_sec) + static_cast<double>(t1.tv_nsec - t0.tv_nsec) / 1e9;
  });
  const double before = ProcessCpuSeconds(road.ProxyPid());
  const auto t0 = Clock::now();
  std::this_thread::sleep_for(std::chrono::duration<double>(seconds));
  const double after = ProcessCpuSeconds(road.ProxyPid());
  const double wall = std::chrono::duration<double>(Clock::now() - t0).count();
  {
    std::lock_guard<std::mutex> guard(lock);
    stop = true;
  }
  loop.join();
  ::close(pair[0]);
  ::close(pair[1]);
  std::printf("idle, %s, %.0f s: whole proxy %.2f %% of a core; bare receive + 20 ms sleep loop %.2f %%\n",
              programs.c_str(), wall, 100.0 * (after - before) / wall, 100.0 * loopCpu / wall);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  std::vector<std::string> args(argv + 1, argv + argc);
  fs::path programs = BRELVO_BIN_DIR;
  double seconds = 0;
  std::vector<std::string> positional;
  for (std::size_t i = 0; i < args.size(); ++i) {
    if (args[i] == "--programs" && i + 1 < args.size()) {
      programs = args[++i];
    } else if (args[i] == "--seconds" && i + 1 < args.size()) {
      seconds = std::atof(args[++i].c_str());
    } else {
      positional.push_back(args[i]);
    }
  }
  if (positional.size() == 3 && positional[0] == "feed") {
    return RunFeed(programs, positional[1], std::max(0.01, std::atof(positional[2].c_str())), seconds);
  }
  if (positional.size() == 1 && positional[0] == "idle") return RunIdle(programs, seconds > 0 ? seconds : 20);
  std::fprintf(stderr, "usage: bench_road feed FILE SPEED | idle  [--programs DIR] [--seconds N]\n");
  return 2;
}
