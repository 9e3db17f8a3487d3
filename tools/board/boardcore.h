// The virtual LED board's brain, free of Qt: it takes the bytes that arrive
// on its serial line, keeps what the board shows, and produces the bytes it
// answers with (hello, heartbeats, acknowledgements).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "boardprotocol.h"

namespace board {

enum TDisplay : std::int32_t { dsBlank, dsTable, dsStartLight, dsFinishLight, dsPicture };

struct TBoardConfig {
  std::int32_t boardId = 1;
  std::uint8_t firmwareMajor = 1;
  std::uint8_t firmwareMinor = 0;
  std::uint8_t firmwarePatch = 0;
  std::optional<std::uint32_t> address;  // first octet in the lowest byte
};

struct TLinkCounters {
  std::uint64_t bytesReceived = 0;
  std::uint32_t framesReceived = 0;
  std::uint32_t framesRejected = 0;  // decoder errors and refused payloads
  std::uint32_t acksSent = 0;
  std::uint32_t heartbeatsSent = 0;
  std::uint32_t hellosSent = 0;
  std::uint32_t patchesRefused = 0;  // patches on a table the board does not hold
};

struct TBoardContent {
  TDisplay display = dsBlank;
  std::int32_t mode = 0;
  std::int32_t fullRefresh = 0;               // of the last Show
  std::vector<boardprotocol::TRowData> rows;  // the table on display
  bool clockSet = false;
  std::int32_t clockSeconds = 0;
  std::int32_t brightness = 16;  // as received
  std::int32_t pictureWidth = 0;
  std::int32_t pictureHeight = 0;
  std::vector<std::uint8_t> pictureBits;
  std::uint32_t tableId = 0;  // id of the table held (0: none, or given row by row)
  std::uint32_t shows = 0;    // tables displayed so far
  std::uint32_t changes = 0;  // every change of what is shown
};

// The board's own texts, in the results list's formats.
std::string FormatLapTime(std::int32_t ms);     // " 5.123", "59.999", "1:00.000", "" for 0
std::string FormatGap(std::int32_t gap);        // "+ 1.234", "2 кр", "" for 0
std::string FormatClock(std::int32_t seconds);  // "h:mm:ss"; negative shows as 0:00:00
// Brightness 1..16 as a share of full light (out-of-range levels are clamped).
double BrightnessFactor(std::int32_t level);

class TVirtualBoard {
 public:
  explicit TVirtualBoard(TBoardConfig config);

  // Feeds received bytes; appends the replies to `reply`. True when what the
  // board shows changed.
  bool Receive(const std::uint8_t* bytes, std::size_t count, std::vector<std::uint8_t>& reply);
  void AppendHello(std::vector<std::uint8_t>& out);
  void AppendHeartbeat(std::vector<std::uint8_t>& out, std::uint32_t uptimeMs);

  const TBoardContent& Content() const { return content_; }
  const TLinkCounters& Link() const { return link_; }
  const TBoardConfig& Config() const { return config_; }
  // Everything a test wants to know, as one JSON object.
  std::string StateJson() const;

 private:
  bool Apply(const boardprotocol::TMessage& message, std::vector<std::uint8_t>& reply);
  bool ShowTable(std::vector<boardprotocol::TRowData> rows, std::int32_t mode, std::int32_t fullRefresh,
                 std::uint32_t tableId, std::vector<std::uint8_t>& reply);
  void Displayed(TDisplay display);

  TBoardConfig config_;
  TBoardContent content_;
  TLinkCounters link_;
  boardprotocol::TFrameDecoder decoder_;
  boardprotocol::TPictureAssembler pictures_;
  std::vector<boardprotocol::TRowData> pending_;  // rows since ClearBoard(0)
  std::uint64_t decoderErrorsSeen_ = 0;
  std::uint8_t seq_ = 0;
};

}  // namespace board
