#include <QAbstractItemModelTester>
#include <QCheckBox>
#include <QImage>
#include <QPlainTextEdit>
#include <QTemporaryDir>
#include <QTest>
#include <QTextBlock>
#include <cstring>
#include <vector>

#include "exchange/scoreboardcontroller.h"
#include "faces/qt/qtfeedlog.h"
#include "faces/qt/qtpictureoutput.h"
#include "faces/qt/qtresultslistview.h"
#include "faces/qt/qtresultsmodel.h"
#include "messageboxcloser.h"
#include "standings/celltext.h"

namespace {

QString Q(const char16_t* text) { return QString::fromUtf16(text); }

bool IsText(QRgb pixel) { return qGray(pixel) < 100; }

}  // namespace

class ViewsTest : public QObject {
  Q_OBJECT

 private slots:
  void modelPassesTheItemModelTester();
  void modelAsksTheColumnsInBoardOrderAndKeepsNoText();
  void modelWithoutExchangeThreadShowsPositionsOnly();
  void listPaintsRowBackgroundsAndClipsCells();
  void feedLogKeepsTheNewestThousandLinesOnlyWhileTicked();
  void boardStatusTextsAndWatchdog();
  void packingSetsOneBitPerBlackPixel();
  void packingTestsTheColourNotTheStoredBit();
  void packingRefusesPicturesLargerThanTheBuffer();
  void sendWarnsForPicturesThatAreNotOneBit();
  void sendReportsFilesThatDoNotLoad();
  void sendRefusesPicturesLargerThanTheBuffer();
};

void ViewsTest::modelPassesTheItemModelTester() {
  TResultsModel model;
  QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
  model.SetCellTextProvider([](std::int32_t row, std::int32_t column) {
    return QStringLiteral("%1/%2").arg(row).arg(column).toStdU16String();
  });
  model.SetItemCount(5);
  model.SetItemCount(5);
  model.SetItemCount(2);
  model.SetItemCount(0);
  model.SetItemCount(32);
  model.SetItemCount(-4);
  QCOMPARE(model.rowCount(), 0);
  QCOMPARE(model.columnCount(), 7);
  QCOMPARE(model.headerData(0, Qt::Horizontal).toString(), Q(u"Поз."));
  QCOMPARE(model.headerData(4, Qt::Horizontal).toString(), Q(u"Последний круг"));
  QCOMPARE(model.headerData(6, Qt::Horizontal).toString(), Q(u"Круги"));
}

void ViewsTest::modelAsksTheColumnsInBoardOrderAndKeepsNoText() {
  TResultsModel model;
  std::vector<std::int32_t> asked;
  int generation = 0;
  model.SetCellTextProvider([&](std::int32_t row, std::int32_t column) {
    asked.push_back(column);
    return QStringLiteral("r%1c%2g%3").arg(row).arg(column).arg(generation).toStdU16String();
  });
  model.SetItemCount(3);
  for (int c = 1; c < 7; ++c) model.index(2, c).data();
  QCOMPARE(asked, (std::vector<std::int32_t>{rcNumber, rcName, rcBestLap, rcLastLap, rcGap, rcLaps}));
  QCOMPARE(model.index(2, 0).data().toString(), QStringLiteral("3"));
  QCOMPARE(model.index(1, 2).data().toString(), QStringLiteral("r1c4g0"));
  // Every request asks afresh: the texts follow the standings.
  generation = 1;
  QCOMPARE(model.index(1, 2).data().toString(), QStringLiteral("r1c4g1"));
  QVERIFY(!model.index(3, 1).isValid());
  const int widths[] = {50, 50, 100, 80, 94, 80, 50};
  for (int c = 0; c < 7; ++c) QCOMPARE(TResultsModel::kColumnWidths[c], widths[c]);
}

void ViewsTest::modelWithoutExchangeThreadShowsPositionsOnly() {
  TResultsModel model;
  model.SetItemCount(32);
  QCOMPARE(model.index(31, 0).data().toString(), QStringLiteral("32"));
  QVERIFY(model.index(31, 3).data().toString().isEmpty());
}

void ViewsTest::listPaintsRowBackgroundsAndClipsCells() {
  TResultsModel model;
  model.SetCellTextProvider([](std::int32_t row, std::int32_t column) -> std::u16string {
    if (row == 0 && column == rcName) return u"ЖЖЖЖЖЖЖЖЖЖЖЖЖЖЖЖЖЖЖЖЖЖЖЖ";
    if (column == rcNumber) return u"12";
    return {};
  });
  TResultsListView view;
  view.SetResultsModel(&model);
  view.resize(541, 127);
  view.show();
  QVERIFY(QTest::qWaitForWindowExposed(&view));

  QImage empty = view.viewport()->grab().toImage();
  for (int y = 0; y < empty.height(); y += 3) {
    for (int x = 0; x < 40; x += 3) QVERIFY(!IsText(empty.pixel(x, y)));
  }

  model.SetItemCount(3);
  view.selectRow(1);
  QImage image = view.viewport()->grab().toImage();
  const int h0 = view.rowViewportPosition(0);
  const int h1 = view.rowViewportPosition(1);
  const int rowHeight = view.rowHeight(0);
  // Backgrounds: white, then the active caption colour for the selection.
  QCOMPARE(QColor(image.pixel(45, h0 + 2)), QColor(Qt::white));
  QCOMPARE(QColor(image.pixel(45, h1 + 2)), TResultsListView::ActiveCaptionColor());
  QCOMPARE(QColor(image.pixel(45, view.rowViewportPosition(2) + 2)), QColor(Qt::white));
  // Texts start 6 pixels into their column: nothing dark left of x = 6.
  bool textInColumn0 = false;
  for (int y = h0; y < h0 + rowHeight; ++y) {
    for (int x = 0; x < 6; ++x) QVERIFY2(!IsText(image.pixel(x, y)), "text left of its offset");
    for (int x = 6; x < 45; ++x) textInColumn0 = textInColumn0 || IsText(image.pixel(x, y));
  }
  QVERIFY(textInColumn0);
  // The long name is cut 3 pixels into the next column (which is empty).
  bool nameNearEdge = false;
  for (int y = h0; y < h0 + rowHeight - 3; ++y) {
    for (int x = 190; x < 203; ++x) nameNearEdge = nameNearEdge || IsText(image.pixel(x, y));
    for (int x = 203; x < 280; ++x) QVERIFY2(!IsText(image.pixel(x, y)), "name drawn past its clip");
  }
  QVERIFY(nameNearEdge);
  // The selected row's text stays in the window-text colour.
  bool textOnSelection = false;
  for (int y = h1; y < h1 + rowHeight; ++y) {
    for (int x = 56; x < 95; ++x) textOnSelection = textOnSelection || IsText(image.pixel(x, y));
  }
  QVERIFY(textOnSelection);

  // A widened column moves the texts of the columns after it.
  view.setColumnWidth(0, 120);
  image = view.viewport()->grab().toImage();
  for (int y = h0; y < h0 + rowHeight; ++y) {
    for (int x = 120; x < 126; ++x) QVERIFY(!IsText(image.pixel(x, y)));
  }
}

void ViewsTest::feedLogKeepsTheNewestThousandLinesOnlyWhileTicked() {
  QPlainTextEdit edit;
  QCheckBox box;
  TQtFeedLog log(&edit, &box);
  log.LogLastLine(u"$F,unticked\r\n");
  QVERIFY(edit.toPlainText().isEmpty());
  box.setChecked(true);
  QVERIFY(edit.toPlainText().isEmpty());
  for (int i = 1; i <= 1001; ++i) log.LogLastLine(QStringLiteral("$G,%1\r\n").arg(i).toStdU16String());
  QCOMPARE(edit.document()->blockCount(), 1000);
  QCOMPARE(edit.document()->firstBlock().text(), QStringLiteral("$G,2"));
  QCOMPARE(edit.document()->lastBlock().text(), QStringLiteral("$G,1001"));
  box.setChecked(false);
  log.LogLastLine(u"$G,1002\n");
  QCOMPARE(edit.document()->lastBlock().text(), QStringLiteral("$G,1001"));
}

void ViewsTest::boardStatusTextsAndWatchdog() {
  TQtBoardLinkStatus status;
  QCOMPARE(QString::fromStdU16String(status.OnScoreboardState(bsConnected, 2)), Q(u"Табло подключено (2)"));
  const std::intptr_t address = 10 | (1 << 8) | (2 << 16) | (3 << 24);
  QVERIFY(status.OnScoreboardState(bsAddress, address).empty());
  QCOMPARE(QString::fromStdU16String(status.OnScoreboardState(bsConnected, 2)), Q(u"Табло подключено (2) 10.1.2.3"));
  QCOMPARE(QString::fromStdU16String(status.OnScoreboardState(bsAddress, static_cast<std::intptr_t>(0xFFFFFFFFu))),
           QString());
  QCOMPARE(QString::fromStdU16String(status.OnScoreboardState(bsConnected, -1)),
           Q(u"Табло подключено (-1) 255.255.255.255"));
  QCOMPARE(QString::fromStdU16String(status.OnScoreboardState(bsDisconnected, 0)), Q(u"Табло отключено"));
  QCOMPARE(QString::fromStdU16String(status.OnScoreboardState(bsConnected, 7)), Q(u"Табло подключено (7)"));
  QVERIFY(status.OnScoreboardState(4, 0).empty());

  // Three ticks of life after the last connected report, brightness each time.
  TQtBoardLinkStatus::TTick tick = status.OnTimer();
  QVERIFY(tick.sendBrightness && tick.panelText.empty());
  QVERIFY(status.OnTimer().panelText.empty());
  status.OnScoreboardState(bsDisconnected, 0);
  tick = status.OnTimer();
  QVERIFY(tick.sendBrightness);
  QCOMPARE(QString::fromStdU16String(tick.panelText), Q(u"Табло отключено"));
  tick = status.OnTimer();
  QVERIFY(!tick.sendBrightness && tick.panelText.empty());
  QCOMPARE(status.AliveTicks(), 0);
  status.OnScoreboardState(bsConnected, 1);
  QCOMPARE(status.AliveTicks(), 3);
}

void ViewsTest::packingSetsOneBitPerBlackPixel() {
  QImage image(12, 2, QImage::Format_Mono);
  image.setColor(0, qRgb(255, 255, 255));
  image.setColor(1, qRgb(0, 0, 0));
  image.fill(0);
  image.setPixel(0, 0, 1);
  image.setPixel(7, 0, 1);
  image.setPixel(8, 1, 1);
  image.setPixel(11, 1, 1);
  std::vector<std::uint8_t> buffer(64, 0xAA);
  const TQtPackedPicture packed = QtPackPicture(image, buffer.data(), buffer.size());
  QVERIFY(packed.fits);
  QCOMPARE(packed.stride, 16);
  QCOMPARE(packed.height, 2);
  QCOMPARE(buffer[0], std::uint8_t{0x81});
  QCOMPARE(buffer[1], std::uint8_t{0x00});
  QCOMPARE(buffer[2], std::uint8_t{0x00});
  QCOMPARE(buffer[3], std::uint8_t{0x90});
  for (std::size_t i = 4; i < buffer.size(); ++i) QCOMPARE(buffer[i], std::uint8_t{0});

  QImage white(8, 3, QImage::Format_RGB32);
  white.fill(Qt::white);
  const TQtPackedPicture whitePacked = QtPackPicture(white, buffer.data(), buffer.size());
  QCOMPARE(whitePacked.stride, 8);
  for (std::uint8_t byte : buffer) QCOMPARE(byte, std::uint8_t{0});
}

void ViewsTest::packingTestsTheColourNotTheStoredBit() {
  // Palette with black at index 0: the stored zeros are the black pixels.
  QImage inverted(8, 1, QImage::Format_Mono);
  inverted.setColor(0, qRgb(0, 0, 0));
  inverted.setColor(1, qRgb(255, 255, 255));
  inverted.fill(1);
  inverted.setPixel(2, 0, 0);
  std::uint8_t buffer[4] = {};
  QtPackPicture(inverted, buffer, sizeof buffer);
  QCOMPARE(buffer[0], std::uint8_t{0x20});

  QImage rgb(9, 1, QImage::Format_RGB888);
  rgb.fill(Qt::white);
  rgb.setPixel(0, 0, qRgb(1, 1, 1));
  rgb.setPixel(1, 0, qRgb(0, 0, 0));
  rgb.setPixel(8, 0, qRgb(0, 0, 0));
  QtPackPicture(rgb, buffer, sizeof buffer);
  QCOMPARE(buffer[0], std::uint8_t{0x40});
  QCOMPARE(buffer[1], std::uint8_t{0x80});
}

void ViewsTest::packingRefusesPicturesLargerThanTheBuffer() {
  QCOMPARE(QtPackedPictureSize(8192, 1024), kQtPictureBufferSize);
  QCOMPARE(QtPackedPictureSize(8193, 1024), std::size_t{1025 * 1024});
  std::vector<std::uint8_t> buffer(16, 0x55);
  QImage image(129, 1, QImage::Format_Mono);  // 17 bytes
  image.fill(1);
  QVERIFY(!QtPackPicture(image, buffer.data(), buffer.size()).fits);
  for (std::uint8_t byte : buffer) QCOMPARE(byte, std::uint8_t{0x55});
}

void ViewsTest::sendWarnsForPicturesThatAreNotOneBit() {
  QTemporaryDir folder;
  QImage rgb(10, 2, QImage::Format_RGB32);
  rgb.fill(Qt::white);
  rgb.setPixel(9, 1, qRgb(0, 0, 0));
  const QString rgbPath = folder.filePath(QStringLiteral("rgb.bmp"));
  QVERIFY(rgb.save(rgbPath, "BMP"));
  QImage mono = rgb.convertToFormat(QImage::Format_Mono, Qt::ThresholdDither);
  const QString monoPath = folder.filePath(QStringLiteral("mono.bmp"));
  QVERIFY(mono.save(monoPath, "BMP"));

  TMessageBoxCloser closer;
  TQtPictureOutput output(nullptr);
  int sends = 0;
  std::int32_t width = 0;
  std::int32_t height = 0;
  const auto send = [&](const std::uint8_t* bits, std::int32_t w, std::int32_t h) {
    ++sends;
    width = w;
    height = h;
    QCOMPARE(bits[3], std::uint8_t{0x40});  // x = 9 of row 1
  };
  QVERIFY(output.Send(rgbPath, send));
  QCOMPARE(closer.Texts(), QStringList{TQtPictureOutput::FormatWarningText()});
  QCOMPARE(sends, 1);
  QCOMPARE(width, 16);
  QCOMPARE(height, 2);
  QVERIFY(output.Send(monoPath, send));
  QCOMPARE(closer.Texts().size(), 1);  // a one-bit picture goes out without a warning
  QCOMPARE(sends, 2);
}

void ViewsTest::sendReportsFilesThatDoNotLoad() {
  QTemporaryDir folder;
  const QString path = folder.filePath(QStringLiteral("one.bmp"));
  QImage image(8, 1, QImage::Format_Mono);
  image.fill(0);
  image.setColor(0, qRgb(0, 0, 0));
  image.setColor(1, qRgb(255, 255, 255));
  QVERIFY(image.save(path, "BMP"));
  TMessageBoxCloser closer;
  TQtPictureOutput output(nullptr);
  int sends = 0;
  const auto send = [&](const std::uint8_t*, std::int32_t, std::int32_t) { ++sends; };
  QVERIFY(output.Send(path, send));
  QCOMPARE(output.Buffer()[0], std::uint8_t{0xFF});

  QVERIFY(!output.Send(folder.filePath(QStringLiteral("missing.bmp")), send));
  QVERIFY(!output.Send(QString(), send));
  QFile broken(folder.filePath(QStringLiteral("broken.bmp")));
  QVERIFY(broken.open(QIODevice::WriteOnly));
  broken.write("BM not a bitmap");
  broken.close();
  QVERIFY(!output.Send(broken.fileName(), send));
  QCOMPARE(sends, 1);
  QCOMPARE(closer.Texts().size(), 3);
  QVERIFY(closer.Texts()[0].contains(QStringLiteral("missing.bmp")));
  // The buffer keeps what the last send left in it.
  QCOMPARE(output.Buffer()[0], std::uint8_t{0xFF});
}

void ViewsTest::sendRefusesPicturesLargerThanTheBuffer() {
  QTemporaryDir folder;
  QImage large(8200, 1024, QImage::Format_Mono);
  large.fill(0);
  const QString path = folder.filePath(QStringLiteral("large.bmp"));
  QVERIFY(large.save(path, "BMP"));
  TMessageBoxCloser closer;
  TQtPictureOutput output(nullptr);
  int sends = 0;
  QVERIFY(!output.Send(path, [&](const std::uint8_t*, std::int32_t, std::int32_t) { ++sends; }));
  QCOMPARE(sends, 0);
  QCOMPARE(closer.Texts().size(), 1);
  QVERIFY(closer.Texts()[0].contains(QStringLiteral("1 048 576")));
}

QTEST_MAIN(ViewsTest)
#include "views_test.moc"
