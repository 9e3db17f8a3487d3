#include "boardsession.h"

#include <algorithm>

namespace bp = boardprotocol;

void TBoardSession::Opened(TClock::time_point now) {
  open_ = true;
  synced_ = false;
  helloSeen_ = false;
  connectedPosted_ = false;
  downReported_ = false;
  decoder_.Reset();
  out_.clear();
  tableEndsAt_ = 0;
  encoder_.AppendQuery(out_);
  lastQuery_ = now;
}

void TBoardSession::Down() {
  open_ = false;
  synced_ = false;
  out_.clear();
  tableEndsAt_ = 0;
  if (!downReported_) post_(bsDisconnected, 0);
  downReported_ = true;
}

void TBoardSession::Command(const TBoardCommand& command) {
  if (!open_ || !synced_) {
    encoder_.Remember(command);
    return;
  }
  encoder_.Encode(command, out_);
  if (std::holds_alternative<TTableCmd>(command)) tableEndsAt_ = out_.size();
}

void TBoardSession::Written(std::size_t count, TClock::time_point now) {
  count = std::min(count, out_.size());
  out_.erase(out_.begin(), out_.begin() + static_cast<std::ptrdiff_t>(count));
  if (tableEndsAt_ == 0) return;
  if (count >= tableEndsAt_) {
    tableEndsAt_ = 0;
    tableLeft_ = now;
  } else {
    tableEndsAt_ -= count;
  }
}

void TBoardSession::Received(std::span<const std::uint8_t> bytes, TClock::time_point now) {
  decoder_.Feed(bytes);
  while (auto frame = decoder_.Next()) {
    ++stats_.framesIn;
    const auto message = bp::DecodePayload(*frame);
    if (!message) {
      ++stats_.framesRefused;
      continue;
    }
    Handle(*message, now);
  }
}

void TBoardSession::Handle(const bp::TMessage& message, TClock::time_point now) {
  std::visit(bp::TOverloaded{
                 [&](const bp::THelloMsg& m) {
                   // A second hello on the same port: the board restarted and shows nothing.
                   const bool restarted = helloSeen_ && synced_;
                   boardId_ = m.boardId;
                   helloSeen_ = true;
                   if (m.address) post_(bsAddress, static_cast<std::intptr_t>(*m.address));
                   Heard(now);
                   if (restarted) Resync();
                 },
                 [&](const bp::THeartbeatMsg& m) {
                   Heard(now);
                   boardTable_ = m.shownTable;
                   const std::uint32_t sent = encoder_.LastTableId();
                   if (sent != 0 && boardTable_ != sent && tableEndsAt_ == 0 && now - tableLeft_ >= kDrawnWait) {
                     ResendTable();  // the board never got the last table
                   }
                 },
                 [&](const bp::TAckMsg&) { Heard(now); },
                 [&](const bp::TDrawnMsg& m) {
                   Heard(now);
                   if (m.status == bp::TDrawnMsg::dwDrawn) {
                     boardTable_ = m.tableId;
                   } else if (static_cast<std::int32_t>(m.tableId - encoder_.LastWholeTableId()) > 0) {
                     ResendTable();  // a patch refused after the last whole table
                   }
                 },
                 // Our own messages coming back (an echoing line): not the board.
                 [&](const bp::TClearBoardMsg&) { ++stats_.framesRefused; },
                 [&](const bp::TShowMsg&) { ++stats_.framesRefused; },
                 [&](const bp::TStartLightMsg&) { ++stats_.framesRefused; },
                 [&](const bp::TFinishLightMsg&) { ++stats_.framesRefused; },
                 [&](const bp::TSetBrightnessMsg&) { ++stats_.framesRefused; },
                 [&](const bp::TSetRaceTimeMsg&) { ++stats_.framesRefused; },
                 [&](const bp::TSetRowMsg&) { ++stats_.framesRefused; },
                 [&](const bp::TTablePushMsg&) { ++stats_.framesRefused; },
                 [&](const bp::TPictureChunkMsg&) { ++stats_.framesRefused; },
                 [&](const bp::TQueryMsg&) { ++stats_.framesRefused; },
                 [&](const bp::TTablePatchMsg&) { ++stats_.framesRefused; },
             },
             message);
}

void TBoardSession::Heard(TClock::time_point now) {
  if (!open_) return;
  lastHeard_ = now;
  if (!synced_) {
    synced_ = true;
    Resync();
  }
  if (helloSeen_ && (!connectedPosted_ || now - lastConnectedPost_ >= kConnectedRepeat)) {
    post_(bsConnected, boardId_);
    lastConnectedPost_ = now;
    connectedPosted_ = true;
  }
}

void TBoardSession::Resync() {
  encoder_.ForgetBoard();
  encoder_.Replay(out_);
  if (encoder_.DisplayIsTable()) tableEndsAt_ = out_.size();
}

void TBoardSession::ResendTable() {
  if (!encoder_.ResendTable(out_)) return;
  ++stats_.tablesResent;
  tableEndsAt_ = out_.size();
}

bool TBoardSession::Tick(TClock::time_point now) {
  if (!open_) return true;
  if (synced_ && now - lastHeard_ > kBoardSilence) return false;
  if (!helloSeen_ && now - lastQuery_ >= kQueryInterval) {
    encoder_.AppendQuery(out_);
    lastQuery_ = now;
  }
  return true;
}

TBoardSession::TClock::time_point TBoardSession::NextDeadline() const {
  auto next = TClock::time_point::max();
  if (!open_) return next;
  if (synced_) next = std::min(next, lastHeard_ + kBoardSilence + std::chrono::milliseconds(1));
  if (!helloSeen_) next = std::min(next, lastQuery_ + kQueryInterval);
  return next;
}
