#include "boardpanel.h"

#include <QFont>
#include <QImage>
#include <QString>
#include <algorithm>

namespace {

QString Q(const std::string& s) { return QString::fromUtf8(s.data(), static_cast<qsizetype>(s.size())); }

void PaintContent(QPainter& p, const QSize& size, const board::TBoardContent& c) {
  p.fillRect(QRect(QPoint(0, 0), size), QColor(12, 10, 8));
  const double k = board::BrightnessFactor(c.brightness);
  auto lit = [k](int r, int g, int b) {
    return QColor(static_cast<int>(r * k), static_cast<int>(g * k), static_cast<int>(b * k));
  };
  const QColor amber = lit(255, 176, 0), green = lit(60, 255, 90), red = lit(255, 40, 30), white = lit(235, 235, 225);
  QFont font(QStringLiteral("DejaVu Sans Mono"));
  font.setPixelSize(18);
  font.setBold(true);
  p.setFont(font);
  switch (c.display) {
    case board::dsBlank:
      return;
    case board::dsStartLight:
    case board::dsFinishLight: {
      const bool start = c.display == board::dsStartLight;
      const int d = std::min(size.width() / 6, size.height() / 2);
      for (int i = 0; i < 3; ++i) {
        p.setBrush(start ? red : (i % 2 ? white : green));
        p.setPen(Qt::NoPen);
        p.drawEllipse(QPoint(size.width() * (i + 1) / 4, size.height() / 2), d / 2, d / 2);
      }
      p.setPen(amber);
      p.drawText(QRect(0, size.height() - 30, size.width(), 28), Qt::AlignCenter,
                 start ? QStringLiteral("СТАРТ") : QStringLiteral("ФИНИШ"));
      return;
    }
    case board::dsPicture: {
      if (c.pictureWidth <= 0 || c.pictureHeight <= 0) return;
      const int stride = (c.pictureWidth + 7) / 8;
      QImage img(c.pictureWidth, c.pictureHeight, QImage::Format_RGB32);
      img.fill(QColor(12, 10, 8));
      for (int y = 0; y < c.pictureHeight; ++y) {
        for (int x = 0; x < c.pictureWidth; ++x) {
          if (c.pictureBits[static_cast<std::size_t>(y * stride + x / 8)] & (0x80 >> (x % 8)))
            img.setPixel(x, y, amber.rgb());
        }
      }
      p.drawImage(QRect(QPoint(0, 0), size), img.scaled(size, Qt::KeepAspectRatio));
      return;
    }
    case board::dsTable:
      break;
  }
  static const char* const kModes[] = {"ЛУЧШИЙ КРУГ", "ГОНКА", "ТРЕНИРОВКА"};
  p.setPen(green);
  p.drawText(QRect(8, 4, size.width() - 16, 24), Qt::AlignLeft | Qt::AlignVCenter,
             QString::fromUtf8(c.mode >= 0 && c.mode <= 2 ? kModes[c.mode] : "?"));
  p.drawText(QRect(8, 4, size.width() - 16, 24), Qt::AlignRight | Qt::AlignVCenter,
             c.clockSet ? Q(board::FormatClock(c.clockSeconds)) : QString());
  const int cols[] = {8, 50, 100, 330, 430, 530, 640};
  int y = 34;
  for (const auto& r : c.rows) {
    if (y + 22 > size.height()) break;
    const std::int32_t gap = c.mode == 0 ? r.bestLapGap : r.raceGap;
    const QString texts[] = {QString::number(r.row).rightJustified(2),
                             QString::number(r.number).rightJustified(2),
                             Q(r.name).left(20),
                             Q(board::FormatLapTime(r.bestLapTime)),
                             Q(board::FormatLapTime(r.lastLapTime)),
                             Q(board::FormatGap(gap)),
                             QStringLiteral("%1").arg(r.laps, 2, 10, QLatin1Char('0'))};
    for (int i = 0; i < 7; ++i) {
      p.setPen(i == 2 ? amber : (i == 5 ? red : green));
      p.drawText(QPoint(cols[i], y + 18), texts[i]);
    }
    y += 22;
  }
}

}  // namespace

void PaintBoard(QPainter& p, const QSize& size, const board::TBoardContent& c) {
  PaintContent(p, size, c);
  p.setPen(QPen(QColor(12, 10, 8, 170), 1));
  for (int x = 2; x < size.width(); x += 3) p.drawLine(x, 0, x, size.height());
  for (int y = 2; y < size.height(); y += 3) p.drawLine(0, y, size.width(), y);
}

TBoardWindow::TBoardWindow() {
  setWindowTitle(QStringLiteral("Brelvo board"));
  resize(700, 34 + 22 * 30 + 8);
  setAutoFillBackground(false);
}

void TBoardWindow::paintEvent(QPaintEvent*) {
  QPainter p(this);
  PaintBoard(p, size(), content_);
}
