// bench_web: the results page under load, beside the exchange thread.
// With the page off, and for 0, 1, 10 and 64 clients on /events: a recording replayed at 20x
// through the real exchange thread (the recording controller as the board)
// gives push -> event received p50/p99, the proxy's CPU (the process less
// the client threads), the memory per client and the exchange thread's
// lines per second of its own CPU time (the replay is paced, so wall-clock
// lines/s would only echo the pace). Printed, never asserted.
//
//   bench_web [recording] [speed] [most clients]     (run from the build's bin folder)
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <time.h>
#include <unistd.h>
#include <vector>

#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/write.hpp>
#include <sys/resource.h>

#include "exchangetestsupport.h"
#include "measuringclock.h"
#include "web/webserver.h"

using namespace exchangetest;
using namespace std::chrono_literals;
using Steady = std::chrono::steady_clock;
namespace asio = boost::asio;

namespace {

// The last line of every replay: a clock no recording reaches.
const std::string kEndLine = "$F,9999,\"00:00:00\",\"10:00:00\",\"99:00:00\",\"Green \"\r\n";
constexpr std::int32_t kEndClock = 99 * 3600;

double ProcessCpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  auto seconds = [](const timeval& t) { return static_cast<double>(t.tv_sec) + static_cast<double>(t.tv_usec) * 1e-6; };
  return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}
double RssMiB() {
  std::ifstream statm("/proc/self/statm");
  long pages = 0, resident = 0;
  statm >> pages >> resident;
  return static_cast<double>(resident) * static_cast<double>(sysconf(_SC_PAGESIZE)) / (1024.0 * 1024.0);
}

// Between the exchange thread and the server: notes when each snapshot was
// handed on, and when the end line's arrived.
class TimingSink : public TTableSnapshotSink {
 public:
  // Without clients nothing is timed: the exchange thread's figure is the
  // program's alone.
  TimingSink(TWebServer& server, bool timed) : server_(server), timed_(timed) {}
  void Publish(std::shared_ptr<const TTableSnapshot> snapshot) override {
    if (timed_) {
      std::lock_guard<std::mutex> guard(lock_);
      published_[snapshot->sequence] = Steady::now();
    }
    if (snapshot->clock == kEndClock) ended_ = true;
    server_.Publish(std::move(snapshot));
  }
  std::map<std::uint64_t, Steady::time_point> Published() {
    std::lock_guard<std::mutex> guard(lock_);
    return published_;
  }
  std::atomic<bool> ended_{false};

 private:
  TWebServer& server_;
  const bool timed_;
  std::mutex lock_;
  std::map<std::uint64_t, Steady::time_point> published_;
};

// One /events client on a thread of its own: the arrival of every event id.
// Each from an address of its own (127.0.1.n), as each phone has one: the
// server admits only a few connections of one address.
class EventClient {
 public:
  EventClient(std::uint16_t port, int index) : socket_(io_) {
    socket_.open(asio::ip::tcp::v4());
    socket_.bind(asio::ip::tcp::endpoint(
        asio::ip::address_v4((127u << 24) | (1u << 8) | static_cast<unsigned>(1 + index % 250)), 0));
    socket_.connect(asio::ip::tcp::endpoint(asio::ip::address_v4::loopback(), port));
    asio::write(socket_, asio::buffer(std::string("GET /events HTTP/1.1\r\nHost: bench\r\n\r\n")));
    thread_ = std::thread([this] { Run(); });
  }
  ~EventClient() {
    boost::system::error_code ignored;
    socket_.shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
    socket_.close(ignored);
    if (thread_.joinable()) thread_.join();
  }
  std::vector<std::pair<std::uint64_t, Steady::time_point>> arrivals;
  std::atomic<double> cpuSeconds{0};
  std::atomic<int> events{0};

 private:
  void Run() {
    const double start = ThreadCpuSeconds();
    std::string pending;
    char buffer[65536];
    boost::system::error_code error;
    for (;;) {
      const std::size_t n = socket_.read_some(asio::buffer(buffer), error);
      if (error) break;
      const auto now = Steady::now();
      pending.append(buffer, n);
      // Each event begins with its id line.
      std::size_t lineStart = 0;
      for (std::size_t end; (end = pending.find('\n', lineStart)) != std::string::npos; lineStart = end + 1) {
        if (pending.compare(lineStart, 4, "id: ") == 0) {
          arrivals.emplace_back(std::stoull(pending.substr(lineStart + 4, end - lineStart - 4)), now);
          ++events;
        }
      }
      pending.erase(0, lineStart);
      cpuSeconds = ThreadCpuSeconds() - start;
    }
    cpuSeconds = ThreadCpuSeconds() - start;
  }
  asio::io_context io_;
  asio::ip::tcp::socket socket_;
  std::thread thread_;
};

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// Bursts as the timing application sent them: one per "##" stamp, paced at
// `speed` times the recorded pace.
std::vector<std::pair<double, std::string>> Bursts(const std::string& bytes) {
  std::vector<std::pair<double, std::string>> bursts;
  std::size_t begin = 0;
  while (begin < bytes.size()) {
    std::size_t end = bytes.find("\n##", begin + 1);
    end = end == std::string::npos ? bytes.size() : end + 1;
    const std::string burst = bytes.substr(begin, end - begin);
    double seconds = 0;
    const std::size_t stamp = burst.find("##");
    if (stamp != std::string::npos && burst.size() > stamp + 25) {
      const int h = std::stoi(burst.substr(stamp + 13, 2)), m = std::stoi(burst.substr(stamp + 16, 2));
      seconds = h * 3600 + m * 60 + std::stod(burst.substr(stamp + 19, 6));
    }
    bursts.emplace_back(seconds, burst);
    begin = end;
  }
  return bursts;
}

double Percentile(std::vector<double> v, double q) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[static_cast<std::size_t>(q * static_cast<double>(v.size() - 1))];
}

struct Figures {
  double p50 = 0, p99 = 0, cpu = 0, mibPerClient = 0, linesPerCpuSecond = 0;
  std::size_t events = 0;
};

Figures Run(int clients, const std::string& recording, double speed, std::size_t lines) {
  Figures f;
  TWebServer server;
  if (server.Start(0) != TWebListenResult::Listening) return f;
  TimingSink sink(server, clients > 0);
  TestWindow window;
  LoopbackServer feed;
  MeasuringClock clock;
  TScoreboardExchangeThread::Options options;
  options.libraryName = FakeBoard::kLibraryName;
  options.clock = &clock;
  options.snapshotSink = clients < 0 ? nullptr : &sink;  // < 0: the page off
  auto thread = std::make_unique<TScoreboardExchangeThread>(window.Handle(), options);
  thread->SetScoreboardMode(1);
  thread->SetFeedAddress(LoopbackAddress(), feed.Port());
  if (!feed.Accept(10s)) return f;
  std::this_thread::sleep_for(300ms);

  const double rssBefore = RssMiB();
  std::vector<std::unique_ptr<EventClient>> streams;
  for (int i = 0; i < std::max(clients, 0); ++i) streams.push_back(std::make_unique<EventClient>(server.Port(), i));
  const auto deadline = Steady::now() + 10s;
  for (auto& s : streams)
    while (s->events.load() == 0 && Steady::now() < deadline) std::this_thread::sleep_for(1ms);
  if (clients > 0) f.mibPerClient = (RssMiB() - rssBefore) / clients;

  // Paced, as at the track.
  const double cpuStart = ProcessCpuSeconds();
  double clientCpuStart = 0;
  for (auto& s : streams) clientCpuStart += s->cpuSeconds.load();
  const double exchangeCpuStart = clock.cpuSeconds.load();
  const auto bursts = Bursts(recording);
  const auto start = Steady::now();
  const double first = bursts.front().first;
  for (const auto& [seconds, bytes] : bursts) {
    std::this_thread::sleep_until(start + std::chrono::duration<double>((seconds - first) / speed));
    feed.Send(bytes);
  }
  feed.Send(kEndLine);
  if (clients < 0) {
    std::this_thread::sleep_for(1s);  // no snapshots to tell the end: the last receive is long done
  } else {
    while (!sink.ended_.load() && Steady::now() < start + 600s) std::this_thread::sleep_for(1ms);
  }
  std::this_thread::sleep_for(200ms);  // the last events reach the clients
  f.linesPerCpuSecond = static_cast<double>(lines) / (clock.cpuSeconds.load() - exchangeCpuStart);
  double clientCpu = 0;
  for (auto& s : streams) clientCpu += s->cpuSeconds.load();
  f.cpu = ProcessCpuSeconds() - cpuStart - (clientCpu - clientCpuStart);

  const auto published = sink.Published();
  std::vector<double> ms;
  for (auto& s : streams) {
    for (const auto& [id, when] : s->arrivals) {
      const auto p = published.find(id);
      if (p != published.end() && when >= p->second)
        ms.push_back(std::chrono::duration<double, std::milli>(when - p->second).count());
    }
  }
  f.events = ms.size();
  f.p50 = Percentile(ms, 0.5);
  f.p99 = Percentile(ms, 0.99);

  streams.clear();
  DestroyPumping(window, thread);
  return f;
}

}  // namespace

int main(int argc, char** argv) {
  const std::string path = argc > 1 ? argv[1] : std::string(BRELVO_FEEDS_DIR) + "/race-gaps.feed";
  const double speed = argc > 2 ? std::stod(argv[2]) : 20.0;
  const int mostClients = argc > 3 ? std::stoi(argv[3]) : 64;
  const std::string recording = ReadFile(path);
  if (recording.empty()) {
    std::printf("recording %s not found\n", path.c_str());
    return 1;
  }
  FakeBoard board;
  if (!board.Loaded()) {
    std::printf("fakescoreboard library not found beside the program\n");
    return 1;
  }
  std::size_t lines = 0;
  for (std::size_t at = recording.find('$'); at != std::string::npos; at = recording.find("\n$", at + 1)) ++lines;
  std::printf("%s at %.0fx, %zu lines; %u cores\n", path.c_str(), speed, lines, std::thread::hardware_concurrency());
  double cpuNone = 0, cpuLinesNone = 0, cpuLinesOff = 0;
  for (const int clients : {-1, 0, 1, 10, 64}) {
    if (clients > mostClients) break;
    board.Reset();
    const Figures f = Run(clients, recording, speed, lines);
    if (clients < 0) {
      cpuLinesOff = f.linesPerCpuSecond;
      std::printf("page off:   proxy CPU %.3f s; exchange thread %.0f lines per CPU-second\n", f.cpu,
                  f.linesPerCpuSecond);
      continue;
    }
    if (clients == 0) {
      cpuNone = f.cpu;
      cpuLinesNone = f.linesPerCpuSecond;
      std::printf(
          "%2d clients: proxy CPU %.3f s; exchange thread %.0f lines per CPU-second (%+.1f %% against the page off)\n",
          clients, f.cpu, f.linesPerCpuSecond, (f.linesPerCpuSecond / cpuLinesOff - 1.0) * 100.0);
      continue;
    }
    std::printf(
        "%2d clients: push -> event p50 %.2f ms, p99 %.2f ms (%zu events); proxy CPU %.3f s (%+.3f s against none); "
        "%.3f MiB per client; exchange thread %.0f lines per CPU-second (%+.1f %% against none)\n",
        clients, f.p50, f.p99, f.events, f.cpu, f.cpu - cpuNone, f.mibPerClient, f.linesPerCpuSecond,
        (f.linesPerCpuSecond / cpuLinesNone - 1.0) * 100.0);
  }
  return 0;
}
