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
