// brelvo-feed: a timing feed server for the proxy to connect to.
//
//   brelvo-feed                          simulate practice, qualifying and race
//   brelvo-feed --replay FILE            replay a recording with its "##" stamps' pacing,
//                                        from its start once the first client connects
//
// Options: --host (127.0.0.1), --port (50000; 0 picks a free one), --speed X,
// --loop, --wait-for-client (the default of --replay), --no-wait (a replay starts at
// once, as a simulation does), --rate N (lines/s for files without stamps), --karts N, --seed N,
// --practice-s N, --qualifying-s N, --race-laps N, --sessions LIST (the simulated sessions
// in their order, e.g. race,practice,qualifying), --record FILE (every byte sent
// to clients, catch-up included, is appended to FILE, flushed per burst). Prints "listening on
// HOST:PORT" once the server is up, the replay's progress once a second on
// long replays, and "done" after the last line (it then keeps serving
// connections until stopped, the last heartbeat repeated every second as the
// timing application does while a client is connected).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <string>
#include <thread>
#include <vector>

#include "feedsource.h"
#include "platform/socket.h"
#include "recording/recording.h"

namespace {

using TSteady = std::chrono::steady_clock;

// A client that lets this much pile up unread is dropped rather than let
// the server's memory grow without end.
constexpr std::size_t kMaxBacklog = 8 * 1024 * 1024;
// The longest the loop sleeps: how late a new client is noticed.
constexpr std::int64_t kMaxIdleMs = 20;
// Replays that last longer than this show their progress.
constexpr double kLongReplayMs = 5000;

struct TClient {
  platform::TcpSocket socket;
  std::string peer;
  std::string backlog;
};

std::string ClockText(std::int64_t ms) {
  const std::int64_t s = ms / 1000;
  char text[32];
  std::snprintf(text, sizeof text, "%02lld:%02lld:%02lld", static_cast<long long>(s / 3600),
                static_cast<long long>(s / 60 % 60), static_cast<long long>(s % 60));
  return text;
}

class TFeedServer {
 public:
  TFeedServer(std::vector<feedsim::TFeedEvent> events, std::size_t fileSize, double speed, bool loop,
              bool waitForClient, std::FILE* record)
      : events_(std::move(events)),
        fileSize_(fileSize),
        speed_(speed),
        loop_(loop),
        waitForClient_(waitForClient),
        record_(record) {
    const double length = events_.empty() ? 0.0 : static_cast<double>(events_.back().atMs);
    showProgress_ = fileSize_ > 0 && length / speed_ > kLongReplayMs;
  }

  bool Listen(std::uint32_t address, std::uint16_t port) { return listener_.Listen(address, port); }
  std::uint16_t Port() const { return listener_.Port(); }

  [[noreturn]] void Run() {
    if (!waitForClient_) Start();
    for (;;) {
      Accept();
      if (started_) Pump();
      Flush();
      if (showProgress_ && started_ && !finished_) Progress();
      std::this_thread::sleep_for(std::chrono::milliseconds(IdleMs()));
    }
  }

 private:
  void Start() {
    started_ = true;
    begin_ = TSteady::now();
    nextProgress_ = begin_ + std::chrono::seconds(1);
  }

  double ElapsedMs() const {
    return std::chrono::duration<double, std::milli>(TSteady::now() - begin_).count() * speed_;
  }

  void Accept() {
    platform::TcpSocket socket;
    bool accepted = false;
    while (listener_.Accept(socket)) {
      accepted = true;
      TClient client;
      client.peer = socket.PeerName();
      socket.SetNonBlocking(true);
      client.socket = std::move(socket);
      const std::string catchUp = catchUp_.Snapshot();
      client.backlog = catchUp;
      Record(catchUp);
      clients_.push_back(std::move(client));
      std::printf("client %s connected (%zu connected)\n", clients_.back().peer.c_str(), clients_.size());
      std::fflush(stdout);
    }
    if (accepted && !started_) Start();  // the first client starts the clock
  }

  // Keeps what the clients were sent, flushed per burst, so a reader that
  // saw a burst's effect finds the burst in the file.
  void Record(const std::string& bytes) {
    if (record_ == nullptr || bytes.empty()) return;
    std::fwrite(bytes.data(), 1, bytes.size(), record_);
    std::fflush(record_);
  }

  // Queues every line that is due for every client.
  void Pump() {
    if (finished_ && !loop_) {
      // Like the timing application, the last heartbeat goes on every
      // second: the proxy takes a feed silent for 15 s as lost.
      if (!lastHeartbeat_.empty() && TSteady::now() >= nextHeartbeat_) {
        nextHeartbeat_ = TSteady::now() + std::chrono::seconds(1);
        Broadcast(lastHeartbeat_);
      }
      return;
    }
    if (finished_) {
      if (loop_ && !events_.empty() && TSteady::now() >= restartAt_) {
        // Around again, one second (of the recording) after the last line.
        finished_ = false;
        next_ = 0;
        begin_ = TSteady::now();
      }
      return;
    }
    const double elapsed = ElapsedMs();
    std::string burst;
    while (next_ < events_.size() && static_cast<double>(events_[next_].atMs) <= elapsed) {
      burst += events_[next_].bytes;
      catchUp_.Note(events_[next_].bytes);
      if (events_[next_].bytes.rfind("$F", 0) == 0) lastHeartbeat_ = events_[next_].bytes;
      ++next_;
    }
    if (!burst.empty()) Broadcast(burst);
    if (next_ == events_.size()) {
      if (showProgress_) Progress(true);
      finished_ = true;
      restartAt_ = TSteady::now() + std::chrono::milliseconds(static_cast<std::int64_t>(1000 / speed_) + 1);
      nextHeartbeat_ = TSteady::now() + std::chrono::seconds(1);
      if (!loop_ || events_.empty()) {
        std::printf("done\n");
        std::fflush(stdout);
        loop_ = false;
      }
    }
  }

  void Broadcast(const std::string& bytes) {
    bool sent = false;
    for (TClient& client : clients_) {
      if (client.backlog.size() > kMaxBacklog) continue;  // Flush drops it
      client.backlog += bytes;
      sent = true;
    }
    if (sent) Record(bytes);
  }

  // Hands each client as much of its backlog as the system takes; drops
  // clients that left or stopped reading.
  void Flush() {
    for (std::size_t i = 0; i < clients_.size();) {
      TClient& client = clients_[i];
      bool gone = false;
      if (client.backlog.size() > kMaxBacklog) {
        std::printf("client %s dropped: not reading\n", client.peer.c_str());
        gone = true;
      }
      while (!gone && !client.backlog.empty()) {
        std::size_t sent = 0;
        const platform::SendStatus status = client.socket.Send(client.backlog.data(), client.backlog.size(), sent);
        if (status == platform::SendStatus::WouldBlock) break;
        if (status == platform::SendStatus::Error) {
          gone = true;
          break;
        }
        client.backlog.erase(0, sent);
      }
      // The proxy never writes to the feed: anything readable is its close.
      char scratch[512];
      std::size_t received = 0;
      const platform::ReceiveStatus status = client.socket.Receive(scratch, sizeof scratch, received);
      if (status == platform::ReceiveStatus::Closed || status == platform::ReceiveStatus::Error) gone = true;
      if (gone) {
        std::fflush(stdout);
        clients_.erase(clients_.begin() + static_cast<std::ptrdiff_t>(i));
      } else {
        ++i;
      }
    }
  }

  // Where the replay stands: in the file and in the session's own time.
  void Progress(bool last = false) {
    const auto now = TSteady::now();
    if (!last && now < nextProgress_) return;
    nextProgress_ = now + std::chrono::seconds(1);
    const std::size_t offset = next_ == 0 ? 0 : events_[next_ - 1].fileOffset;
    const std::int64_t session = next_ == 0 ? 0 : events_[next_ - 1].atMs;
    std::printf("replay: %.1f of %.1f kB (%d %%), session %s of %s\n", static_cast<double>(offset) / 1024.0,
                static_cast<double>(fileSize_) / 1024.0,
                static_cast<int>(fileSize_ == 0 ? 100 : offset * 100 / fileSize_), ClockText(session).c_str(),
                ClockText(events_.back().atMs).c_str());
    std::fflush(stdout);
  }

  int IdleMs() const {
    std::int64_t wait = kMaxIdleMs;
    for (const TClient& client : clients_) {
      if (!client.backlog.empty()) wait = 1;
    }
    if (started_ && !finished_ && next_ < events_.size()) {
      const double due = (static_cast<double>(events_[next_].atMs) - ElapsedMs()) / speed_;
      wait = std::min<std::int64_t>(wait, static_cast<std::int64_t>(std::max(due, 0.0)));
    }
    return static_cast<int>(std::max<std::int64_t>(wait, 1));
  }

  platform::SocketLibrary socketLibrary_;
  platform::TcpListener listener_;
  std::vector<TClient> clients_;
  std::vector<feedsim::TFeedEvent> events_;
  std::size_t fileSize_;
  feedsim::TCatchUp catchUp_;
  std::size_t next_ = 0;
  double speed_;
  bool loop_;
  bool waitForClient_;
  bool started_ = false;
  bool finished_ = false;
  bool showProgress_ = false;
  std::FILE* record_;
  TSteady::time_point begin_{};
  TSteady::time_point restartAt_{};
  TSteady::time_point nextProgress_{};
  TSteady::time_point nextHeartbeat_{};
  std::string lastHeartbeat_;
};

struct TOption {
  const char* name;
  const char* help;
  const char* value;  // null: a switch
  const char* fallback;
};

constexpr TOption kOptions[] = {
    {"host", "address to listen on", "addr", "127.0.0.1"},
    {"port", "TCP port (0: any free one)", "n", "50000"},
    {"replay", "recording to replay", "file", ""},
    {"rate", "lines per second for files without stamps", "n", "10"},
    {"speed", "time compression factor", "x", "1"},
    {"loop", "start again after the last line", nullptr, nullptr},
    {"wait-for-client", "start sending when the first client connects (--replay does)", nullptr, nullptr},
    {"no-wait", "start sending at once, clients or not", nullptr, nullptr},
    {"karts", "karts in the simulated sessions", "n", "10"},
    {"seed", "random seed of the simulation", "n", "1"},
    {"practice-s", "practice length in seconds", "n", "120"},
    {"qualifying-s", "qualifying length in seconds", "n", "120"},
    {"race-laps", "race length in laps", "n", "10"},
    {"sessions", "simulated sessions in their order", "list", "practice,qualifying,race"},
    {"record", "append every byte sent to clients to this file", "file", ""},
};

void Usage() {
  std::printf("Usage: brelvo-feed [options]\nTiming feed simulator and replayer\n\nOptions:\n");
  for (const TOption& o : kOptions) {
    std::string left = std::string("--") + o.name + (o.value ? std::string(" <") + o.value + ">" : "");
    std::printf("  %-26s %s%s%s\n", left.c_str(), o.help, o.fallback && *o.fallback ? " [" : "",
                o.fallback && *o.fallback ? (std::string(o.fallback) + "]").c_str() : "");
  }
  std::printf("  %-26s %s\n", "-h, --help", "this text");
}

int Fail(const std::string& text) {
  std::fprintf(stderr, "brelvo-feed: %s\n", text.c_str());
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::map<std::string, std::string> values;
  for (const TOption& o : kOptions) {
    if (o.value != nullptr) values[o.name] = o.fallback;
  }
  std::map<std::string, bool> switches;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "-h" || arg == "--help") {
      Usage();
      return 0;
    }
    if (arg.rfind("--", 0) != 0) return Fail("unexpected argument " + arg);
    arg.erase(0, 2);
    std::string value;
    const std::size_t equals = arg.find('=');
    const bool inlineValue = equals != std::string::npos;
    if (inlineValue) {
      value = arg.substr(equals + 1);
      arg.erase(equals);
    }
    const auto option =
        std::find_if(std::begin(kOptions), std::end(kOptions), [&](const TOption& o) { return arg == o.name; });
    if (option == std::end(kOptions)) return Fail("unknown option --" + arg);
    if (option->value == nullptr) {
      if (inlineValue) return Fail("--" + arg + " takes no value");
      switches[arg] = true;
      continue;
    }
    if (!inlineValue) {
      if (i + 1 >= argc) return Fail("--" + arg + " needs a value");
      value = argv[++i];
    }
    values[arg] = value;
  }

  auto number = [&values](const char* name, double lo, double hi, double& out) {
    const std::string& text = values[name];
    char* end = nullptr;
    out = std::strtod(text.c_str(), &end);
    return !text.empty() && end != nullptr && *end == '\0' && out >= lo && out <= hi;
  };
  double portN, rateN, speedN, kartsN, seedN, practiceN, qualifyingN, lapsN;
  if (!number("port", 0, 65535, portN)) return Fail("--port is 0..65535");
  if (!number("rate", 0.01, 1e6, rateN)) return Fail("--rate must be positive");
  if (!number("speed", 0.01, 1e5, speedN)) return Fail("--speed is 0.01..100000");
  if (!number("karts", 1, 99, kartsN)) return Fail("--karts is 1..99");
  if (!number("seed", 0, 4294967295.0, seedN)) return Fail("--seed is a 32-bit number");
  if (!number("practice-s", 1, 86400, practiceN) || !number("qualifying-s", 1, 86400, qualifyingN)) {
    return Fail("session lengths are 1..86400 s");
  }
  if (!number("race-laps", 1, 999, lapsN)) return Fail("--race-laps is 1..999");
  const auto order = feedsim::ParseSessionOrder(values["sessions"]);
  if (!order) return Fail("--sessions lists practice, qualifying and race, each at most once");
  const std::uint32_t address = platform::InetAddr(values["host"].c_str());
  if (address == 0xFFFFFFFFu && values["host"] != "255.255.255.255") return Fail("--host needs an IP address");

  std::vector<feedsim::TFeedEvent> events;
  std::size_t fileSize = 0;
  if (!values["replay"].empty()) {
    std::ifstream in(values["replay"], std::ios::binary);
    if (!in) return Fail("cannot read the recording");
    const std::string data((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    fileSize = data.size();
    events = recording::ParseRecording(data, rateN);
  } else {
    feedsim::TSessionConfig c;
    c.order = *order;
    c.karts = static_cast<int>(kartsN);
    c.seed = static_cast<std::uint32_t>(seedN);
    c.practiceSeconds = static_cast<int>(practiceN);
    c.qualifyingSeconds = static_cast<int>(qualifyingN);
    c.raceLaps = static_cast<int>(lapsN);
    events = feedsim::SimulateSessions(c);
  }

  std::FILE* recordFile = nullptr;
  if (!values["record"].empty()) {
    recordFile = std::fopen(values["record"].c_str(), "ab");
    if (recordFile == nullptr) return Fail("cannot open the --record file for appending");
  }
  // A replay that started before the proxy connected would lose the
  // session's start (the names are sent once), so a replay waits for it.
  if (switches["wait-for-client"] && switches["no-wait"])
    return Fail("--wait-for-client and --no-wait exclude each other");
  const bool waitForClient = switches["wait-for-client"] || (!values["replay"].empty() && !switches["no-wait"]);
  TFeedServer server(std::move(events), fileSize, speedN, switches["loop"], waitForClient, recordFile);
  if (!server.Listen(address, static_cast<std::uint16_t>(portN))) {
    return Fail("cannot listen on that address and port");
  }
  std::printf("listening on %s\n", platform::EndpointText(address, server.Port()).c_str());
  std::fflush(stdout);
  server.Run();
}
