// The exchange thread's per-line work on a real recording: the parser with
// the table, plus the sort after each "$G", "$H" and "$J"; and the parser's
// decoding alone. Reports lines per second and heap allocations per line.
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <new>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "feed/timingfeedparser.h"
#include "standings/competitors.h"
#include "support/feedrecording.h"

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
  state.counters["allocs/FGHJ line"] =
      hotLines ? static_cast<double>(hotAllocations) / static_cast<double>(hotLines) : 0;
}
BENCHMARK(WithTable)->Unit(benchmark::kMillisecond);

// The steady state of a session: the table holds its competitors and only
// "$A", "$F", "$G", "$H" and "$J" lines arrive. None of them may allocate,
// the roster's updates by "$A" included.
void SteadyStateNoAllocation(benchmark::State& state) {
  if (Skip(state)) return;
  std::vector<std::string> hot;
  for (const auto& line : Recording()) {
    ProcessFeedLine(line.c_str());
    if (line.size() > 1 && (line[1] == 'A' || line[1] == 'F' || line[1] == 'G' || line[1] == 'H' || line[1] == 'J'))
      hot.push_back(line);
  }
  for (const auto& line : hot) ProcessFeedLine(line.c_str());  // every passing's competitor exists now
  long long inLoop = 0;
  for (auto _ : state) {
    const long long mark = allocations.load(std::memory_order_relaxed);
    for (const auto& line : hot) {
      const TProcessResult* r = ProcessFeedLine(std::string_view(line));
      if (r != nullptr && r->kind != rkHeartbeat && r->kind != rkCompetitor) SortCompetitors(smRace);
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

// The sort alone on a table shaped like a race: 60 competitors, first seen
// through passings (positions by arrival), two thirds of them later placed
// by the feed, so positions tie. Each pass re-orders for every mode, which
// is what a mode change does; the sorted case is the per-record sort.
void FillRaceTable(TCompetitors& table) {
  constexpr int kCount = 60;
  for (int reg = 1; reg <= kCount; ++reg) table.AddPassing(reg * 7, 60000 + reg, 60000 * reg);
  std::uint32_t seed = 12345;
  auto next = [&seed] { return seed = seed * 1103515245u + 12345u; };
  for (int reg = 1; reg <= kCount; ++reg) {
    if (reg % 3 == 0) continue;
    const auto position = static_cast<std::int32_t>(next() % kCount) + 1;
    table.UpdateRace(reg * 7, static_cast<std::int32_t>(next() % 600000), position, 5);
    table.UpdateBestLap(reg * 7, 60000 + static_cast<std::int32_t>(next() % 5000), position % 17 + 1, 3);
  }
}

void SortEveryMode(benchmark::State& state) {
  TCompetitors table;
  FillRaceTable(table);
  const long long before = allocations.load();
  for (auto _ : state) {
    table.Sort(smBestLap);
    table.Sort(smRace);
    table.Sort(smPractice);
  }
  state.SetItemsProcessed(state.iterations() * 3);
  state.counters["allocs/sort"] =
      static_cast<double>(allocations.load() - before) / static_cast<double>(state.iterations() * 3);
}
BENCHMARK(SortEveryMode)->Unit(benchmark::kMicrosecond);

void SortAlreadySorted(benchmark::State& state) {
  TCompetitors table;
  FillRaceTable(table);
  table.Sort(smRace);
  const long long before = allocations.load();
  for (auto _ : state) table.Sort(smRace);
  state.SetItemsProcessed(state.iterations());
  state.counters["allocs/sort"] =
      static_cast<double>(allocations.load() - before) / static_cast<double>(state.iterations());
}
BENCHMARK(SortAlreadySorted)->Unit(benchmark::kMicrosecond);

// The table as race-start.feed leaves it (42 competitors, positions from
// the feed and from passings), re-ordered for each mode in turn.
void SortRecordedTable(benchmark::State& state) {
  if (Skip(state)) return;
  ProcessFeedLine("$I,\"00:00:00\",\"0/0/0000\"\n");
  for (const auto& line : testsupport::RecordingLines("race-start.feed")) ProcessFeedLine(std::string_view(line));
  for (auto _ : state) {
    SortCompetitors(smBestLap);
    SortCompetitors(smRace);
    SortCompetitors(smPractice);
  }
  state.SetItemsProcessed(state.iterations() * 3);
}
BENCHMARK(SortRecordedTable)->Unit(benchmark::kMicrosecond);

}  // namespace

BENCHMARK_MAIN();
