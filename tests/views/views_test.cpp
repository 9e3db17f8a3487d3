// The console's views without a toolkit: the window table's resize rule, the
// results row geometry, the feed log, the board and feed link status and the picture
// send with its BMP check.
#include <cstring>
#include <filesystem>
#include <fstream>
#include <vector>

#include <gtest/gtest.h>

#include "exchange/scoreboardcontroller.h"
#include "exchange/scoreboardexchangethread.h"
#include "platform/textcodec.h"
#include "support/mainformviewdouble.h"
#include "views/boardlinkstatus.h"
#include "views/controltable.h"
#include "views/feedlinkstatus.h"
#include "views/feedlog.h"
#include "views/pictureoutput.h"
#include "views/resultslist.h"

namespace {

// ---- the window table --------------------------------------------------

TEST(ControlTable, ParentsComeFirstAndATallerWindowGrowsOnlyTheResults) {
  std::vector<bool> made(MainFormControls().size(), false);
  for (const TControlDesign& design : MainFormControls()) {
    EXPECT_TRUE(design.id == TControlId::mainForm || made[static_cast<std::size_t>(design.parent)]) << design.name;
    made[static_cast<std::size_t>(design.id)] = true;
  }
  const std::int32_t taller = kClientHeight + 100;
  const auto bottomGap = [&](TControlId id, std::int32_t height) {
    return ControlRect(TControlId::gbResults, height).height - ControlRect(id, height).Bottom();
  };
  EXPECT_EQ(ControlRect(TControlId::lvScoreboard, taller).height,
            ControlRect(TControlId::lvScoreboard, kClientHeight).height + 100);
  EXPECT_EQ(ControlRect(TControlId::GroupBox7, taller).height, kClientHeight + 100 - 19);
  for (TControlId below : {TControlId::sbClearScoreboard, TControlId::tbBrightness, TControlId::ePathToBmp}) {
    EXPECT_EQ(bottomGap(below, taller), bottomGap(below, kClientHeight));
  }
  EXPECT_EQ(ControlRect(TControlId::mScoreboardSourceLog, taller),
            ControlDesign(TControlId::mScoreboardSourceLog).rect);
  EXPECT_EQ(ControlRect(TControlId::srcHostPort, taller), ControlDesign(TControlId::srcHostPort).rect);
  EXPECT_EQ(ControlRect(TControlId::mainStatusBar, taller).Bottom(), taller);
  // The smallest window: the list shrinks to nothing, never below.
  EXPECT_EQ(ControlRect(TControlId::lvScoreboard, 200).height, 0);
}

// ---- the results list --------------------------------------------------

std::vector<std::int32_t> DesignWidths() {
  std::vector<std::int32_t> widths;
  for (const TResultsColumnSpec& column : ResultsColumns()) widths.push_back(column.width);
  return widths;
}

TEST(RowPaintGeometry, TextsStartSixPixelsIntoTheirColumnAndClipThreeIntoTheNext) {
  const TRowPaint paint = RowPaintGeometry({0, 20, 504, 17}, false, DesignWidths(), 6, 13);
  EXPECT_EQ(paint.background, TRowBackground::White);
  EXPECT_EQ(paint.fill, (TRect{0, 20, 504, 17}));
  ASSERT_EQ(paint.cells.size(), 7u);
  // T: from 3 px right of the column's left edge to 3 px right of its right
  // edge, 3 px above the row's bottom; the text 3 px further in.
  EXPECT_EQ(paint.cells[0].x, 6);
  EXPECT_EQ(paint.cells[0].clip, (TRect{3, 20, 47, 14}));
  EXPECT_EQ(paint.cells[2].x, 106);  // the name
  EXPECT_EQ(paint.cells[2].clip, (TRect{103, 20, 100, 14}));
  for (const TCellPaint& cell : paint.cells) EXPECT_EQ(cell.y, 21);  // 20 + 1 + (14 - 13) / 2

  EXPECT_EQ(RowPaintGeometry({0, 0, 504, 17}, true, DesignWidths(), 0, 13).background, TRowBackground::ActiveCaption);
  EXPECT_EQ(RowPaintGeometry({0, 0, 504, 17}, true, DesignWidths(), 0, 13).cells.size(), 1u);

  // A widened column moves the texts after it; the division truncates
  // toward zero when the font is taller than the row.
  std::vector<std::int32_t> widths = DesignWidths();
  widths[0] = 120;
  const TRowPaint wide = RowPaintGeometry({0, 40, 504, 10}, false, widths, 6, 14);
  EXPECT_EQ(wide.cells[1].x, 126);
  EXPECT_EQ(wide.cells[1].y, 38);  // 40 + 1 + (-7 / 2)

  // Scrolled to the right: column 0's width is a coordinate, not an offset
  // from the row's left edge.
  const TRowPaint scrolled = RowPaintGeometry({-30, 0, 504, 17}, false, DesignWidths(), 6, 13);
  EXPECT_EQ(scrolled.cells[0].clip, (TRect{-27, 0, 77, 14}));
  EXPECT_EQ(scrolled.cells[1].clip.left, 23);
}

// ---- the feed log ------------------------------------------------------

TEST(FeedLog, KeepsTheNewestThousandLinesOnlyWhileTicked) {
  TMainFormViewDouble view;
  TFeedLog log(view);
  log.LogLastLine(u"$F,unticked\r\n");
  view.SetChecked(TControlId::cbScoreboardLog, true);
  EXPECT_TRUE(view.Log().empty());
  for (int i = 1; i <= 1001; ++i) {
    const std::string line = "$G," + std::to_string(i) + "\r\n";
    log.LogLastLine(std::u16string(line.begin(), line.end()));
  }
  const auto lines = view.Log();
  ASSERT_EQ(lines.size(), 1000u);
  EXPECT_EQ(lines.front(), u"$G,2");
  EXPECT_EQ(lines.back(), u"$G,1001");
  EXPECT_EQ(view.ScrollsPosted(), 1001);
  view.SetChecked(TControlId::cbScoreboardLog, false);
  log.LogLastLine(u"$G,1002\n");
  EXPECT_EQ(view.Log().back(), u"$G,1001");
}

TEST(FeedLog, ShowsAtMostTheFirst4096CharactersOfALine) {
  EXPECT_EQ(TFeedLog::ShownLine(u"$A,x\ry\r\n"), u"$A,x y");
  const std::u16string exact(TFeedLog::kMaxShownChars, u'a');
  EXPECT_EQ(TFeedLog::ShownLine(exact + u"\r\n"), exact);
  const std::u16string shown = TFeedLog::ShownLine(std::u16string(1 << 20, u'b') + u"\r\n");
  EXPECT_EQ(shown, std::u16string(TFeedLog::kMaxShownChars, u'b') + u"…");
  // Never half a character: a pair cut at the limit loses both halves.
  const std::u16string pairs = std::u16string(TFeedLog::kMaxShownChars - 1, u'c') + u"\U0001F3C1\U0001F3C1";
  EXPECT_EQ(TFeedLog::ShownLine(pairs), std::u16string(TFeedLog::kMaxShownChars - 1, u'c') + u"…");
}

// ---- the board link status ---------------------------------------------

TEST(BoardLinkStatus, TextsAndWatchdog) {
  TBoardLinkStatus status;
  EXPECT_EQ(status.OnScoreboardState(bsConnected, 2), u"Табло подключено (2)");
  const std::intptr_t address = 10 | (1 << 8) | (2 << 16) | (3 << 24);
  EXPECT_FALSE(status.OnScoreboardState(bsAddress, address));
  EXPECT_EQ(status.OnScoreboardState(bsConnected, 2), u"Табло подключено (2) 10.1.2.3");
  EXPECT_FALSE(status.OnScoreboardState(bsAddress, static_cast<std::intptr_t>(0xFFFFFFFFu)));
  EXPECT_EQ(status.OnScoreboardState(bsConnected, -1), u"Табло подключено (-1) 255.255.255.255");
  EXPECT_EQ(status.OnScoreboardState(bsDisconnected, 0), u"Табло отключено");
  EXPECT_EQ(status.OnScoreboardState(bsConnected, 7), u"Табло подключено (7)");
  EXPECT_FALSE(status.OnScoreboardState(4, 0));

  // Three ticks of life after the last connected report, brightness each time.
  TBoardLinkStatus::TTick tick = status.OnTimer();
  EXPECT_TRUE(tick.sendBrightness && !tick.panelText);
  EXPECT_FALSE(status.OnTimer().panelText);
  status.OnScoreboardState(bsDisconnected, 0);
  tick = status.OnTimer();
  EXPECT_TRUE(tick.sendBrightness);
  EXPECT_EQ(tick.panelText, u"Табло отключено");
  tick = status.OnTimer();
  EXPECT_TRUE(!tick.sendBrightness && !tick.panelText);
  EXPECT_EQ(status.AliveTicks(), 0);
  status.OnScoreboardState(bsConnected, 1);
  EXPECT_EQ(status.AliveTicks(), 3);
}

// ---- pictures ----------------------------------------------------------

void Put16(std::vector<std::uint8_t>& b, std::size_t at, std::uint32_t v) {
  b[at] = static_cast<std::uint8_t>(v);
  b[at + 1] = static_cast<std::uint8_t>(v >> 8);
}
void Put32(std::vector<std::uint8_t>& b, std::size_t at, std::uint32_t v) {
  Put16(b, at, v & 0xFFFFu);
  Put16(b, at + 2, v >> 16);
}

// A BMP file as Windows writes one: 40-byte header, a palette for up to 8
// bits per pixel, bottom-up rows padded to 4 bytes, all pixels index 0.
std::vector<std::uint8_t> MakeBmp(std::int32_t width, std::int32_t height, std::uint32_t bits) {
  const std::uint32_t colours = bits <= 8 ? 1u << bits : 0;
  const std::uint32_t offset = 14 + 40 + colours * 4;
  const std::uint32_t stride = (static_cast<std::uint32_t>(width) * bits + 31) / 32 * 4;
  const std::uint32_t size = offset + stride * static_cast<std::uint32_t>(height < 0 ? -height : height);
  std::vector<std::uint8_t> b(size, 0);
  b[0] = 'B';
  b[1] = 'M';
  Put32(b, 2, size);
  Put32(b, 10, offset);
  Put32(b, 14, 40);
  Put32(b, 18, static_cast<std::uint32_t>(width));
  Put32(b, 22, static_cast<std::uint32_t>(height));
  Put16(b, 26, 1);
  Put16(b, 28, bits);
  if (colours >= 2) Put32(b, 54 + 4, 0xFFFFFF);  // index 1 white, index 0 black
  return b;
}

// A wrong entry stays in view over the thread's reports until an entry that
// converts is handed over; the silence shows its seconds.
TEST(FeedLinkStatus, EntryFaultOutranksTheLinkUntilAGoodEndpoint) {
  TFeedLinkStatus status;
  status.OnEndpoint(10 | (1 << 8) | (2 << 16) | (3u << 24), 50000);
  EXPECT_EQ(status.Text(), u"Источник: нет связи (10.1.2.3:50000)");
  status.OnExchangeNotify(enFeedSilent, 12);
  EXPECT_EQ(status.Text(), u"Источник: нет данных 12 с");
  status.OnEntryFault(TFeedEntryFault::Port);
  status.OnExchangeNotify(enFeedConnected, 0);
  status.OnExchangeNotify(enTableSent, 0);
  EXPECT_EQ(status.Text(), u"Источник: неверный порт");
  status.OnEndpoint(0x0100007F, 50001);
  EXPECT_EQ(status.Text(), u"Источник: нет связи (127.0.0.1:50001)");
  status.OnExchangeNotify(enFeedConnected, 0);
  EXPECT_EQ(status.Text(), u"Источник: подключено");
}

TEST(ValidateBmpFile, AcceptsWhatWindowsWritesAndReadsNothingPastTheFile) {
  const std::vector<std::uint8_t> mono = MakeBmp(12, 2, 1);
  TBmpCheck check = ValidateBmpFile(mono);
  ASSERT_TRUE(check.ok) << platform::Utf16ToAnsi(check.reason);
  EXPECT_EQ(check.width, 12);
  EXPECT_EQ(check.height, 2);
  EXPECT_EQ(check.bitsPerPixel, 1);
  check = ValidateBmpFile(MakeBmp(10, -3, 24));  // top-down rows
  ASSERT_TRUE(check.ok);
  EXPECT_EQ(check.height, 3);
  EXPECT_EQ(check.bitsPerPixel, 24);
  // Every shorter piece of a good file is refused, each read inside its own
  // bytes (a copy of exactly that length, so a sanitizer sees any overrun).
  for (std::size_t length = 0; length < mono.size(); ++length) {
    const std::vector<std::uint8_t> piece(mono.begin(), mono.begin() + static_cast<std::ptrdiff_t>(length));
    const TBmpCheck cut = ValidateBmpFile(piece);
    EXPECT_FALSE(cut.ok) << length;
    EXPECT_FALSE(cut.reason.empty()) << length;
  }
}

TEST(ValidateBmpFile, RefusesBadFilesWithTheirReason) {
  const auto reason = [](const std::vector<std::uint8_t>& file) {
    const TBmpCheck check = ValidateBmpFile(file);
    EXPECT_FALSE(check.ok);
    return check.reason;
  };
  const std::u16string notBmp = reason({'G', 'I', 'F', '8', '9', 'a', 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0});
  EXPECT_NE(notBmp.find(u"не является изображением BMP"), std::u16string::npos);

  std::vector<std::uint8_t> file = MakeBmp(16, 16, 24);
  file.resize(file.size() - 10);
  const std::u16string truncated = reason(file);
  EXPECT_NE(truncated.find(u"обрезан"), std::u16string::npos);

  file = MakeBmp(16, 16, 24);
  Put32(file, 18, 30000);  // a small file declaring 30000 × 16 ...
  Put32(file, 22, 30000);  // ... and then 30000 × 30000 pixels
  const std::u16string huge = reason(file);
  Put32(file, 18, 0x7FFFFFFF);
  EXPECT_EQ(reason(file), huge);
  Put32(file, 18, 0x80000000u);  // negative width
  EXPECT_EQ(reason(file), huge);

  file = MakeBmp(8, 8, 8);
  file.resize(14 + 40 + 100);  // the 256-colour palette is cut off
  const std::u16string palette = reason(file);
  file = MakeBmp(8, 8, 1);
  Put32(file, 46, 300);  // more colours than 1 bit can index
  EXPECT_EQ(reason(file), palette);

  const std::u16string empty = reason(MakeBmp(0, 0, 1));
  EXPECT_NE(empty.find(u"0 × 0"), std::u16string::npos);

  // Five different faults, five different texts for the operator.
  const std::vector<std::u16string> all{notBmp, truncated, huge, palette, empty};
  for (std::size_t i = 0; i < all.size(); ++i) {
    for (std::size_t j = i + 1; j < all.size(); ++j) EXPECT_NE(all[i], all[j]);
  }
}

// A decoded picture from rows of colours (0xRRGGBB), top row first.
TDecodedPicture Picture(std::vector<std::vector<std::uint32_t>> rows) {
  TDecodedPicture picture;
  picture.height = static_cast<std::int32_t>(rows.size());
  picture.width = rows.empty() ? 0 : static_cast<std::int32_t>(rows[0].size());
  picture.readRow = [rows = std::move(rows)](std::int32_t y, std::uint32_t* rgb) {
    std::copy(rows[static_cast<std::size_t>(y)].begin(), rows[static_cast<std::size_t>(y)].end(), rgb);
  };
  return picture;
}

constexpr std::uint32_t kWhite = 0xFFFFFF;
constexpr std::uint32_t kBlack = 0x000000;

TEST(PackPicture, OneBitPerPureBlackPixelLeftmostHigh) {
  std::vector<std::vector<std::uint32_t>> rows(2, std::vector<std::uint32_t>(12, kWhite));
  rows[0][0] = rows[0][7] = rows[1][8] = rows[1][11] = kBlack;
  rows[1][0] = 0x010101;  // dark is not black
  std::vector<std::uint8_t> buffer(64, 0xAA);
  const TPackedPicture packed = PackPicture(Picture(rows), buffer);
  ASSERT_TRUE(packed.fits);
  EXPECT_EQ(packed.stride, 16);
  EXPECT_EQ(packed.height, 2);
  EXPECT_EQ(buffer[0], 0x81);
  EXPECT_EQ(buffer[1], 0x00);
  EXPECT_EQ(buffer[2], 0x00);
  EXPECT_EQ(buffer[3], 0x90);
  for (std::size_t i = 4; i < buffer.size(); ++i) EXPECT_EQ(buffer[i], 0) << i;

  // Deeper pictures are cut at mid grey by brightness: blue is dark, yellow light.
  ASSERT_TRUE(
      PackPicture(Picture({{0x7F7F7F, 0x808080, 0x0000FF, 0xFFFF00, 0x010101}}), buffer, TPixelRule::Dark).fits);
  EXPECT_EQ(buffer[0], 0xA8);

  // Too large for the buffer: refused, the buffer untouched.
  EXPECT_EQ(PackedPictureSize(8192, 1024), kPictureBufferSize);
  EXPECT_EQ(PackedPictureSize(8193, 1024), std::size_t{1025 * 1024});
  std::vector<std::uint8_t> small(16, 0x55);
  EXPECT_FALSE(PackPicture(Picture({std::vector<std::uint32_t>(129, kBlack)}), small).fits);
  for (std::uint8_t byte : small) EXPECT_EQ(byte, 0x55);
}

class PictureSendTest : public ::testing::Test {
 protected:
  void SetUp() override {
    folder_ = std::filesystem::temp_directory_path() /
              ("brelvo-picture-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()));
    std::filesystem::create_directories(folder_);
    // The face's toolkit: the picture of the file's size, black at (9, 1),
    // dark grey at (8, 1).
    view_.decode = [](std::span<const std::uint8_t> file) -> std::optional<TDecodedPicture> {
      const TBmpCheck check = ValidateBmpFile(file);
      std::vector<std::vector<std::uint32_t>> rows(
          static_cast<std::size_t>(check.height),
          std::vector<std::uint32_t>(static_cast<std::size_t>(check.width), kWhite));
      if (check.height > 1 && check.width > 9) {
        rows[1][9] = kBlack;
        rows[1][8] = 0x202020;
      }
      return Picture(std::move(rows));
    };
  }
  void TearDown() override { std::filesystem::remove_all(folder_); }
  std::u16string Write(const std::string& name, const std::vector<std::uint8_t>& bytes) {
    std::ofstream(folder_ / name, std::ios::binary)
        .write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
    return (folder_ / name).u16string();
  }
  bool Send(const std::u16string& path) {
    return output_.Send(path, [&](const std::uint8_t* bits, std::int32_t stride, std::int32_t height) {
      sends_.push_back({bits[3], stride, height});
    });
  }

  std::filesystem::path folder_;
  TMainFormViewDouble view_;
  TPictureOutput output_{view_};
  struct TSent {
    std::uint8_t byte3;
    std::int32_t stride;
    std::int32_t height;
  };
  std::vector<TSent> sends_;
};

TEST_F(PictureSendTest, WarnsForPicturesThatAreNotOneBitAndSendsAllTheSame) {
  ASSERT_TRUE(Send(Write("rgb.bmp", MakeBmp(10, 2, 24))));
  ASSERT_EQ(view_.messages.size(), 1u);
  EXPECT_EQ(view_.messages[0], std::make_pair(TMessageKind::Warning, std::u16string(kPictureFormatWarning)));
  ASSERT_EQ(sends_.size(), 1u);
  EXPECT_EQ(sends_[0].stride, 16);
  EXPECT_EQ(sends_[0].height, 2);
  EXPECT_EQ(sends_[0].byte3, 0xC0) << "x = 8 and 9 of row 1: converted by brightness";
  ASSERT_TRUE(Send(Write("mono.bmp", MakeBmp(10, 2, 1))));
  EXPECT_EQ(view_.messages.size(), 1u);  // one bit per pixel: no warning
  ASSERT_EQ(sends_.size(), 2u);
  EXPECT_EQ(sends_[1].byte3, 0x40) << "a one-bit picture lights only its black";
}

TEST_F(PictureSendTest, RefusedFilesNameTheFileSendNothingAndKeepTheBuffer) {
  ASSERT_TRUE(Send(Write("good.bmp", MakeBmp(16, 2, 1))));
  const std::vector<std::uint8_t> before(output_.Buffer().begin(), output_.Buffer().begin() + 8);
  std::vector<std::uint8_t> cut = MakeBmp(16, 16, 24);
  cut.resize(cut.size() / 2);
  const std::vector<std::u16string> refused{Write("cut.bmp", cut), Write("empty.bmp", MakeBmp(0, 0, 1)),
                                            Write("text.bmp", {'h', 'e', 'l', 'l', 'o'}),
                                            (folder_ / "missing.bmp").u16string()};
  for (const std::u16string& path : refused) EXPECT_FALSE(Send(path));
  EXPECT_FALSE(Send(u""));
  EXPECT_EQ(sends_.size(), 1u);
  EXPECT_EQ(view_.decodes, 1);  // refused before the toolkit saw them
  ASSERT_EQ(view_.messages.size(), refused.size() + 1);
  for (std::size_t i = 0; i < refused.size(); ++i) {
    EXPECT_EQ(view_.messages[i].first, TMessageKind::Error);
    const std::u16string name = refused[i].substr(refused[i].find_last_of(u"/\\") + 1);
    EXPECT_NE(view_.messages[i].second.find(name), std::u16string::npos) << platform::Utf16ToAnsi(name);
  }
  EXPECT_EQ(std::vector<std::uint8_t>(output_.Buffer().begin(), output_.Buffer().begin() + 8), before);

  // Too large for the board: 8200 × 1024 packs into more than 1 MiB.
  EXPECT_FALSE(Send(Write("large.bmp", MakeBmp(8200, 1024, 1))));
  EXPECT_NE(view_.messages.back().second.find(u"1 048 576"), std::u16string::npos);
  // A file the toolkit cannot decode after all is refused as well.
  view_.decode = nullptr;
  EXPECT_FALSE(Send(Write("odd.bmp", MakeBmp(8, 1, 1))));
  EXPECT_EQ(sends_.size(), 1u);
}

}  // namespace
