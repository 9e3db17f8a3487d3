#include "faces/qt/qtresultslistview.h"

#include <QHeaderView>
#include <QPaintEvent>
#include <QPainter>

#include "faces/qt/qtresultsmodel.h"

TResultsListView::TResultsListView(QWidget* parent) : QTableView(parent) {
  setSelectionBehavior(QAbstractItemView::SelectRows);
  setSelectionMode(QAbstractItemView::SingleSelection);
  setShowGrid(true);
  setWordWrap(false);
  setCornerButtonEnabled(false);
  setEditTriggers(QAbstractItemView::NoEditTriggers);
  verticalHeader()->setVisible(false);
  verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
  verticalHeader()->setDefaultSectionSize(fontMetrics().height() + 4);
  horizontalHeader()->setHighlightSections(false);
  horizontalHeader()->setSectionsMovable(false);
  horizontalHeader()->setDefaultAlignment(Qt::AlignLeft | Qt::AlignVCenter);
  horizontalHeader()->setStretchLastSection(false);
  setHorizontalScrollMode(QAbstractItemView::ScrollPerPixel);
}

void TResultsListView::SetResultsModel(TResultsModel* model) {
  results_ = model;
  setModel(model);
  for (int c = 0; c < TResultsModel::kColumnCount; ++c) setColumnWidth(c, TResultsModel::kColumnWidths[c]);
}

QColor TResultsListView::ActiveCaptionColor() {
  // The Windows default of the active caption colour; Qt has no role for it.
  return QColor(153, 180, 209);
}

void TResultsListView::paintEvent(QPaintEvent* event) {
  QPainter painter(viewport());
  const QRect area = viewport()->rect();
  painter.fillRect(event->rect(), Qt::white);
  if (results_ != nullptr) {
    const int columns = results_->columnCount();
    const int left = columnViewportPosition(0);
    const int right = columnViewportPosition(columns - 1) + columnWidth(columns - 1);
    const int first = rowAt(area.top()) < 0 ? 0 : rowAt(area.top());
    for (int row = first; row < results_->rowCount(); ++row) {
      const int top = rowViewportPosition(row);
      if (top > area.bottom()) break;
      const QRect rowRect(QPoint(left, top), QPoint(right - 1, top + rowHeight(row) - 1));
      if (!rowRect.intersects(event->rect())) continue;
      const bool selected = selectionModel() != nullptr && selectionModel()->isRowSelected(row, QModelIndex());
      lvScoreboardDrawItem(painter, row, rowRect, selected);
    }
    // Grid lines: row bottoms and column edges across the whole client area.
    painter.setClipping(false);
    painter.setPen(palette().color(QPalette::Mid));
    int x = left;
    for (int c = 0; c < columns; ++c) {
      x += columnWidth(c);
      painter.drawLine(x - 1, area.top(), x - 1, area.bottom());
    }
    for (int row = first; row < results_->rowCount(); ++row) {
      const int bottom = rowViewportPosition(row) + rowHeight(row) - 1;
      if (bottom - rowHeight(row) > area.bottom()) break;
      painter.drawLine(left, bottom, right - 1, bottom);
    }
  }
}

void TResultsListView::lvScoreboardDrawItem(QPainter& painter, int row, const QRect& rowRect, bool selected) {
  // R as the control reports it: right and bottom are exclusive edges.
  const int rLeft = rowRect.left();
  const int rTop = rowRect.top();
  const int rRight = rowRect.right() + 1;
  const int rBottom = rowRect.bottom() + 1;
  painter.setClipping(false);
  painter.fillRect(rowRect, selected ? ActiveCaptionColor() : QColor(Qt::white));

  int tLeft = rLeft + 3;
  const int tTop = rTop;
  const int tBottom = rBottom - 3;
  int tRight = columnWidth(0);  // a coordinate, not an offset from R
  (void)rRight;
  const int spaceHeight = painter.fontMetrics().height();
  const int y = tTop + 1 + (tBottom - tTop - spaceHeight) / 2;
  const int ascent = painter.fontMetrics().ascent();

  painter.setPen(palette().color(QPalette::WindowText));
  painter.setBackgroundMode(Qt::TransparentMode);
  auto drawCell = [&](const QString& text) {
    const QRect clip(QPoint(tLeft, tTop), QPoint(tRight - 1, tBottom - 1));
    if (clip.isEmpty()) return;
    painter.setClipRect(clip);
    painter.drawText(tLeft + 3, y + ascent, text);
  };
  drawCell(QString::number(row + 1));
  for (int k = 0; k + 1 < TResultsModel::kColumnCount; ++k) {
    tLeft += columnWidth(k);
    tRight = tLeft + columnWidth(k + 1);
    drawCell(results_->index(row, k + 1).data().toString());
  }
  painter.setClipping(false);
  Q_EMIT rowPainted(row);
}
