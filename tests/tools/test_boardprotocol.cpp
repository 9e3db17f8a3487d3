#include <random>

#include <gtest/gtest.h>

#include "boardprotocol.h"
#include "support/racetable.h"

namespace bp = boardprotocol;

namespace {

std::vector<bp::TFrame> DecodeAll(bp::TFrameDecoder& decoder, std::span<const std::uint8_t> bytes) {
  decoder.Feed(bytes);
  std::vector<bp::TFrame> frames;
  while (auto f = decoder.Next()) frames.push_back(std::move(*f));
  return frames;
}

bp::TMessage RoundTrip(const bp::TMessage& message) {
  std::vector<std::uint8_t> wire;
  EXPECT_TRUE(bp::AppendMessage(wire, message, 42));
  bp::TFrameDecoder decoder;
  auto frames = DecodeAll(decoder, wire);
  EXPECT_EQ(frames.size(), 1u);
  if (frames.empty()) return bp::TQueryMsg{};
  EXPECT_EQ(frames[0].seq, 42);
  EXPECT_EQ(frames[0].type, static_cast<std::uint8_t>(bp::TypeOf(message)));
  auto decoded = bp::DecodePayload(frames[0]);
  EXPECT_TRUE(decoded.has_value());
  return decoded.value_or(bp::TQueryMsg{});
}

using testsupport::RaceTable;

}  // namespace

TEST(BoardProtocolChecksums, KnownVectors) {
  const std::string check = "123456789";
  std::span<const std::uint8_t> s(reinterpret_cast<const std::uint8_t*>(check.data()), check.size());
  EXPECT_EQ(bp::Crc16(s), 0x29B1);  // CRC-16/CCITT-FALSE check value
  EXPECT_EQ(bp::Crc8(s), 0xF4);     // CRC-8 (poly 0x07) check value
}

TEST(BoardProtocolText, Utf8ConversionsAndTruncation) {
  const std::u16string name = u"Фёдоров 𝄞";
  const std::string utf8 = bp::Utf16ToUtf8(name);
  EXPECT_EQ(bp::Utf8ToUtf16(utf8), name);
  // A lone surrogate must not produce malformed UTF-8.
  EXPECT_EQ(bp::Utf16ToUtf8(std::u16string(1, char16_t{0xD800})), "\xEF\xBF\xBD");
  EXPECT_FALSE(bp::Utf8ToUtf16("\xC0\x80").has_value());      // overlong NUL
  EXPECT_FALSE(bp::Utf8ToUtf16("\xED\xA0\x80").has_value());  // encoded surrogate
  EXPECT_FALSE(bp::Utf8ToUtf16("\xD0").has_value());          // cut sequence
  // Cutting in the middle of a two-byte letter drops the whole letter.
  EXPECT_EQ(bp::TruncateUtf8("Яя", 3), "Я");
  EXPECT_EQ(bp::TruncateUtf8("abc", 3), "abc");
}

TEST(BoardProtocolMessages, EveryKindRoundTrips) {
  bp::TRowData row{1, 3, 22, 59999, 62333, 7, 1234567, -2, 10, "Имя_11"};
  std::vector<bp::TMessage> messages = {
      bp::TClearBoardMsg{1},
      bp::TClearBoardMsg{0},
      bp::TShowMsg{1, 2},
      bp::TStartLightMsg{},
      bp::TFinishLightMsg{},
      bp::TSetBrightnessMsg{16},
      bp::TSetRaceTimeMsg{3 * 3600 + 59},
      bp::TSetRowMsg{row},
      bp::TSetRowMsg{bp::TRowData{INT32_MIN, INT32_MAX, -1, 0, 0, 0, INT32_MAX, INT32_MIN, 0, ""}},
      bp::TQueryMsg{},
      bp::THelloMsg{7, 1, 2, 3, std::nullopt},
      bp::THelloMsg{-1, 0, 9, 0, 0x03020110u},
      bp::THeartbeatMsg{123456, 99, 4, 77},
      bp::TAckMsg{200, bp::TAckMsg::akBadPayload},
      bp::TDrawnMsg{0xFFFFFFFFu, bp::TDrawnMsg::dwNeedWhole},
  };
  bp::TTablePatchMsg patch;
  patch.baseId = 9;
  patch.tableId = 10;
  patch.mode = 1;
  patch.rowCount = 40;
  patch.changes = {{0, bp::kfLaps | bp::kfLastLap, bp::TRowData{0, 0, 0, 0, 61000, 8, 0, 0, 0, ""}},
                   {39, bp::kfAll, row}};
  messages.push_back(patch);
  bp::TTablePushMsg push;
  push.flags = bp::TTablePushMsg::tpBegin | bp::TTablePushMsg::tpEnd;
  push.tableId = 300;
  push.mode = 1;
  push.rows = RaceTable(5);
  messages.push_back(push);
  bp::TPictureChunkMsg chunk;
  chunk.pictureId = 3;
  chunk.width = 16;
  chunk.height = 2;
  chunk.compressedSize = 3;
  chunk.data = {0x01, 0xAA, 0x55};
  messages.push_back(chunk);
  for (const auto& m : messages) {
    SCOPED_TRACE(static_cast<int>(bp::TypeOf(m)));
    EXPECT_EQ(RoundTrip(m), m);
  }
}

TEST(BoardProtocolMessages, OverlongNamesAreCutOnTheWire) {
  std::string longName;
  for (int i = 0; i < 80; ++i) longName += "Ж";  // 160 bytes
  auto back = RoundTrip(bp::TSetRowMsg{bp::TRowData{0, 1, 5, 0, 0, 0, 0, 0, 0, longName}});
  const auto& name = std::get<bp::TSetRowMsg>(back).row.name;
  EXPECT_EQ(name.size(), bp::kMaxNameBytes);
  EXPECT_TRUE(bp::Utf8ToUtf16(name).has_value());
}

TEST(BoardProtocolMessages, MalformedPayloadsAreRejected) {
  auto decode = [](bp::FrameType type, std::vector<std::uint8_t> payload) {
    return bp::DecodePayload(bp::TFrame{static_cast<std::uint8_t>(type), 0, std::move(payload)});
  };
  EXPECT_FALSE(decode(bp::FrameType::ftClearBoard, {}).has_value());            // missing value
  EXPECT_FALSE(decode(bp::FrameType::ftClearBoard, {0x02, 0x00}).has_value());  // trailing byte
  EXPECT_FALSE(decode(bp::FrameType::ftStartLight, {0x00}).has_value());
  EXPECT_FALSE(decode(bp::FrameType::ftSetRaceTime, {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0x01}).has_value());  // > int32
  EXPECT_FALSE(decode(bp::FrameType::ftSetRaceTime, {0x80, 0x80}).has_value());  // unterminated varint
  EXPECT_FALSE(decode(static_cast<bp::FrameType>(0x55), {}).has_value());
  // A name with invalid UTF-8.
  std::vector<std::uint8_t> row(9, 0x00);
  row.push_back(2);
  row.push_back(0xC0);
  row.push_back(0x80);
  EXPECT_FALSE(decode(bp::FrameType::ftSetRow, row).has_value());
  // A table that claims more rows than bytes remain.
  EXPECT_FALSE(decode(bp::FrameType::ftTablePush, {0x03, 0x00, 0x02, 0x02, 0x7F, 0x00}).has_value());
  // Unknown table flag bits.
  EXPECT_FALSE(decode(bp::FrameType::ftTablePush, {0x83, 0x00, 0x02, 0x02, 0x00}).has_value());
  // Picture chunk data running past the stated compressed size, and a 2 MiB picture.
  EXPECT_FALSE(decode(bp::FrameType::ftPictureChunk, {0, 16, 4, 0, 0, 1, 0, 0xAA, 0xBB}).has_value());
  EXPECT_FALSE(decode(bp::FrameType::ftPictureChunk, {0, 0x80, 0x80, 0x04, 0x80, 0x40, 0, 0, 1, 0, 0xAA}).has_value());
  // Hello with an address flag that is neither 0 nor 1.
  EXPECT_FALSE(decode(bp::FrameType::ftHello, {0, 1, 0, 0, 2}).has_value());
}

TEST(BoardProtocolTable, PushRoundTripsIncludingOddRowsAndModes) {
  std::vector<bp::TRowData> rows = RaceTable(12);
  rows[4] = rows[3];  // a repeated row, as a push sends for an unheld position
  rows[4].row = 5;
  rows[7].mode = 0;  // the mode changed while the push was being collected
  rows[9].row = 40;  // a gap in the numbering
  rows[10].name.clear();
  rows[11].row = INT32_MAX;  // the row after it can only be given explicitly
  rows.push_back(rows[0]);
  rows.back().row = 13;
  std::vector<std::uint8_t> wire;
  std::uint8_t seq = 250;
  bp::AppendTablePush(wire, rows, 1, 1, seq);
  EXPECT_EQ(seq, 251);
  bp::TFrameDecoder decoder;
  auto frames = DecodeAll(decoder, wire);
  ASSERT_EQ(frames.size(), 1u);
  auto push = std::get<bp::TTablePushMsg>(*bp::DecodePayload(frames[0]));
  EXPECT_EQ(push.flags, bp::TTablePushMsg::tpBegin | bp::TTablePushMsg::tpEnd | bp::TTablePushMsg::tpFullRefresh);
  EXPECT_EQ(push.mode, 1);
  EXPECT_EQ(push.rows, rows);
}

TEST(BoardProtocolTable, EmptyPushIsOneFrameThatBeginsAndEnds) {
  std::vector<std::uint8_t> wire;
  std::uint8_t seq = 0;
  bp::AppendTablePush(wire, {}, 0, 2, seq);
  bp::TFrameDecoder decoder;
  auto frames = DecodeAll(decoder, wire);
  ASSERT_EQ(frames.size(), 1u);
  auto push = std::get<bp::TTablePushMsg>(*bp::DecodePayload(frames[0]));
  EXPECT_EQ(push.flags, bp::TTablePushMsg::tpBegin | bp::TTablePushMsg::tpEnd);
  EXPECT_EQ(push.mode, 2);
  EXPECT_TRUE(push.rows.empty());
}

TEST(BoardProtocolTable, LargeTableSplitsIntoSelfContainedParts) {
  std::vector<bp::TRowData> rows = RaceTable(400);
  for (auto& r : rows) r.name = std::string(60, 'x') + std::to_string(r.row);
  std::vector<std::uint8_t> wire;
  std::uint8_t seq = 0;
  bp::AppendTablePush(wire, rows, 0, 1, seq);
  bp::TFrameDecoder decoder;
  auto frames = DecodeAll(decoder, wire);
  ASSERT_GT(frames.size(), 1u);
  EXPECT_EQ(seq, frames.size());
  std::vector<bp::TRowData> back;
  for (std::size_t i = 0; i < frames.size(); ++i) {
    auto part = std::get<bp::TTablePushMsg>(*bp::DecodePayload(frames[i]));
    EXPECT_EQ((part.flags & bp::TTablePushMsg::tpBegin) != 0, i == 0);
    EXPECT_EQ((part.flags & bp::TTablePushMsg::tpEnd) != 0, i + 1 == frames.size());
    back.insert(back.end(), part.rows.begin(), part.rows.end());
  }
  EXPECT_EQ(back, rows);
}

// The wire budget of a 30-row push is a contract of the protocol.
TEST(BoardProtocolTable, ThirtyRowPushFitsTheWireBudget) {
  std::vector<std::uint8_t> wire;
  std::uint8_t seq = 0;
  bp::AppendTablePush(wire, RaceTable(30), 0, 1, seq);
  EXPECT_LE(wire.size(), 1500u);
  RecordProperty("bytes", static_cast<int>(wire.size()));
}

TEST(BoardProtocolPicture, PackBitsRoundTripsAndRejectsBadStreams) {
  std::mt19937 rng(3);
  for (int round = 0; round < 50; ++round) {
    std::vector<std::uint8_t> data(rng() % 700);
    for (auto& b : data) b = (rng() % 3 == 0) ? static_cast<std::uint8_t>(rng()) : 0;
    auto packed = bp::PackBits(data);
    EXPECT_LE(packed.size(), data.size() + data.size() / 128 + 1);
    EXPECT_EQ(bp::UnpackBits(packed, data.size()), data);
  }
  EXPECT_FALSE(bp::UnpackBits(std::vector<std::uint8_t>{0x05, 1, 2}, 6).has_value());  // literal overruns
  EXPECT_FALSE(bp::UnpackBits(std::vector<std::uint8_t>{0xFE, 7}, 2).has_value());     // unpacks to 3, not 2
  EXPECT_FALSE(bp::UnpackBits(std::vector<std::uint8_t>{0x81}, 128).has_value());      // run without its byte
}

TEST(BoardProtocolPicture, FullSizePictureTravelsInChunks) {
  const std::int32_t width = 8192, height = 1024;  // exactly 1 MiB packed
  std::vector<std::uint8_t> bits(bp::kMaxPictureBytes, 0);
  for (std::size_t i = 0; i < bits.size(); i += 997) bits[i] = static_cast<std::uint8_t>(i);
  std::vector<std::uint8_t> wire;
  std::uint8_t seq = 0;
  ASSERT_TRUE(bp::AppendPicture(wire, bits.data(), width, height, 0, 0, 9, seq));
  EXPECT_LT(wire.size(), bits.size() / 4);  // a mostly white picture compresses well
  bp::TFrameDecoder decoder;
  bp::TPictureAssembler assembler;
  std::optional<bp::TPictureAssembler::TPicture> picture;
  int completions = 0;
  for (auto& f : DecodeAll(decoder, wire)) {
    auto m = bp::DecodePayload(f);
    ASSERT_TRUE(m.has_value());
    if (auto p = assembler.Add(std::get<bp::TPictureChunkMsg>(*m))) {
      picture = std::move(p);
      ++completions;
    }
  }
  ASSERT_EQ(completions, 1);
  EXPECT_EQ(picture->width, width);
  EXPECT_EQ(picture->height, height);
  EXPECT_EQ(picture->bits, bits);
}

TEST(BoardProtocolPicture, RejectsOversizedAndEmptyPictures) {
  std::vector<std::uint8_t> wire;
  std::uint8_t seq = 0;
  std::vector<std::uint8_t> bits(16, 0);
  EXPECT_FALSE(bp::AppendPicture(wire, bits.data(), 8200, 1024, 0, 0, 0, seq));
  EXPECT_FALSE(bp::AppendPicture(wire, bits.data(), 0, 4, 0, 0, 0, seq));
  EXPECT_FALSE(bp::AppendPicture(wire, nullptr, 8, 1, 0, 0, 0, seq));
  EXPECT_TRUE(wire.empty());
  // Width not a multiple of 8: rows are rounded up to whole bytes.
  ASSERT_TRUE(bp::AppendPicture(wire, bits.data(), 12, 2, 0, 0, 0, seq));
}

TEST(BoardProtocolPicture, InterruptedPictureIsAbandonedAndTheNextOneCompletes) {
  std::vector<std::uint8_t> a(4096), b(4096);
  std::mt19937 rng(11);
  for (auto& x : a) x = static_cast<std::uint8_t>(rng());  // incompressible: several chunks
  for (auto& x : b) x = static_cast<std::uint8_t>(rng());
  std::vector<std::uint8_t> wireA, wireB;
  std::uint8_t seq = 0;
  bp::AppendPicture(wireA, a.data(), 256, 128, 0, 0, 1, seq);
  bp::AppendPicture(wireB, b.data(), 256, 128, 0, 0, 2, seq);
  bp::TFrameDecoder decoder;
  auto framesA = DecodeAll(decoder, wireA);
  auto framesB = DecodeAll(decoder, wireB);
  ASSERT_GT(framesA.size(), 2u);
  bp::TPictureAssembler assembler;
  // A's first chunk only, then a middle chunk of A out of order, then all of B.
  EXPECT_FALSE(assembler.Add(std::get<bp::TPictureChunkMsg>(*bp::DecodePayload(framesA[0]))));
  EXPECT_FALSE(assembler.Add(std::get<bp::TPictureChunkMsg>(*bp::DecodePayload(framesA[2]))));
  std::optional<bp::TPictureAssembler::TPicture> done;
  for (auto& f : framesB) {
    if (auto p = assembler.Add(std::get<bp::TPictureChunkMsg>(*bp::DecodePayload(f)))) done = std::move(p);
  }
  ASSERT_TRUE(done.has_value());
  EXPECT_EQ(done->bits, b);
  EXPECT_GE(assembler.Abandoned(), 1u);
}

class BoardProtocolDecoder : public ::testing::Test {
 protected:
  static constexpr std::size_t kFirstFrame = bp::kFrameOverhead + 1;  // SetRaceTime(61): one varint byte

  std::vector<std::uint8_t> ThreeFrames() {
    std::vector<std::uint8_t> wire;
    bp::AppendMessage(wire, bp::TSetRaceTimeMsg{61}, 1);
    bp::AppendMessage(wire, bp::TSetRowMsg{bp::TRowData{1, 1, 7, 5123, 6000, 3, 20000, 0, 0, "Попов"}}, 2);
    bp::AppendMessage(wire, bp::TShowMsg{0, 1}, 3);
    return wire;
  }
  static std::vector<int> Seqs(const std::vector<bp::TFrame>& frames) {
    std::vector<int> s;
    for (auto& f : frames) s.push_back(f.seq);
    return s;
  }
};

TEST_F(BoardProtocolDecoder, ByteAtATimeGivesTheSameFrames) {
  auto wire = ThreeFrames();
  bp::TFrameDecoder decoder;
  std::vector<bp::TFrame> frames;
  for (std::uint8_t b : wire) {
    decoder.Feed(&b, 1);
    while (auto f = decoder.Next()) frames.push_back(std::move(*f));
  }
  EXPECT_EQ(Seqs(frames), (std::vector<int>{1, 2, 3}));
  EXPECT_EQ(decoder.Buffered(), 0u);
  EXPECT_EQ(decoder.Stats().bytesSkipped, 0u);
}

TEST_F(BoardProtocolDecoder, GarbageBetweenFramesIsSkipped) {
  auto good = ThreeFrames();
  std::vector<std::uint8_t> wire = {0x00, 0xB7, 0xB7, 0x5A, 0x01, 0xFF, 0x13};  // includes a false sync
  wire.insert(wire.end(), good.begin(), good.begin() + kFirstFrame);
  wire.insert(wire.end(), {0xB7, 0x5A, 0xB7});
  wire.insert(wire.end(), good.begin() + kFirstFrame, good.end());
  bp::TFrameDecoder decoder;
  auto frames = DecodeAll(decoder, wire);
  EXPECT_EQ(Seqs(frames), (std::vector<int>{1, 2, 3}));
  EXPECT_GT(decoder.Stats().bytesSkipped, 0u);
}

TEST_F(BoardProtocolDecoder, CorruptedFrameIsDroppedAndTheNextOneSurvives) {
  auto wire = ThreeFrames();
  wire[kFirstFrame + bp::kHeaderSize + 3] ^= 0x20;  // payload byte of the second frame
  bp::TFrameDecoder decoder;
  auto frames = DecodeAll(decoder, wire);
  EXPECT_EQ(Seqs(frames), (std::vector<int>{1, 3}));
  EXPECT_EQ(decoder.Stats().crcErrors, 1u);
}

TEST_F(BoardProtocolDecoder, CorruptedLengthDoesNotSwallowFollowingFrames) {
  auto wire = ThreeFrames();
  wire[5] = 0xFF;  // first frame's length, now wrong and over the limit
  wire[6] = 0x0F;
  bp::TFrameDecoder decoder;
  auto frames = DecodeAll(decoder, wire);
  EXPECT_EQ(Seqs(frames), (std::vector<int>{2, 3}));
  EXPECT_EQ(decoder.Stats().headerErrors, 1u);
}

TEST_F(BoardProtocolDecoder, OverlongLengthWithValidHeaderCrcIsRefused) {
  std::vector<std::uint8_t> wire = {bp::kSync0, bp::kSync1, bp::kProtocolVersion, 0x01, 0x00, 0x01, 0x10};
  wire.push_back(bp::Crc8(std::span<const std::uint8_t>(wire.data() + 2, 5)));  // length 4097
  auto good = ThreeFrames();
  wire.insert(wire.end(), good.begin(), good.end());
  bp::TFrameDecoder decoder;
  auto frames = DecodeAll(decoder, wire);
  EXPECT_EQ(Seqs(frames), (std::vector<int>{1, 2, 3}));
  EXPECT_EQ(decoder.Stats().headerErrors, 1u);
}

TEST_F(BoardProtocolDecoder, OtherProtocolVersionIsNotTakenAsAFrame) {
  std::vector<std::uint8_t> wire;
  bp::AppendMessage(wire, bp::TStartLightMsg{}, 5);
  wire[2] = bp::kProtocolVersion + 1;
  wire[7] = bp::Crc8(std::span<const std::uint8_t>(wire.data() + 2, 5));
  bp::TFrameDecoder decoder;
  EXPECT_TRUE(DecodeAll(decoder, wire).empty());
  EXPECT_EQ(decoder.Stats().versionErrors, 1u);
}

TEST_F(BoardProtocolDecoder, TruncatedFrameWaitsThenCompletes) {
  auto wire = ThreeFrames();
  bp::TFrameDecoder decoder;
  auto part = DecodeAll(decoder, std::span<const std::uint8_t>(wire.data(), 20));
  EXPECT_EQ(Seqs(part), (std::vector<int>{1}));
  EXPECT_EQ(decoder.Buffered(), 20 - kFirstFrame);
  auto rest = DecodeAll(decoder, std::span<const std::uint8_t>(wire.data() + 20, wire.size() - 20));
  EXPECT_EQ(Seqs(rest), (std::vector<int>{2, 3}));
}

// Random garbage, random bit flips and random cuts: the decoder never
// crashes, never hands out a frame whose CRC is wrong, keeps its buffer
// bounded, and finds every intact frame that follows.
TEST_F(BoardProtocolDecoder, RandomNoiseLoop) {
  std::mt19937 rng(1234);
  bp::TFrameDecoder decoder;
  auto good = ThreeFrames();
  std::size_t delivered = 0, sentIntact = 0;
  for (int round = 0; round < 3000; ++round) {
    std::vector<std::uint8_t> chunk(rng() % 64);
    for (auto& b : chunk) b = static_cast<std::uint8_t>(rng() % 4 == 0 ? bp::kSync0 : rng());
    std::vector<std::uint8_t> frames = good;
    const bool damage = rng() % 3 == 0;
    if (damage) frames[rng() % frames.size()] ^= static_cast<std::uint8_t>(1u << (rng() % 8));
    chunk.insert(chunk.end(), frames.begin(), frames.end());
    for (std::size_t pos = 0; pos < chunk.size();) {
      const std::size_t n = std::min<std::size_t>(1 + rng() % 40, chunk.size() - pos);
      decoder.Feed(chunk.data() + pos, n);
      pos += n;
      while (auto f = decoder.Next()) {
        ++delivered;
        // Whatever comes out decodes or is refused; it never crashes.
        (void)bp::DecodePayload(*f);
      }
      ASSERT_LE(decoder.Buffered(), bp::kHeaderSize + bp::kMaxPayload + bp::kTrailerSize + 40);
    }
    if (!damage) sentIntact += 3;
  }
  EXPECT_GE(delivered, sentIntact * 9 / 10);
  EXPECT_GT(decoder.Stats().crcErrors + decoder.Stats().headerErrors, 0u);
}
