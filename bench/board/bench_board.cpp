// The board line's budget: bytes on the wire for a table push of 30 rows
// (compact push against one frame per operation), and encode/decode speed.
#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "boardencoder.h"
#include "boardprotocol.h"
#include "support/racetable.h"

namespace bp = boardprotocol;

namespace {

using testsupport::RaceTable;

std::vector<std::uint8_t> PushBytes(const std::vector<bp::TRowData>& rows) {
  std::vector<std::uint8_t> wire;
  std::uint8_t seq = 0;
  bp::AppendTablePush(wire, rows, 0, 1, seq);
  return wire;
}

std::vector<std::uint8_t> PerOperationBytes(const std::vector<bp::TRowData>& rows) {
  std::vector<std::uint8_t> wire;
  std::uint8_t seq = 0;
  bp::AppendMessage(wire, bp::TClearBoardMsg{0}, seq++);
  for (const auto& r : rows) bp::AppendMessage(wire, bp::TSetRowMsg{r}, seq++);
  bp::AppendMessage(wire, bp::TShowMsg{0, 1}, seq++);
  return wire;
}

void BM_EncodeTablePush30(benchmark::State& state) {
  const auto rows = RaceTable(30);
  std::vector<std::uint8_t> wire;
  for (auto _ : state) {
    wire.clear();
    std::uint8_t seq = 0;
    bp::AppendTablePush(wire, rows, 0, 1, seq);
    benchmark::DoNotOptimize(wire.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * wire.size()));
  state.counters["wire_bytes"] = static_cast<double>(wire.size());
}
BENCHMARK(BM_EncodeTablePush30);

void BM_DecodeTablePush30(benchmark::State& state) {
  const auto wire = PushBytes(RaceTable(30));
  bp::TFrameDecoder decoder;
  for (auto _ : state) {
    decoder.Feed(wire);
    auto frame = decoder.Next();
    auto message = bp::DecodePayload(*frame);
    benchmark::DoNotOptimize(message);
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * wire.size()));
}
BENCHMARK(BM_DecodeTablePush30);

// Resynchronising through noise: decoder throughput when a third of the line is garbage.
void BM_DecodeThroughNoise(benchmark::State& state) {
  auto wire = PushBytes(RaceTable(30));
  std::mt19937 rng(1);
  std::vector<std::uint8_t> line;
  for (int i = 0; i < 20; ++i) {
    for (int k = 0; k < 600; ++k) line.push_back(static_cast<std::uint8_t>(rng()));
    line.insert(line.end(), wire.begin(), wire.end());
  }
  bp::TFrameDecoder decoder;
  std::size_t frames = 0;
  for (auto _ : state) {
    decoder.Feed(line);
    while (auto f = decoder.Next()) ++frames;
  }
  benchmark::DoNotOptimize(frames);
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * line.size()));
}
BENCHMARK(BM_DecodeThroughNoise);

void BM_EncodeFullPicture(benchmark::State& state) {
  std::vector<std::uint8_t> bits(bp::kMaxPictureBytes, 0);
  for (std::size_t i = 0; i < bits.size(); i += 61) bits[i] = 0xF0;
  std::vector<std::uint8_t> wire;
  for (auto _ : state) {
    wire.clear();
    std::uint8_t seq = 0;
    bp::AppendPicture(wire, bits.data(), 8192, 1024, 0, 0, 1, seq);
    benchmark::DoNotOptimize(wire.data());
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * bits.size()));
  state.counters["wire_bytes"] = static_cast<double>(wire.size());
}
BENCHMARK(BM_EncodeFullPicture);

}  // namespace

// Bytes a push takes when only what changed travels: a 76-row table, then
// a passing (one kart's lap, two karts swap places).
void PrintChangedRows() {
  auto rows = RaceTable(76);
  TBoardEncoder encoder;
  std::vector<std::uint8_t> whole, patch;
  encoder.Encode(TTableCmd{rows, 0, 1}, whole);
  rows[10].laps += 1;
  rows[10].lastLapTime += 321;
  rows[10].totalTime += rows[10].lastLapTime;
  std::swap(rows[20].name, rows[21].name);
  std::swap(rows[20].number, rows[21].number);
  encoder.Encode(TTableCmd{rows, 0, 1}, patch);
  std::printf("76-row table: %zu bytes whole; after one passing %zu bytes (%.1f ms at 115200 8N1)\n", whole.size(),
              patch.size(), static_cast<double>(patch.size()) * 10.0 / 115.2);
}

int main(int argc, char** argv) {
  PrintChangedRows();
  const auto rows = RaceTable(30);
  const auto push = PushBytes(rows);
  const auto single = PerOperationBytes(rows);
  std::printf(
      "30-row table push: %zu bytes in one frame (%.1f ms at 115200 8N1); "
      "as %zu single-operation frames: %zu bytes\n",
      push.size(), static_cast<double>(push.size()) * 10.0 / 115.2, rows.size() + 2, single.size());
  benchmark::Initialize(&argc, argv);
  if (benchmark::ReportUnrecognizedArguments(argc, argv)) return 1;
  benchmark::RunSpecifiedBenchmarks();
  benchmark::Shutdown();
  return 0;
}
