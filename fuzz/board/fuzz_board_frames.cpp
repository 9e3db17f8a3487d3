// Arbitrary bytes on the board's serial line. They go through the protocol's
// incremental decoder in pieces whose sizes the input chooses; every frame
// it yields is decoded, pictures are reassembled from their chunks. Checked
// on the way:
//   - the pieces do not matter: feeding the whole input at once yields the
//     same frames in the same order;
//   - after draining, the decoder holds less than one maximal frame;
//   - a decoded message encodes to a payload that decodes to the same message;
//   - a finished picture has exactly the size its header promises.
// The same line then reaches both ends of the link as they run: the virtual
// board's core (tables, patches, pictures) and the controller's session
// (reassembly of the board's answers, with tables of its own going out in
// between). Neither may hold more than its bounds allow.
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "boardcore.h"
#include "boardprotocol.h"
#include "boardsession.h"

namespace bp = boardprotocol;

namespace {

constexpr std::size_t kMaxFrame = bp::kHeaderSize + bp::kMaxPayload + bp::kTrailerSize;

void Check(bool condition) {
  if (!condition) std::abort();
}

void Drain(bp::TFrameDecoder& decoder, std::vector<bp::TFrame>& frames) {
  while (auto frame = decoder.Next()) frames.push_back(std::move(*frame));
  Check(decoder.Buffered() < kMaxFrame);
}

void Examine(const bp::TFrame& frame, bp::TPictureAssembler& pictures) {
  const std::optional<bp::TMessage> message = bp::DecodePayload(frame);
  if (!message) return;
  Check(static_cast<std::uint8_t>(bp::TypeOf(*message)) == frame.type);
  bp::TFrame again;
  again.type = frame.type;
  again.seq = frame.seq;
  again.payload = bp::EncodePayload(*message);
  Check(again.payload.size() <= bp::kMaxPayload);
  const std::optional<bp::TMessage> back = bp::DecodePayload(again);
  Check(back.has_value() && *back == *message);

  if (const auto* chunk = std::get_if<bp::TPictureChunkMsg>(&*message)) {
    if (auto picture = pictures.Add(*chunk)) {
      Check(picture->width > 0 && picture->height > 0);
      const std::size_t stride = (static_cast<std::size_t>(picture->width) + 7) / 8;
      Check(picture->bits.size() == stride * static_cast<std::size_t>(picture->height));
      Check(picture->bits.size() <= bp::kMaxPictureBytes);
    }
  }
}

bool SameFrames(const std::vector<bp::TFrame>& a, const std::vector<bp::TFrame>& b) {
  if (a.size() != b.size()) return false;
  for (std::size_t i = 0; i < a.size(); ++i) {
    if (a[i].type != b[i].type || a[i].seq != b[i].seq || a[i].payload != b[i].payload) return false;
  }
  return true;
}

// Both ends of the link fed the line in the same pieces.
void RunEnds(const std::uint8_t* line, std::size_t length, std::uint32_t state) {
  board::TVirtualBoard board(board::TBoardConfig{});
  TBoardSession session([](TScoreboardState, std::intptr_t) {});
  auto now = TBoardSession::TClock::time_point{} + std::chrono::hours(1);
  session.Opened(now);
  std::vector<std::uint8_t> reply;
  std::vector<bp::TRowData> rows;
  for (std::size_t at = 0; at < length;) {
    state = state * 1103515245u + 12345u;
    const std::size_t piece = std::min<std::size_t>(length - at, 1 + (state >> 16) % 64);
    reply.clear();
    board.Receive(line + at, piece, reply);
    Check(board.Content().rows.size() <= bp::kMaxTableRows);
    Check(reply.size() < 64 * 1024);
    session.Received(std::span<const std::uint8_t>(line + at, piece), now);
    // A table of the controller's own now and then; its bytes leave at once.
    if ((state >> 8) % 16 == 0) {
      bp::TRowData r;
      r.row = static_cast<std::int32_t>(rows.size() + 1);
      r.laps = static_cast<std::int32_t>(state % 7);
      if (rows.size() < 12) rows.push_back(r);
      rows[state % rows.size()].lastLapTime = static_cast<std::int32_t>(state);
      session.Command(TTableCmd{rows, static_cast<std::int32_t>(state % 2), 1});
    }
    Check(session.Pending().size() < 256 * 1024);
    session.Written(session.Pending().size(), now);
    now += std::chrono::milliseconds((state >> 4) % 700);
    session.Tick(now);
    at += piece;
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  // The first byte picks the piece sizes, the rest is the line.
  const std::uint8_t pieceSeed = data[0];
  const std::uint8_t* line = data + 1;
  const std::size_t length = size - 1;

  bp::TFrameDecoder pieces;
  bp::TPictureAssembler pictures;
  std::vector<bp::TFrame> framesInPieces;
  std::uint32_t state = pieceSeed * 2654435761u + 1;
  for (std::size_t at = 0; at < length;) {
    state = state * 1103515245u + 12345u;
    const std::size_t piece = std::min<std::size_t>(length - at, 1 + (state >> 16) % 64);
    pieces.Feed(line + at, piece);
    at += piece;
    const std::size_t before = framesInPieces.size();
    Drain(pieces, framesInPieces);
    for (std::size_t i = before; i < framesInPieces.size(); ++i) Examine(framesInPieces[i], pictures);
  }

  bp::TFrameDecoder whole;
  std::vector<bp::TFrame> framesWhole;
  whole.Feed(line, length);
  Drain(whole, framesWhole);
  Check(SameFrames(framesInPieces, framesWhole));
  Check(whole.Stats().frames == framesWhole.size());
  Check(pieces.Stats().bytesIn == length);
  RunEnds(line, length, state);
  return 0;
}
