#include "boardencoder.h"

#include <utility>

namespace bp = boardprotocol;

namespace {

// The fields of `row` named in `mask`; the others zero, as the wire has them.
bp::TRowData Masked(const bp::TRowData& row, std::uint32_t mask) {
  bp::TRowData out;
  if (mask & bp::kfName) out.name = bp::TruncateUtf8(row.name, bp::kMaxNameBytes);
  if (mask & bp::kfNumber) out.number = row.number;
  if (mask & bp::kfBestLap) out.bestLapTime = row.bestLapTime;
  if (mask & bp::kfLastLap) out.lastLapTime = row.lastLapTime;
  if (mask & bp::kfTotal) out.totalTime = row.totalTime;
  if (mask & bp::kfRaceGap) out.raceGap = row.raceGap;
  if (mask & bp::kfBestGap) out.bestLapGap = row.bestLapGap;
  if (mask & bp::kfLaps) out.laps = row.laps;
  if (mask & bp::kfRow) out.row = row.row;
  if (mask & bp::kfMode) out.mode = row.mode;
  return out;
}

}  // namespace

bool TBoardEncoder::DisplayIsTable() const { return display_ && std::holds_alternative<TTableCmd>(*display_); }

void TBoardEncoder::AppendQuery(std::vector<std::uint8_t>& out) { bp::AppendMessage(out, bp::TQueryMsg{}, seq_++); }

void TBoardEncoder::Remember(const TBoardCommand& command) {
  std::visit(bp::TOverloaded{
                 [this](const bp::TSetBrightnessMsg& m) { brightness_ = m; },
                 [this](const bp::TSetRaceTimeMsg& m) { clock_ = m; },
                 [this, &command](const TTableCmd&) { display_ = command; },
                 [this, &command](const TPictureCmd&) { display_ = command; },
                 [this, &command](const bp::TClearBoardMsg&) { display_ = command; },
                 [this, &command](const bp::TStartLightMsg&) { display_ = command; },
                 [this, &command](const bp::TFinishLightMsg&) { display_ = command; },
             },
             command);
}

void TBoardEncoder::Encode(const TBoardCommand& command, std::vector<std::uint8_t>& out) {
  Remember(command);
  std::visit(
      bp::TOverloaded{
          [&](const TTableCmd& t) { EncodeTable(t, t.fullRefresh != 0, out); },
          [&](const TPictureCmd& p) {
            if (bp::AppendPicture(out, p.bits.data(), p.width, p.height, p.reserved1, p.reserved2, pictureId_, seq_)) {
              ++pictureId_;
            }
          },
          [&](const auto& message) { bp::AppendMessage(out, message, seq_++); },
      },
      command);
}

void TBoardEncoder::EncodeTable(const TTableCmd& table, bool whole, std::vector<std::uint8_t>& out) {
  const std::uint32_t id = nextTableId_++;
  if (nextTableId_ == 0) nextTableId_ = 1;  // 0 stands for "no table"
  std::vector<std::uint8_t> full;
  std::uint8_t fullSeq = seq_;
  bp::AppendTablePush(full, table.rows, table.fullRefresh, table.mode, fullSeq, id);
  bool sent = false;
  if (!whole && baseValid_) {
    bp::TTablePatchMsg patch;
    patch.baseId = sentId_;
    patch.tableId = id;
    patch.mode = table.mode;
    patch.rowCount = static_cast<std::uint32_t>(table.rows.size());
    for (std::size_t i = 0; i < table.rows.size(); ++i) {
      bp::TRowData base;
      if (i < sentRows_.size()) {
        base = sentRows_[i];
      } else {
        base.mode = table.mode;
        base.row = static_cast<std::int32_t>(i + 1);
      }
      const std::uint32_t mask = bp::RowDifference(table.rows[i], base);
      if (mask != 0) patch.changes.push_back({static_cast<std::uint32_t>(i), mask, Masked(table.rows[i], mask)});
    }
    std::vector<std::uint8_t> patched;
    if (bp::AppendMessage(patched, patch, seq_) && patched.size() < full.size()) {
      ++seq_;
      out.insert(out.end(), patched.begin(), patched.end());
      sent = true;
    }
  }
  if (!sent) {
    out.insert(out.end(), full.begin(), full.end());
    seq_ = fullSeq;
    wholeId_ = id;
  }
  sentRows_ = table.rows;
  for (auto& row : sentRows_) row.name = bp::TruncateUtf8(row.name, bp::kMaxNameBytes);
  sentId_ = id;
  baseValid_ = true;
}

bool TBoardEncoder::ResendTable(std::vector<std::uint8_t>& out) {
  if (!DisplayIsTable()) return false;
  TTableCmd table = std::get<TTableCmd>(*display_);
  table.fullRefresh = 1;
  EncodeTable(table, true, out);
  return true;
}

void TBoardEncoder::Replay(std::vector<std::uint8_t>& out) {
  if (brightness_) bp::AppendMessage(out, *brightness_, seq_++);
  if (display_ && !ResendTable(out)) {
    const TBoardCommand display = *display_;
    Encode(display, out);
  }
  if (clock_) bp::AppendMessage(out, *clock_, seq_++);
}
