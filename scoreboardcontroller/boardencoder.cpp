#include "boardoperation.h"
#include "boardprotocol.h"

namespace bp = boardprotocol;

void EncodeBoardOperation(const TBoardOp& op, std::vector<std::uint8_t>& out, std::uint8_t& seq,
                          std::uint8_t& pictureId) {
  const auto* a = op.args;
  switch (op.kind) {
    case TBoardOpKind::ClearBoard:
      bp::AppendMessage(out, bp::TClearBoardMsg{a[0]}, seq++);
      break;
    case TBoardOpKind::Show:
      bp::AppendMessage(out, bp::TShowMsg{a[0], a[1]}, seq++);
      break;
    case TBoardOpKind::StartLight:
      bp::AppendMessage(out, bp::TStartLightMsg{}, seq++);
      break;
    case TBoardOpKind::FinishLight:
      bp::AppendMessage(out, bp::TFinishLightMsg{}, seq++);
      break;
    case TBoardOpKind::SetBrightness:
      bp::AppendMessage(out, bp::TSetBrightnessMsg{a[0]}, seq++);
      break;
    case TBoardOpKind::SetRaceTime:
      bp::AppendMessage(out, bp::TSetRaceTimeMsg{a[0]}, seq++);
      break;
    case TBoardOpKind::ShowPicture:
      if (bp::AppendPicture(out, op.bits.data(), a[0], a[1], a[2], a[3], pictureId, seq)) ++pictureId;
      break;
    case TBoardOpKind::SetRow: {
      bp::TSetRowMsg msg;
      msg.row = bp::TRowData{a[0], a[1], a[2], a[3], a[4], a[5], a[6], a[7], a[8], bp::Utf16ToUtf8(op.name)};
      bp::AppendMessage(out, msg, seq++);
      break;
    }
  }
}

namespace {

bp::TRowData RowOf(const TBoardOp& op) {
  const auto* a = op.args;
  return bp::TRowData{a[0], a[1], a[2], a[3], a[4], a[5], a[6], a[7], a[8], bp::Utf16ToUtf8(op.name)};
}

bool IsTableStart(const TBoardOp& op) { return op.kind == TBoardOpKind::ClearBoard && op.args[0] == 0; }

}  // namespace

void TBoardEncoder::Emit(const TBoardOp& op, std::vector<std::uint8_t>& out, std::uint8_t& seq) {
  EncodeBoardOperation(op, out, seq, pictureId_);
}

void TBoardEncoder::EmitTable(const std::vector<TBoardOp>& table, std::vector<std::uint8_t>& out,
                              std::uint8_t& seq) {
  // table: ClearBoard(0), rows..., Show
  std::vector<bp::TRowData> rows;
  rows.reserve(table.size());
  for (std::size_t i = 1; i + 1 < table.size(); ++i) rows.push_back(RowOf(table[i]));
  const TBoardOp& show = table.back();
  bp::AppendTablePush(out, rows, show.args[0], show.args[1], seq);
}

void TBoardEncoder::FlushPending(std::vector<std::uint8_t>& out, std::uint8_t& seq) {
  for (const TBoardOp& op : pending_) Emit(op, out, seq);
  pending_.clear();
}

void TBoardEncoder::Add(const TBoardOp& op, std::vector<std::uint8_t>& out, std::uint8_t& seq) {
  if (IsTableStart(op)) {
    FlushPending(out, seq);  // a table begun and never shown goes out as it was called
    pending_.push_back(op);
    return;
  }
  if (!pending_.empty()) {
    if (op.kind == TBoardOpKind::SetRow) {
      pending_.push_back(op);
      return;
    }
    if (op.kind == TBoardOpKind::Show) {
      pending_.push_back(op);
      EmitTable(pending_, out, seq);
      scene_.swap(pending_);
      pending_.clear();
      sceneIsTable_ = true;
      return;
    }
    FlushPending(out, seq);
  }
  Emit(op, out, seq);
  switch (op.kind) {
    case TBoardOpKind::SetBrightness:
      brightness_ = op;
      hasBrightness_ = true;
      break;
    case TBoardOpKind::SetRaceTime:
      clock_ = op;
      hasClock_ = true;
      break;
    case TBoardOpKind::ClearBoard:  // immediate: the board goes blank
    case TBoardOpKind::StartLight:
    case TBoardOpKind::FinishLight:
    case TBoardOpKind::ShowPicture:
      scene_.assign(1, op);
      sceneIsTable_ = false;
      break;
    case TBoardOpKind::Show:
    case TBoardOpKind::SetRow:
      break;  // outside a table push: sent, not remembered
  }
}

void TBoardEncoder::Replay(std::vector<std::uint8_t>& out, std::uint8_t& seq) {
  if (hasBrightness_) Emit(brightness_, out, seq);
  if (sceneIsTable_) {
    // Sent as a full refresh: the board that comes back draws from nothing.
    std::vector<TBoardOp> table = scene_;
    table.back().args[0] = 1;
    EmitTable(table, out, seq);
  } else {
    for (const TBoardOp& op : scene_) Emit(op, out, seq);
  }
  if (hasClock_) Emit(clock_, out, seq);
}
