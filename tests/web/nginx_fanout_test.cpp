// The results past this PC: nginx with its nchan module on loopback, the
// exchange thread and the results server publishing to it during a 20x
// replay, and 1,000 Server-Sent Events subscribers on nginx. Every
// subscriber ends on the board's final table, the page is served as a file,
// and the program holds one publishing connection throughout. Prints the
// push -> event figures through nginx; asserts none of them.
#include <algorithm>
#include <array>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <map>
#include <mutex>
#include <set>
#include <signal.h>
#include <sstream>
#include <thread>
#include <unistd.h>
#include <vector>

#include <boost/asio/connect.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/asio/ip/tcp.hpp>
#include <boost/asio/post.hpp>
#include <boost/asio/read.hpp>
#include <boost/asio/write.hpp>
#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/wait.h>

#include "exchangetestsupport.h"
#include "web/resultspage.h"
#include "web/webserver.h"

namespace asio = boost::asio;
using tcp = asio::ip::tcp;
using namespace std::chrono_literals;
using Steady = std::chrono::steady_clock;

namespace {

constexpr int kSubscribers = 1000;
constexpr double kSpeed = 20;
const char* const kNginx = "/usr/sbin/nginx";
const char* const kNchan = "/usr/lib/nginx/modules/ngx_nchan_module.so";
const std::string kEndLine = "$F,9999,\"00:00:00\",\"10:00:00\",\"99:00:00\",\"Green \"\r\n";

std::uint16_t FreePort() {
  asio::io_context io;
  tcp::acceptor probe(io, tcp::endpoint(asio::ip::address_v4::loopback(), 0));
  return probe.local_endpoint().port();
}

std::string ReadFile(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  return std::string((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
}

// The recording's receives, one per "##" stamp, with their recorded time.
std::vector<std::pair<double, std::string>> Bursts(const std::string& bytes) {
  std::vector<std::pair<double, std::string>> bursts;
  for (std::size_t begin = 0; begin < bytes.size();) {
    std::size_t end = bytes.find("\n##", begin + 1);
    end = end == std::string::npos ? bytes.size() : end + 1;
    const std::string burst = bytes.substr(begin, end - begin);
    double seconds = bursts.empty() ? 0 : bursts.back().first;
    const std::size_t stamp = burst.find("##");
    if (stamp != std::string::npos && burst.size() > stamp + 25) {
      seconds = std::stoi(burst.substr(stamp + 13, 2)) * 3600 + std::stoi(burst.substr(stamp + 16, 2)) * 60 +
                std::stod(burst.substr(stamp + 19, 6));
    }
    bursts.emplace_back(seconds, burst);
    begin = end;
  }
  return bursts;
}

// The row numbers of a table's JSON, in order.
// The competitor numbers of the rows, in order (the classes carry numbers too).
std::vector<int> Numbers(const std::string& json) {
  std::vector<int> numbers;
  const std::size_t rows = json.find("\"rows\":");
  if (rows == std::string::npos) return numbers;
  for (std::size_t at = json.find("\"number\":", rows); at != std::string::npos;
       at = json.find("\"number\":", at + 1)) {
    numbers.push_back(std::stoi(json.substr(at + 9)));
  }
  return numbers;
}

std::uint64_t Sequence(const std::string& json) {
  const std::size_t at = json.find("\"sequence\":");
  return at == std::string::npos ? 0 : std::stoull(json.substr(at + 11));
}

// nginx in the foreground with the test's own prefix, stopped at the end.
class Nginx {
 public:
  Nginx(const std::filesystem::path& folder, const std::string& config) {
    std::ofstream(folder / "nginx.conf") << config;
    pid_ = fork();
    if (pid_ == 0) {
      const std::string prefix = folder.string() + "/", conf = (folder / "nginx.conf").string();
      freopen((folder / "stderr.log").c_str(), "w", stderr);
      execl(kNginx, kNginx, "-p", prefix.c_str(), "-c", conf.c_str(), static_cast<char*>(nullptr));
      _exit(127);
    }
  }
  ~Nginx() {
    if (pid_ <= 0) return;
    kill(pid_, SIGQUIT);
    int status = 0;
    for (int i = 0; i < 100 && waitpid(pid_, &status, WNOHANG) == 0; ++i) std::this_thread::sleep_for(20ms);
    kill(pid_, SIGKILL);
    waitpid(pid_, &status, 0);
  }
  pid_t Pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
};

// User and system CPU so far of a process and, with `children`, of those it started.
double ProcessCpuSeconds(pid_t pid, bool children) {
  double total = 0;
  for (const auto& entry : std::filesystem::directory_iterator("/proc")) {
    const std::string name = entry.path().filename().string();
    if (name.empty() || !std::all_of(name.begin(), name.end(), [](char c) { return c >= '0' && c <= '9'; })) continue;
    const std::string stat = ReadFile(entry.path() / "stat");
    const std::size_t close = stat.rfind(')');
    if (close == std::string::npos) continue;
    std::istringstream fields(stat.substr(close + 2));
    std::string state;
    long ppid = 0;
    fields >> state >> ppid;
    const long self = std::atol(name.c_str());
    if (self != pid && !(children && ppid == pid)) continue;
    std::string skip;
    for (int i = 0; i < 9; ++i) fields >> skip;
    double utime = 0, stime = 0;
    fields >> utime >> stime;
    total += (utime + stime) / static_cast<double>(sysconf(_SC_CLK_TCK));
  }
  return total;
}

// Every subscriber on one io_context thread: the newest data of each and
// when each event arrived.
class Subscribers {
 public:
  Subscribers(std::uint16_t port, int count) : streams_(count) {
    for (auto& s : streams_) {
      s.socket = std::make_unique<tcp::socket>(io_);
      Start(s, port);
    }
    thread_ = std::thread([this] { io_.run(); });
  }
  ~Subscribers() {
    asio::post(io_, [this] {
      for (auto& s : streams_) {
        boost::system::error_code ignored;
        s.socket->close(ignored);
      }
    });
    thread_.join();
  }
  // Subscribers whose newest table is `json`.
  int On(const std::string& json) {
    std::lock_guard<std::mutex> guard(lock_);
    return static_cast<int>(
        std::count_if(streams_.begin(), streams_.end(), [&](const Stream& s) { return s.last == json; }));
  }
  int Started() {
    std::lock_guard<std::mutex> guard(lock_);
    return static_cast<int>(
        std::count_if(streams_.begin(), streams_.end(), [](const Stream& s) { return s.events > 0; }));
  }
  std::vector<std::pair<std::uint64_t, Steady::time_point>> Arrivals() {
    std::lock_guard<std::mutex> guard(lock_);
    std::vector<std::pair<std::uint64_t, Steady::time_point>> all;
    for (const auto& s : streams_) all.insert(all.end(), s.arrivals.begin(), s.arrivals.end());
    return all;
  }

 private:
  struct Stream {
    std::unique_ptr<tcp::socket> socket;
    std::string pending, last;
    std::array<char, 16384> buffer{};
    int events = 0;
    std::vector<std::pair<std::uint64_t, Steady::time_point>> arrivals;
  };
  const std::string request_ = "GET /events HTTP/1.1\r\nHost: track\r\nAccept: text/event-stream\r\n\r\n";

  void Start(Stream& s, std::uint16_t port) {
    s.socket->async_connect(
        tcp::endpoint(asio::ip::address_v4::loopback(), port), [this, &s](boost::system::error_code error) {
          if (error) return;
          asio::async_write(*s.socket, asio::buffer(request_), [this, &s](boost::system::error_code e, std::size_t) {
            if (!e) Read(s);
          });
        });
  }
  void Read(Stream& s) {
    s.socket->async_read_some(asio::buffer(s.buffer), [this, &s](boost::system::error_code error, std::size_t n) {
      if (error) return;
      const auto now = Steady::now();
      s.pending.append(s.buffer.data(), n);
      std::size_t lineStart = 0;
      std::lock_guard<std::mutex> guard(lock_);
      for (std::size_t end; (end = s.pending.find('\n', lineStart)) != std::string::npos; lineStart = end + 1) {
        if (s.pending.compare(lineStart, 6, "data: ") == 0) {
          s.last = s.pending.substr(lineStart + 6, end - lineStart - 6);
          ++s.events;
          s.arrivals.emplace_back(Sequence(s.last), now);
        }
      }
      s.pending.erase(0, lineStart);
      Read(s);
    });
  }

  asio::io_context io_;
  std::vector<Stream> streams_;
  std::mutex lock_;
  std::thread thread_;
};

// Notes when each table left the exchange thread.
class TimingSink : public TTableSnapshotSink {
 public:
  explicit TimingSink(TWebServer& server) : server_(server) {}
  void Publish(std::shared_ptr<const TTableSnapshot> snapshot) override {
    {
      std::lock_guard<std::mutex> guard(lock_);
      published_[snapshot->sequence] = Steady::now();
    }
    server_.Publish(std::move(snapshot));
  }
  std::map<std::uint64_t, Steady::time_point> Published() {
    std::lock_guard<std::mutex> guard(lock_);
    return published_;
  }

 private:
  TWebServer& server_;
  std::mutex lock_;
  std::map<std::uint64_t, Steady::time_point> published_;
};

// The body of a GET; empty when nobody answers.
std::string HttpGet(std::uint16_t port, const std::string& path) {
  asio::io_context io;
  tcp::socket socket(io);
  boost::system::error_code error;
  socket.connect(tcp::endpoint(asio::ip::address_v4::loopback(), port), error);
  if (error) return {};
  asio::write(socket, asio::buffer("GET " + path + " HTTP/1.1\r\nHost: track\r\nConnection: close\r\n\r\n"), error);
  std::string reply;
  asio::read(socket, asio::dynamic_buffer(reply), error);
  const std::size_t body = reply.find("\r\n\r\n");
  return body == std::string::npos ? std::string() : reply.substr(body + 4);
}

double Percentile(std::vector<double> v, double q) {
  if (v.empty()) return 0;
  std::sort(v.begin(), v.end());
  return v[static_cast<std::size_t>(q * static_cast<double>(v.size() - 1))];
}

TEST(NginxFanOut, ThousandSubscribersEndOnTheBoardsFinalTableThroughOnePublishingConnection) {
  const std::filesystem::path recording = std::filesystem::path(BRELVO_FEEDS_DIR) / "race-gaps.feed";
  if (!std::filesystem::exists(recording)) GTEST_SKIP() << "recording " << recording << " is absent";
  if (!std::filesystem::exists(kNginx) || !std::filesystem::exists(kNchan))
    GTEST_SKIP() << "no nginx with nchan (scripts/setup installs nginx and libnginx-mod-nchan)";
  rlimit files{};
  getrlimit(RLIMIT_NOFILE, &files);
  if (files.rlim_cur < 2 * kSubscribers + 200) GTEST_SKIP() << "open file limit " << files.rlim_cur << " is too low";
  exchangetest::FakeBoard board;
  ASSERT_TRUE(board.Loaded()) << "fakescoreboard beside the test";
  board.Reset();

  const std::filesystem::path folder =
      std::filesystem::temp_directory_path() / ("brelvo-nginx-" + std::to_string(getpid()));
  std::filesystem::remove_all(folder);
  struct Remove {
    std::filesystem::path folder;
    ~Remove() {
      std::error_code ignored;
      std::filesystem::remove_all(folder, ignored);
    }
  } remove{folder};
  std::filesystem::create_directories(folder / "html");
  std::filesystem::create_directories(folder / "logs");
  std::ofstream(folder / "html" / "index.html") << ResultsPageHtml();
  const std::uint16_t pubPort = FreePort(), subPort = FreePort();
  const std::string config =
      "load_module " + std::string(kNchan) +
      ";\n"
      "daemon off; master_process on; worker_processes 1; worker_rlimit_nofile 8192;\n"
      "error_log logs/error.log warn; pid logs/nginx.pid;\n"
      "events { worker_connections 4096; }\n"
      "http {\n"
      "  client_body_temp_path tmp_body; proxy_temp_path tmp_proxy; fastcgi_temp_path tmp_fastcgi;\n"
      "  uwsgi_temp_path tmp_uwsgi; scgi_temp_path tmp_scgi;\n"
      "  log_format publish '$connection $status';\n"
      "  server {\n"
      "    listen 127.0.0.1:" +
      std::to_string(pubPort) +
      ";\n"
      "    keepalive_requests 1000000; keepalive_timeout 1h;\n"
      "    access_log logs/publish.log publish;\n"
      "    location = /pub/results { nchan_publisher http; nchan_channel_id results;\n"
      "      nchan_message_buffer_length 1; nchan_message_timeout 0; }\n"
      "  }\n"
      "  server {\n"
      "    listen 127.0.0.1:" +
      std::to_string(subPort) +
      " backlog=2048;\n"
      "    access_log off; root html; index index.html;\n"
      "    location = /events { nchan_subscriber eventsource; nchan_channel_id results;\n"
      "      nchan_subscriber_first_message oldest; }\n"
      "    location = /results.json { nchan_subscriber intervalpoll; nchan_channel_id results;\n"
      "      nchan_subscriber_first_message oldest; }\n"
      "  }\n"
      "}\n";
  {
    Nginx nginx(folder, config);
    const auto up = Steady::now() + 10s;
    while (HttpGet(subPort, "/").empty() && Steady::now() < up) std::this_thread::sleep_for(50ms);
    ASSERT_EQ(HttpGet(subPort, "/"), std::string(ResultsPageHtml()))
        << "nginx did not serve the page: " << ReadFile(folder / "stderr.log") << ReadFile(folder / "logs/error.log");

    TWebServer::Options options;
    options.publishUrl = "http://127.0.0.1:" + std::to_string(pubPort) + "/pub/results";
    TWebServer server(options);
    ASSERT_EQ(server.Start(0), TWebListenResult::Listening);
    TimingSink sink(server);
    exchangetest::TestWindow window;
    exchangetest::LoopbackServer feed;
    TScoreboardExchangeThread::Options threadOptions;
    threadOptions.libraryName = exchangetest::FakeBoard::kLibraryName;
    threadOptions.snapshotSink = &sink;
    auto thread = std::make_unique<TScoreboardExchangeThread>(window.Handle(), threadOptions);
    thread->SetScoreboardMode(1);
    thread->SetFeedAddress(exchangetest::LoopbackAddress(), feed.Port());
    ASSERT_TRUE(feed.Accept(10s));

    Subscribers subscribers(subPort, kSubscribers);
    const auto connected = Steady::now() + 20s;
    while (subscribers.Started() < kSubscribers && Steady::now() < connected)
      window.Pump(), std::this_thread::sleep_for(5ms);
    ASSERT_EQ(subscribers.Started(), kSubscribers) << "every subscriber gets the newest table at once";

    const double cpuStart = ProcessCpuSeconds(getpid(), false);
    const double nginxStart = ProcessCpuSeconds(nginx.Pid(), true);
    const auto bursts = Bursts(ReadFile(recording));
    const auto start = Steady::now();
    for (const auto& [seconds, bytes] : bursts) {
      const auto due = start + std::chrono::duration_cast<Steady::duration>(
                                   std::chrono::duration<double>((seconds - bursts.front().first) / kSpeed));
      while (Steady::now() < due) window.Pump(), std::this_thread::sleep_for(2ms);
      ASSERT_TRUE(feed.Send(bytes));
    }
    ASSERT_TRUE(feed.Send(kEndLine));  // the recording ends under yellow: a last green push

    // The board's final table: the SetRow calls after its last ClearBoard.
    std::vector<int> boardNumbers;
    std::string final;
    const auto settled = Steady::now() + 20s;
    while (Steady::now() < settled) {
      window.Pump();
      final = HttpGet(server.Port(), "/results.json");
      if (final.find("\"clock\":356400") != std::string::npos && subscribers.On(final) == kSubscribers) break;
      std::this_thread::sleep_for(20ms);
    }
    const double cpu = ProcessCpuSeconds(getpid(), false) - cpuStart;
    const double nginxCpu = ProcessCpuSeconds(nginx.Pid(), true) - nginxStart;
    for (const TFakeCall& call : board.Calls()) {
      if (call.operation == foClearBoard) boardNumbers.clear();
      if (call.operation == foSetRow) boardNumbers.push_back(call.args[2]);
    }
    ASSERT_FALSE(boardNumbers.empty());
    EXPECT_EQ(Numbers(final), boardNumbers) << "the page's table is the board's";
    EXPECT_EQ(subscribers.On(final), kSubscribers) << "subscribers on the final table";
    EXPECT_EQ(HttpGet(subPort, "/results.json?t=1"), final) << "nginx's /results.json is the newest table";

    // One publishing connection for the whole session, every event taken.
    const TWebPublisher* publisher = server.Publisher();
    ASSERT_NE(publisher, nullptr);
    EXPECT_EQ(publisher->Connections(), 1u);
    EXPECT_EQ(publisher->Dropped(), 0u);
    std::set<std::string> connections;
    std::ifstream log(folder / "logs/publish.log");
    std::size_t posts = 0;
    for (std::string id, status; log >> id >> status; ++posts) {
      connections.insert(id);
      EXPECT_EQ(status.front(), '2') << status;
    }
    EXPECT_EQ(connections.size(), 1u) << posts << " publishes";

    const auto published = sink.Published();
    std::vector<double> ms;
    for (const auto& [sequence, when] : subscribers.Arrivals()) {
      const auto p = published.find(sequence);
      if (p != published.end() && when >= p->second)
        ms.push_back(std::chrono::duration<double, std::milli>(when - p->second).count());
    }
    std::printf(
        "%d subscribers through nginx: push -> event p50 %.2f ms, p99 %.2f ms (%zu events, %zu publishes); "
        "CPU of the test process %.3f s (proxy and subscribers), nginx %.3f s\n",
        kSubscribers, Percentile(ms, 0.5), Percentile(ms, 0.99), ms.size(), posts, cpu, nginxCpu);
    exchangetest::DestroyPumping(window, thread);
  }
}

}  // namespace
