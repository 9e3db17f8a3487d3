#include <gtest/gtest.h>

#include "boardcore.h"

namespace bp = boardprotocol;

namespace {

class VirtualBoard : public ::testing::Test {
 protected:
  VirtualBoard() : board_(Config()) {}
  static board::TBoardConfig Config() {
    board::TBoardConfig c;
    c.boardId = 17;
    c.firmwareMajor = 2;
    c.firmwareMinor = 5;
    c.address = 10u | (1u << 8) | (2u << 16) | (3u << 24);
    return c;
  }
  // Sends messages and returns the board's answers decoded.
  std::vector<bp::TMessage> Send(const std::vector<bp::TMessage>& messages, bool* changed = nullptr) {
    std::vector<std::uint8_t> wire;
    for (const auto& m : messages) bp::AppendMessage(wire, m, seq_++);
    return SendBytes(wire, changed);
  }
  std::vector<bp::TMessage> SendBytes(const std::vector<std::uint8_t>& wire, bool* changed = nullptr) {
    std::vector<std::uint8_t> reply;
    const bool c = board_.Receive(wire.data(), wire.size(), reply);
    if (changed) *changed = c;
    return Decode(reply);
  }
  static std::vector<bp::TMessage> Decode(const std::vector<std::uint8_t>& bytes) {
    bp::TFrameDecoder d;
    d.Feed(bytes);
    std::vector<bp::TMessage> out;
    while (auto f = d.Next()) {
      auto m = bp::DecodePayload(*f);
      EXPECT_TRUE(m.has_value());
      if (m) out.push_back(*m);
    }
    return out;
  }
  static bp::TRowData Row(int row, int number, const char* name) {
    return bp::TRowData{1, row, number, 41000 + row, 42000 + row, 10, 420000 + row * 1000, row * 1000, 0, name};
  }
  board::TVirtualBoard board_;
  std::uint8_t seq_ = 0;
};

}  // namespace

TEST(BoardTexts, TimesGapsAndClockUseTheResultsListFormats) {
  EXPECT_EQ(board::FormatLapTime(0), "");
  EXPECT_EQ(board::FormatLapTime(1), " 0.001");
  EXPECT_EQ(board::FormatLapTime(5123), " 5.123");
  EXPECT_EQ(board::FormatLapTime(59999), "59.999");
  EXPECT_EQ(board::FormatLapTime(60000), "1:00.000");
  EXPECT_EQ(board::FormatLapTime(754321), "12:34.321");
  EXPECT_EQ(board::FormatLapTime(3600000), "60:00.000");
  EXPECT_EQ(board::FormatLapTime(-5), "");  // never a wrapped unsigned monster
  EXPECT_EQ(board::FormatGap(-1), "1 кр");
  EXPECT_EQ(board::FormatGap(-12), "12 кр");
  EXPECT_EQ(board::FormatGap(INT32_MIN), "2147483648 кр");
  EXPECT_EQ(board::FormatGap(1234), "+ 1.234");
  EXPECT_EQ(board::FormatGap(60000), "+1:00.000");
  EXPECT_EQ(board::FormatGap(0), "");
  EXPECT_EQ(board::FormatClock(0), "0:00:00");
  EXPECT_EQ(board::FormatClock(3 * 3600 + 7 * 60 + 5), "3:07:05");
  EXPECT_EQ(board::FormatClock(-3), "0:00:00");
  EXPECT_DOUBLE_EQ(board::BrightnessFactor(16), 1.0);
  EXPECT_DOUBLE_EQ(board::BrightnessFactor(0), 1.0 / 16);
  EXPECT_DOUBLE_EQ(board::BrightnessFactor(99), 1.0);
}

TEST_F(VirtualBoard, AnnouncesItselfAndAnswersQuery) {
  std::vector<std::uint8_t> out;
  board_.AppendHello(out);
  auto hello = std::get<bp::THelloMsg>(Decode(out).at(0));
  EXPECT_EQ(hello.boardId, 17);
  EXPECT_EQ(hello.firmwareMajor, 2);
  EXPECT_EQ(hello.firmwareMinor, 5);
  EXPECT_EQ(hello.address, 0x0302010Au);
  auto replies = Send({bp::TQueryMsg{}});
  ASSERT_EQ(replies.size(), 2u);  // hello, then the acknowledgement
  EXPECT_TRUE(std::holds_alternative<bp::THelloMsg>(replies[0]));
  EXPECT_EQ(std::get<bp::TAckMsg>(replies[1]).seq, 0);
}

TEST_F(VirtualBoard, HeartbeatReportsLinkCounters) {
  Send({bp::TStartLightMsg{}, bp::TFinishLightMsg{}});
  std::vector<std::uint8_t> out;
  board_.AppendHeartbeat(out, 1500);
  auto hb = std::get<bp::THeartbeatMsg>(Decode(out).at(0));
  EXPECT_EQ(hb.uptimeMs, 1500u);
  EXPECT_EQ(hb.framesReceived, 2u);
  EXPECT_EQ(hb.framesRejected, 0u);
}

TEST_F(VirtualBoard, SingleOperationsBuildTheTableOnlyOnShow) {
  bool changed = true;
  auto acks =
      Send({bp::TClearBoardMsg{0}, bp::TSetRowMsg{Row(1, 7, "Попов")}, bp::TSetRowMsg{Row(2, 12, "Иванов")}}, &changed);
  EXPECT_FALSE(changed);
  EXPECT_EQ(board_.Content().display, board::dsBlank);
  ASSERT_EQ(acks.size(), 3u);
  for (int i = 0; i < 3; ++i) EXPECT_EQ(std::get<bp::TAckMsg>(acks[i]).seq, i);
  Send({bp::TShowMsg{1, 1}}, &changed);
  EXPECT_TRUE(changed);
  const auto& c = board_.Content();
  EXPECT_EQ(c.display, board::dsTable);
  EXPECT_EQ(c.mode, 1);
  EXPECT_EQ(c.fullRefresh, 1);
  ASSERT_EQ(c.rows.size(), 2u);
  EXPECT_EQ(c.rows[1].name, "Иванов");
  // A new table replaces the old one completely.
  Send({bp::TClearBoardMsg{0}, bp::TSetRowMsg{Row(1, 3, "Волков")}, bp::TShowMsg{0, 0}});
  ASSERT_EQ(board_.Content().rows.size(), 1u);
  EXPECT_EQ(board_.Content().rows[0].number, 3);
  EXPECT_EQ(board_.Content().shows, 2u);
}

TEST_F(VirtualBoard, CompactPushInPartsShowsOnlyWhenComplete) {
  std::vector<bp::TRowData> rows;
  for (int i = 1; i <= 300; ++i) {
    rows.push_back(Row(i, i, ""));
    rows.back().name = "Очень длинное имя гонщика " + std::to_string(i);
  }
  std::vector<std::uint8_t> wire;
  bp::AppendTablePush(wire, rows, 1, 1, seq_);
  ASSERT_GT(seq_, 1);  // several parts
  // All but the last byte: the board must still show nothing.
  bool changed = true;
  SendBytes(std::vector<std::uint8_t>(wire.begin(), wire.end() - 1), &changed);
  EXPECT_FALSE(changed);
  EXPECT_EQ(board_.Content().display, board::dsBlank);
  SendBytes(std::vector<std::uint8_t>(wire.end() - 1, wire.end()), &changed);
  EXPECT_TRUE(changed);
  EXPECT_EQ(board_.Content().rows, rows);
  EXPECT_EQ(board_.Content().fullRefresh, 1);
}

TEST_F(VirtualBoard, LightsBlankBrightnessClockAndPicture) {
  Send({bp::TClearBoardMsg{0}, bp::TSetRowMsg{Row(1, 7, "Попов")}, bp::TShowMsg{0, 1}});
  Send({bp::TStartLightMsg{}});
  EXPECT_EQ(board_.Content().display, board::dsStartLight);
  Send({bp::TFinishLightMsg{}});
  EXPECT_EQ(board_.Content().display, board::dsFinishLight);
  Send({bp::TClearBoardMsg{1}});
  EXPECT_EQ(board_.Content().display, board::dsBlank);
  EXPECT_TRUE(board_.Content().rows.empty());

  bool changed = false;
  Send({bp::TSetBrightnessMsg{4}}, &changed);
  EXPECT_TRUE(changed);
  Send({bp::TSetBrightnessMsg{4}}, &changed);
  EXPECT_FALSE(changed);  // the 5-second resend changes nothing on the panel
  EXPECT_EQ(board_.Content().brightness, 4);

  Send({bp::TSetRaceTimeMsg{3725}});
  EXPECT_TRUE(board_.Content().clockSet);
  EXPECT_EQ(board_.Content().clockSeconds, 3725);

  std::vector<std::uint8_t> bits(2 * 2, 0);  // 12 x 2: rows of two bytes
  bits[0] = 0x80;
  bits[3] = 0x10;
  std::vector<std::uint8_t> wire;
  ASSERT_TRUE(bp::AppendPicture(wire, bits.data(), 12, 2, 0, 0, 1, seq_));
  SendBytes(wire, &changed);
  EXPECT_TRUE(changed);
  EXPECT_EQ(board_.Content().display, board::dsPicture);
  EXPECT_EQ(board_.Content().pictureWidth, 12);
  EXPECT_EQ(board_.Content().pictureBits, bits);
}

TEST_F(VirtualBoard, DamagedAndRefusedFramesAreCountedAndAnsweredHonestly) {
  std::vector<std::uint8_t> wire;
  bp::AppendMessage(wire, bp::TStartLightMsg{}, 1);
  wire.back() ^= 0xFF;  // CRC broken: no ack, nothing shown
  auto replies = SendBytes(wire);
  EXPECT_TRUE(replies.empty());
  EXPECT_EQ(board_.Content().display, board::dsBlank);
  EXPECT_EQ(board_.Link().framesRejected, 1u);

  wire.clear();
  const std::vector<std::uint8_t> badPayload = {0x80};  // unterminated varint
  bp::AppendFrame(wire, bp::FrameType::ftSetBrightness, 9, badPayload);
  bp::AppendFrame(wire, static_cast<bp::FrameType>(0x42), 10, {});
  replies = SendBytes(wire);
  ASSERT_EQ(replies.size(), 2u);
  EXPECT_EQ(std::get<bp::TAckMsg>(replies[0]), (bp::TAckMsg{9, bp::TAckMsg::akBadPayload}));
  EXPECT_EQ(std::get<bp::TAckMsg>(replies[1]), (bp::TAckMsg{10, bp::TAckMsg::akUnknownType}));
  EXPECT_EQ(board_.Content().brightness, 16);
  EXPECT_EQ(board_.Link().framesRejected, 3u);
}

TEST_F(VirtualBoard, StateJsonCarriesContentAndEscapesNames) {
  Send({bp::TClearBoardMsg{0}, bp::TSetRowMsg{bp::TRowData{1, 1, 7, 5123, 60000, 3, 0, -2, 0, "Ли \"Быстрый\"\\"}},
        bp::TShowMsg{0, 1}, bp::TSetRaceTimeMsg{65}});
  const std::string json = board_.StateJson();
  EXPECT_NE(json.find(R"("display":"table")"), std::string::npos);
  EXPECT_NE(json.find(R"("blank":false)"), std::string::npos);
  EXPECT_NE(json.find(R"("name":"Ли \"Быстрый\"\\")"), std::string::npos);
  EXPECT_NE(json.find(R"("bestLapText":" 5.123")"), std::string::npos);
  EXPECT_NE(json.find(R"("lastLapText":"1:00.000")"), std::string::npos);
  EXPECT_NE(json.find(R"("gapText":"2 кр")"), std::string::npos);
  EXPECT_NE(json.find(R"("clock":"0:01:05")"), std::string::npos);
  EXPECT_NE(json.find(R"("boardId":17)"), std::string::npos);
}
