// bench_archive: run from the build's bin folder (the recording controller
// is loaded from beside the program).
//   1. lines per second through the exchange thread, recording off and on,
//      in alternating rounds of the same run;
//   2. bytes the archive writes per hour of race-gaps.feed at its own pace
//      (one receive per stamp, stamped with the recording's own times);
//   3. race-gaps.feed replayed by brelvo-feed (at the speed given as the
//      first argument, 10 by default) over TCP into the exchange thread: the
//      archive without its stamp lines against the bytes brelvo-feed sent,
//      and how many receives ended inside a line.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <spawn.h>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include <sys/wait.h>

#include "archive/feedarchive.h"
#include "exchangetestsupport.h"
#include "recording/recording.h"
#include "support/feedrecording.h"

using namespace exchangetest;
using namespace std::chrono_literals;
using Steady = std::chrono::steady_clock;

namespace {

std::string Passing(int reg) { return "$J,\"" + std::to_string(reg) + "\",\"00:01:02.345\",\"00:10:00.000\"\r\n"; }

std::filesystem::path ScratchFolder() {
  const auto folder = std::filesystem::temp_directory_path() /
                      ("brelvo-bench-archive-" + std::to_string(Steady::now().time_since_epoch().count()));
  std::filesystem::create_directories(folder);
  return folder;
}

// Seconds for `lines` lines to reach the per-line step, with or without
// the archive behind the thread.
double OneRound(const std::string& burst, int lines, bool recording, const std::filesystem::path& folder) {
  std::unique_ptr<TFeedArchive> archive;
  TScoreboardExchangeThread::Options options;
  options.libraryName = FakeBoard::kLibraryName;
  FeedLogRecorder log;
  options.feedLog = log.Sink();
  if (recording) {
    TArchiveOptions archiveOptions;
    archiveOptions.folder = folder;
    archive = std::make_unique<TFeedArchive>(archiveOptions);
    options.feedConnected = [a = archive.get()] { a->FeedConnected(); };
    options.feedReceived = [a = archive.get()](const char* b, std::size_t n) { a->FeedReceived(b, n); };
  }
  TestWindow window;
  LoopbackServer server;
  auto thread = std::make_unique<TScoreboardExchangeThread>(window.Handle(), options);
  thread->SetFeedAddress(LoopbackAddress(), server.Port());
  if (!server.Accept(10s)) std::printf("no connection\n");
  server.Send("$I,\"00:00:00\",\"0/0/0000\"\r\n");
  while (log.Count() < 1) std::this_thread::sleep_for(1ms);
  const auto begin = Steady::now();
  std::thread writer([&] { server.Send(burst); });
  const auto deadline = begin + 60s;
  while (log.Count() < static_cast<std::size_t>(lines) + 1 && Steady::now() < deadline) {
    std::this_thread::sleep_for(200us);
  }
  const double seconds = std::chrono::duration<double>(Steady::now() - begin).count();
  writer.join();
  DestroyPumping(window, thread);
  return seconds;
}

void Throughput() {
  constexpr int kLines = 200000;
  std::string burst;
  for (int i = 0; i < kLines; ++i) burst += Passing(1 + i % 20);
  const auto folder = ScratchFolder();
  std::vector<double> off, on;
  for (int round = 0; round < 5; ++round) {
    off.push_back(OneRound(burst, kLines, false, folder));
    on.push_back(OneRound(burst, kLines, true, folder));
  }
  std::sort(off.begin(), off.end());
  std::sort(on.begin(), on.end());
  const double offRate = kLines / off[off.size() / 2];
  const double onRate = kLines / on[on.size() / 2];
  std::printf(
      "exchange thread, %d lines per round, median of 5: recording off %.0f lines/s, on %.0f lines/s, "
      "on/off %.3f (goal >= 0.95)\n",
      kLines, offRate, onRate, onRate / offRate);
  std::error_code ignored;
  std::filesystem::remove_all(folder, ignored);
}

void BytesPerHour() {
  const auto file = testsupport::FeedsDir() / "race-gaps.feed";
  if (!std::filesystem::exists(file)) {
    std::printf("bytes per hour: skipped, %s not found\n", file.string().c_str());
    return;
  }
  std::string recording;
  {
    std::FILE* in = std::fopen(file.string().c_str(), "rb");
    char chunk[65536];
    for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, in)) > 0;) recording.append(chunk, n);
    std::fclose(in);
  }
  // The receives as they came: each stamp's records, at the stamp's time.
  struct TReceive {
    std::int64_t atMs;
    std::string bytes;
  };
  std::vector<TReceive> receives;
  for (const auto& event : recording::ParseRecording(recording, 10)) {
    if (receives.empty() || static_cast<int>(receives.size()) != event.burst) receives.push_back({event.atMs, {}});
    receives.back().bytes += event.bytes;
  }
  const auto folder = ScratchFolder();
  const std::int64_t start = 1'700'000'000'000;
  std::int64_t now = start;
  TArchiveOptions options;
  options.folder = folder;
  options.now = [&now] { return now; };
  std::uint64_t written = 0;
  {
    TFeedArchive archive(options);
    for (const TReceive& r : receives) {
      now = start + r.atMs;
      archive.FeedReceived(r.bytes.data(), r.bytes.size());
      archive.Drain();  // `now` is read on this thread only, but keep the writer in step
    }
    written = archive.Figures().bytesWritten;
  }
  const double hours = static_cast<double>(receives.back().atMs) / 3.6e6;
  const double perHour = static_cast<double>(written) / hours;
  std::printf(
      "race-gaps.feed at its own pace: %zu receives, %.1f min, %llu bytes written, %.0f bytes/h "
      "(%.1f MB per 12-hour day; 2 GB hold %.0f such days)\n",
      receives.size(), hours * 60, static_cast<unsigned long long>(written), perHour, perHour * 12 / 1e6,
      2.0 * 1024 * 1024 * 1024 / (perHour * 12));
  std::error_code ignored;
  std::filesystem::remove_all(folder, ignored);
}

// The file without its stamp lines.
std::string WithoutStamps(const std::string& file) {
  std::string out;
  for (std::size_t begin = 0; begin < file.size();) {
    std::size_t end = file.find('\n', begin);
    end = end == std::string::npos ? file.size() : end + 1;
    if (file.compare(begin, 2, "##") != 0) out.append(file, begin, end - begin);
    begin = end;
  }
  return out;
}

std::string Slurp(const std::filesystem::path& file) {
  std::string out;
  std::FILE* in = std::fopen(file.string().c_str(), "rb");
  if (in == nullptr) return out;
  char chunk[65536];
  for (std::size_t n; (n = std::fread(chunk, 1, sizeof chunk, in)) > 0;) out.append(chunk, n);
  std::fclose(in);
  return out;
}

void ReplayThroughTheThread(double speed) {
  const auto recordingFile = testsupport::FeedsDir() / "race-gaps.feed";
  if (!std::filesystem::exists(recordingFile)) {
    std::printf("replay through the thread: skipped, %s not found\n", recordingFile.string().c_str());
    return;
  }
  const auto folder = ScratchFolder();
  const std::string sentFile = (folder / "sent.feed").string();
  char speedText[32];
  std::snprintf(speedText, sizeof speedText, "%g", speed);
  const std::string recordingText = recordingFile.string();
  int out[2];
  if (::pipe(out) != 0) return;
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
  posix_spawn_file_actions_addclose(&actions, out[0]);
  const char* args[] = {BRELVO_FEED_EXE, "--port",  "0",        "--replay",       recordingText.c_str(),
                        "--speed",       speedText, "--record", sentFile.c_str(), nullptr};
  pid_t feed = 0;
  const int spawned = ::posix_spawn(&feed, BRELVO_FEED_EXE, &actions, nullptr, const_cast<char* const*>(args), environ);
  posix_spawn_file_actions_destroy(&actions);
  ::close(out[1]);
  if (spawned != 0) {
    std::printf("replay through the thread: cannot start %s\n", BRELVO_FEED_EXE);
    ::close(out[0]);
    return;
  }
  std::FILE* feedOut = ::fdopen(out[0], "r");
  char line[256];
  int port = 0;
  while (port == 0 && std::fgets(line, sizeof line, feedOut) != nullptr) {
    std::sscanf(line, "listening on 127.0.0.1:%d", &port);
  }

  TArchiveOptions archiveOptions;
  archiveOptions.folder = folder / "Archive";
  auto archive = std::make_unique<TFeedArchive>(archiveOptions);
  TScoreboardExchangeThread::Options options;
  options.libraryName = FakeBoard::kLibraryName;
  FeedLogRecorder log;
  options.feedLog = log.Sink();
  options.feedConnected = [a = archive.get()] { a->FeedConnected(); };
  options.feedReceived = [a = archive.get()](const char* b, std::size_t n) { a->FeedReceived(b, n); };
  TestWindow window;
  auto thread = std::make_unique<TScoreboardExchangeThread>(window.Handle(), options);
  thread->SetFeedAddress(LoopbackAddress(), static_cast<std::uint16_t>(port));
  const auto begin = Steady::now();
  // The replay's last line, then its end before its first repeated
  // heartbeat; the window is pumped meanwhile, as the feed log needs.
  std::atomic<bool> done{false};
  std::thread reader([&] {
    char text[256];
    while (std::fgets(text, sizeof text, feedOut) != nullptr && std::string(text) != "done\n") {
    }
    done = true;
  });
  while (!done.load()) {
    window.Pump();
    std::this_thread::sleep_for(1ms);
  }
  reader.join();
  ::kill(feed, SIGTERM);
  ::waitpid(feed, nullptr, 0);
  std::fclose(feedOut);
  const double seconds = std::chrono::duration<double>(Steady::now() - begin).count();
  for (const auto until = Steady::now() + 1s; Steady::now() < until;) window.Pump();
  DestroyPumping(window, thread);
  archive->Close();
  const auto figures = archive->Figures();
  archive.reset();

  std::vector<std::filesystem::path> paths;
  for (const auto& entry : std::filesystem::directory_iterator(folder / "Archive")) paths.push_back(entry.path());
  std::sort(paths.begin(), paths.end());
  std::string archived;
  for (const auto& path : paths) archived += Slurp(path);
  const std::string sent = Slurp(sentFile);
  const std::string stripped = WithoutStamps(archived);
  std::size_t glued = 0;
  for (std::size_t at = archived.find("##"); at != std::string::npos; at = archived.find("##", at + 2)) {
    if (at > 0 && archived[at - 1] != '\n') ++glued;
  }
  std::printf(
      "race-gaps.feed by brelvo-feed at speed %s into the exchange thread (%.1f s): %zu bytes sent, %zu archive "
      "file(s) of %zu bytes, %zu bytes without stamp lines, equal to the bytes sent: %s; %llu receives, %llu ended "
      "inside a line, %llu lost; stamps not at a line's start: %zu\n",
      speedText, seconds, sent.size(), paths.size(), archived.size(), stripped.size(), stripped == sent ? "yes" : "NO",
      static_cast<unsigned long long>(figures.receivesRecorded),
      static_cast<unsigned long long>(figures.receivesEndedInsideLine),
      static_cast<unsigned long long>(figures.receivesLost), glued);
  std::error_code ignored;
  std::filesystem::remove_all(folder, ignored);
}

}  // namespace

int main(int argc, char** argv) {
  FakeBoard board;
  if (!board.Loaded()) {
    std::printf("fakescoreboard library not found beside the program\n");
    return 1;
  }
  BytesPerHour();
  ReplayThroughTheThread(argc > 1 ? std::atof(argv[1]) : 10.0);
  Throughput();
  return 0;
}
