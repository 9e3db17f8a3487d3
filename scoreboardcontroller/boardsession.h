// The board link's state, free of any port: what to write next, what the
// board's answers mean, and when the link thread must wake for a timer of
// its own. The link thread feeds it the port's events and does the I/O.
//
//   - After every (re)open the board is asked for its hello (Query) once a
//     second until a Hello arrives; bsConnected carries the board's id and
//     is posted at most once a second while the board keeps answering.
//   - The first answer on a newly opened port gets the board what it should
//     show (what the proxy gave, before OpenPort included); a Hello from a
//     board that had already said hello means it restarted, and it gets the
//     same. Until a board answers, commands are only remembered.
//   - A board silent for kBoardSilence after answering: the link is lost.
//   - A table the board does not report drawn within kDrawnWait of leaving
//     the controller, or a patch it refused, is sent again whole.
//   - Bytes from the board that are no good frame, or frames it should not
//     send, are counted and skipped.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "boardcommand.h"
#include "boardencoder.h"
#include "boardprotocol.h"
#include "exchange/scoreboardcontroller.h"

class TBoardSession {
 public:
  using TClock = std::chrono::steady_clock;
  using TPost = std::function<void(TScoreboardState, std::intptr_t)>;
  static constexpr auto kQueryInterval = std::chrono::milliseconds(1000);
  static constexpr auto kBoardSilence = std::chrono::milliseconds(3000);
  static constexpr auto kConnectedRepeat = std::chrono::milliseconds(1000);
  static constexpr auto kDrawnWait = std::chrono::milliseconds(1500);

  explicit TBoardSession(TPost post) : post_(std::move(post)) {}

  // The proxy asked for a port: its failure is reported afresh.
  void OpenRequested() { downReported_ = false; }
  void Opened(TClock::time_point now);
  // The port could not be opened, failed, or the board fell silent:
  // bsDisconnected, once per loss.
  void Down();

  // True when the next command may be taken: waiting commands stay where
  // newer ones can replace them until the line has room.
  bool WantsCommand() const { return !open_ || !synced_ || out_.empty(); }
  void Command(const TBoardCommand& command);

  void Received(std::span<const std::uint8_t> bytes, TClock::time_point now);
  // Runs the timers; false when the board fell silent (close the port).
  bool Tick(TClock::time_point now);
  // When Tick must run next, given nothing else happens.
  TClock::time_point NextDeadline() const;

  std::span<const std::uint8_t> Pending() const { return out_; }
  void Written(std::size_t count, TClock::time_point now);

  struct TStats {
    std::uint64_t framesIn = 0;
    std::uint64_t framesRefused = 0;  // payload malformed, or not a board's message
    std::uint64_t tablesResent = 0;
  };
  const TStats& Stats() const { return stats_; }
  const boardprotocol::TDecoderStats& DecoderStats() const { return decoder_.Stats(); }
  bool BoardAnswering() const { return synced_; }

 private:
  void Handle(const boardprotocol::TMessage& message, TClock::time_point now);
  void Heard(TClock::time_point now);
  void Resync();
  void ResendTable();

  TPost post_;
  TBoardEncoder encoder_;
  boardprotocol::TFrameDecoder decoder_;
  std::vector<std::uint8_t> out_;  // whole frames not yet taken by the port
  bool open_ = false;
  bool synced_ = false;  // the board answered on this port and was given its display
  bool helloSeen_ = false;
  bool connectedPosted_ = false;
  bool downReported_ = false;
  std::int32_t boardId_ = 0;
  TClock::time_point lastHeard_{};
  TClock::time_point lastQuery_{};
  TClock::time_point lastConnectedPost_{};
  std::uint32_t boardTable_ = 0;    // the table id the board last reported
  TClock::time_point tableLeft_{};  // when the last table's frames were all taken by the port
  std::size_t tableEndsAt_ = 0;     // bytes of out_ up to the end of the last table, 0 if none waits
  TStats stats_;
};
