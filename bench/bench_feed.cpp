// The exchange thread's per-line work on a real recording: the parser with
// the table, plus the sort after each "$G", "$H" and "$J"; and the parser's
// decoding alone. Reports lines per second and heap allocations per line.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <new>
#include <string>
#include <vector>

#include "feed/timingfeedparser.h"
#include "support/feedrecording.h"
#include "standings/competitors.h"

namespace {
std::atomic<long long> allocations{0};
}

void* operator new(std::size_t size) {
  allocations.fetch_add(1, std::memory_order_relaxed);
  if (void* p = std::malloc(size == 0 ? 1 : size)) return p;
  throw std::bad_alloc();
}
void operator delete(void* p) noexcept { std::free(p); }
void operator delete(void* p, std::size_t) noexcept { std::free(p); }

namespace {

const std::vector<std::string>& Recording() {
  static const std::vector<std::string> lines = testsupport::RecordingLines("race-gaps.feed");
  return lines;
}

bool Skip(benchmark::State& state) {
  if (!Recording().empty()) return false;
  state.SkipWithError("recorded feeds absent (../shared/feeds)");
  return true;
}

void WithTable(benchmark::State& state) {
  if (Skip(state)) return;
  const auto& lines = Recording();
  for (const auto& line : lines) ProcessFeedLine(line.c_str());  // the table holds its competitors
  const long long before = allocations.load();
  long long hotAllocations = 0;
  long long hotLines = 0;
  for (auto _ : state) {
    for (const auto& line : lines) {
      const bool hot = line.size() > 1 && (line[1] == 'F' || line[1] == 'G' || line[1] == 'H' || line[1] == 'J');
      const long long mark = allocations.load(std::memory_order_relaxed);
      const TProcessResult* r = ProcessFeedLine(std::string_view(line));
      if (r != nullptr && (r->kind == rkRace || r->kind == rkBestLap || r->kind == rkPassing)) SortCompetitors(smRace);
      if (hot) {
        hotAllocations += allocations.load(std::memory_order_relaxed) - mark;
        ++hotLines;
      }
    }
  }
  const auto total = static_cast<double>(state.iterations() * static_cast<long long>(lines.size()));
  state.SetItemsProcessed(static_cast<long long>(total));
  state.counters["allocs/line"] = static_cast<double>(allocations.load() - before) / total;
  state.counters["allocs/FGHJ line"] = hotLines ? static_cast<double>(hotAllocations) / static_cast<double>(hotLines) : 0;
}
BENCHMARK(WithTable)->Unit(benchmark::kMillisecond);

// The steady state of a session: the table holds its competitors and only
// "$F", "$G", "$H" and "$J" lines arrive. None of them may allocate.
void SteadyStateNoAllocation(benchmark::State& state) {
  if (Skip(state)) return;
  std::vector<std::string> hot;
  for (const auto& line : Recording()) {
    ProcessFeedLine(line.c_str());
    if (line.size() > 1 && (line[1] == 'F' || line[1] == 'G' || line[1] == 'H' || line[1] == 'J')) hot.push_back(line);
  }
  for (const auto& line : hot) ProcessFeedLine(line.c_str());  // every passing's competitor exists now
  long long inLoop = 0;
  for (auto _ : state) {
    const long long mark = allocations.load(std::memory_order_relaxed);
    for (const auto& line : hot) {
      const TProcessResult* r = ProcessFeedLine(std::string_view(line));
      if (r != nullptr && r->kind != rkHeartbeat) SortCompetitors(smRace);
    }
    inLoop += allocations.load(std::memory_order_relaxed) - mark;
  }
  const auto total = static_cast<double>(state.iterations() * static_cast<long long>(hot.size()));
  state.SetItemsProcessed(static_cast<long long>(total));
  state.counters["allocs/line"] = static_cast<double>(inLoop) / total;
}
BENCHMARK(SteadyStateNoAllocation)->Unit(benchmark::kMillisecond);

void DecodeOnly(benchmark::State& state) {
  if (Skip(state)) return;
  const auto& lines = Recording();
  TProcessResult record;
  for (const auto& line : lines) feed::DecodeRecord(line, record);
  const long long before = allocations.load();
  for (auto _ : state) {
    for (const auto& line : lines) {
      benchmark::DoNotOptimize(feed::DecodeRecord(line, record));
    }
  }
  const auto total = static_cast<double>(state.iterations() * static_cast<long long>(lines.size()));
  state.SetItemsProcessed(static_cast<long long>(total));
  state.counters["allocs/line"] = static_cast<double>(allocations.load() - before) / total;
}
BENCHMARK(DecodeOnly)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
