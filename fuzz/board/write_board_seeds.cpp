// Writes the seed corpus of fuzz_board_frames: one file per kind of frame,
// as the controller and the board encode them, plus a table push and a
// picture that span several frames and a line with garbage between frames.
//
//   write_board_seeds <folder>
#include <cstdio>
#include <string>
#include <vector>

#include "boardprotocol.h"

namespace bp = boardprotocol;

namespace {

bool Write(const std::string& folder, const char* name, const std::vector<std::uint8_t>& frames) {
  std::vector<std::uint8_t> bytes{0x2A};  // the fuzzer's piece-size byte
  bytes.insert(bytes.end(), frames.begin(), frames.end());
  const std::string path = folder + "/" + name;
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return std::fclose(f) == 0 && ok;
}

std::vector<std::uint8_t> One(const bp::TMessage& m, std::uint8_t seq) {
  std::vector<std::uint8_t> out;
  bp::AppendMessage(out, m, seq);
  return out;
}

bp::TRowData Row(std::int32_t row, std::int32_t number, const char* name) {
  bp::TRowData r;
  r.mode = 1;
  r.row = row;
  r.number = number;
  r.bestLapTime = 41000 + row * 317;
  r.lastLapTime = 42000 + row * 211;
  r.laps = 12 - row / 4;
  r.totalTime = 500000 + row * 1500;
  r.raceGap = row == 1 ? 0 : (row > 6 ? -1 : row * 1500);
  r.bestLapGap = row * 317;
  r.name = name;
  return r;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: write_board_seeds <folder>\n");
    return 2;
  }
  const std::string folder = argv[1];
  bool ok = true;
  ok &= Write(folder, "clear", One(bp::TClearBoardMsg{1}, 1));
  ok &= Write(folder, "show", One(bp::TShowMsg{1, 2}, 2));
  ok &= Write(folder, "lights", [] {
    auto a = One(bp::TStartLightMsg{}, 3), b = One(bp::TFinishLightMsg{}, 4);
    a.insert(a.end(), b.begin(), b.end());
    return a;
  }());
  ok &= Write(folder, "brightness_clock", [] {
    auto a = One(bp::TSetBrightnessMsg{9}, 5), b = One(bp::TSetRaceTimeMsg{5025}, 6);
    a.insert(a.end(), b.begin(), b.end());
    return a;
  }());
  ok &= Write(folder, "set_row", One(bp::TSetRowMsg{Row(3, 27, "Сидоров Илья")}, 7));
  ok &= Write(folder, "query", One(bp::TQueryMsg{}, 8));
  ok &= Write(folder, "hello", One(bp::THelloMsg{3, 1, 2, 3, 0x0302010Au}, 9));
  ok &= Write(folder, "heartbeat_ack", [] {
    auto a = One(bp::THeartbeatMsg{123456, 77, 2}, 10), b = One(bp::TAckMsg{10, bp::TAckMsg::akOk}, 11);
    a.insert(a.end(), b.begin(), b.end());
    return a;
  }());

  std::vector<bp::TRowData> rows;
  static const char* const kNames[] = {"Иванов Пётр", "Петров Андрей", "Кузнецова Мария", "", "Smith"};
  for (int i = 1; i <= 30; ++i) rows.push_back(Row(i, 10 + i, kNames[i % 5]));
  rows[4] = rows[3];  // a repeated row costs one byte
  rows[4].row = 5;
  std::vector<std::uint8_t> push;
  std::uint8_t seq = 12;
  bp::AppendTablePush(push, rows, 1, 1, seq);
  ok &= Write(folder, "table_push_30", push);

  // Long names make a push of several parts.
  std::vector<bp::TRowData> wide;
  for (int i = 1; i <= 60; ++i) {
    const std::string name = std::string(80, 'W') + std::to_string(i);  // no two alike: every name travels
    wide.push_back(Row(i, i, name.c_str()));
  }
  std::vector<std::uint8_t> parts;
  bp::AppendTablePush(parts, wide, 0, 1, seq);
  ok &= Write(folder, "table_push_parts", parts);

  std::vector<std::uint8_t> bits(16 * 24, 0);
  for (std::size_t i = 0; i < bits.size(); i += 5) bits[i] = static_cast<std::uint8_t>(0xF0 ^ i);
  std::vector<std::uint8_t> picture;
  bp::AppendPicture(picture, bits.data(), 128, 24, 0, 0, 1, seq);
  ok &= Write(folder, "picture", picture);

  // Noise, a damaged frame and a good one behind them.
  std::vector<std::uint8_t> noisy{0x00, 0xB7, 0xB7, 0x5A, 0x01, 0xFF};
  auto damaged = One(bp::TSetRaceTimeMsg{61}, 40);
  damaged[damaged.size() - 1] ^= 0x55;
  noisy.insert(noisy.end(), damaged.begin(), damaged.end());
  const auto good = One(bp::TSetRaceTimeMsg{62}, 41);
  noisy.insert(noisy.end(), good.begin(), good.end());
  ok &= Write(folder, "resync", noisy);

  bp::TTablePatchMsg patch;
  patch.baseId = 1;
  patch.tableId = 2;
  patch.mode = 1;
  patch.rowCount = 30;
  patch.changes = {{2, bp::kfLaps | bp::kfLastLap, bp::TRowData{0, 0, 0, 0, 43111, 13, 0, 0, 0, ""}},
                   {7, bp::kfName | bp::kfNumber, bp::TRowData{0, 0, 44, 0, 0, 0, 0, 0, 0, "Орлов Пётр"}}};
  std::vector<std::uint8_t> patched;
  seq = 20;
  bp::AppendTablePush(patched, rows, 0, 1, seq, 1);
  bp::AppendMessage(patched, patch, seq++);
  ok &= Write(folder, "table_patch", patched);
  std::vector<std::uint8_t> answers;
  bp::AppendMessage(answers, bp::THelloMsg{5, 1, 0, 0, std::nullopt}, 1);
  bp::AppendMessage(answers, bp::TDrawnMsg{2, bp::TDrawnMsg::dwDrawn}, 2);
  bp::AppendMessage(answers, bp::TDrawnMsg{3, bp::TDrawnMsg::dwNeedWhole}, 3);
  bp::AppendMessage(answers, bp::THeartbeatMsg{1000, 4, 1, 2}, 4);
  ok &= Write(folder, "board_answers", answers);
  if (!ok) std::fprintf(stderr, "write_board_seeds: cannot write to %s\n", folder.c_str());
  return ok ? 0 : 1;
}
