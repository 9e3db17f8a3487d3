// bench_archive: run from the build's bin folder (the recording controller
// is loaded from beside the program).
//   1. lines per second through the exchange thread, recording off and on,
//      in alternating rounds of the same run;
//   2. bytes the archive writes per hour of race-gaps.feed at its own pace
//      (one receive per stamp, stamped with the recording's own times).
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "archive/feedarchive.h"
#include "exchangetestsupport.h"
#include "feedsource.h"
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
  for (const auto& event : feedsim::ParseRecording(recording, 10)) {
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

}  // namespace

int main() {
  FakeBoard board;
  if (!board.Loaded()) {
    std::printf("fakescoreboard library not found beside the program\n");
    return 1;
  }
  BytesPerHour();
  Throughput();
  return 0;
}
