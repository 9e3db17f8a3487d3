#include "faces/qt/qtresultslistview.h"

#include <QHeaderView>
#include <QPaintEvent>
#include <QPainter>
#include <vector>

#include "faces/qt/qtresultsmodel.h"
#include "shell/fMainForm.h"

TQtResultsListView::TQtResultsListView(QWidget* parent) : QTableView(parent) {
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

void TQtResultsListView::SetResultsModel(TQtResultsModel* model) {
  results_ = model;
  setModel(model);
  const auto columns = ResultsColumns();
  for (int c = 0; c < kResultsColumnCount; ++c) setColumnWidth(c, columns[static_cast<std::size_t>(c)].width);
}

QColor TQtResultsListView::ActiveCaptionColor() { return QColor(153, 180, 209); }

void TQtResultsListView::paintEvent(QPaintEvent* event) {
  QPainter painter(viewport());
  const QRect area = viewport()->rect();
  painter.fillRect(event->rect(), Qt::white);
  if (results_ == nullptr) return;
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

void TQtResultsListView::lvScoreboardDrawItem(QPainter& painter, int row, const QRect& rowRect, bool selected) {
  painter.setClipping(false);
  std::vector<std::int32_t> widths(static_cast<std::size_t>(kResultsColumnCount));
  for (int c = 0; c < kResultsColumnCount; ++c) widths[static_cast<std::size_t>(c)] = columnWidth(c);
  // R as the control reports it: right and bottom are exclusive edges.
  const TRect r{rowRect.left(), rowRect.top(), rowRect.width(), rowRect.height()};
  const int spaceHeight = painter.fontMetrics().height();
  TListRowTexts texts;
  TRowPaint paint;
  if (console_ != nullptr) {
    texts = console_->lvScoreboardData(row);
    paint = console_->lvScoreboardDrawItem(r, selected, widths, spaceHeight);
  } else {
    texts.caption = QString::number(row + 1).toStdU16String();
    paint = RowPaintGeometry(r, selected, widths, 0, spaceHeight);
  }
  painter.fillRect(rowRect,
                   paint.background == TRowBackground::ActiveCaption ? ActiveCaptionColor() : QColor(Qt::white));
  painter.setPen(palette().color(QPalette::WindowText));
  painter.setBackgroundMode(Qt::TransparentMode);
  const int ascent = painter.fontMetrics().ascent();
  for (std::size_t i = 0; i < paint.cells.size(); ++i) {
    const TCellPaint& cell = paint.cells[i];
    if (cell.clip.width <= 0 || cell.clip.height <= 0 || i > texts.subItems.size()) continue;
    const std::u16string& text = i == 0 ? texts.caption : texts.subItems[i - 1];
    painter.setClipRect(QRect(cell.clip.left, cell.clip.top, cell.clip.width, cell.clip.height));
    painter.drawText(cell.x, cell.y + ascent, QString::fromStdU16String(text));
  }
  painter.setClipping(false);
  Q_EMIT rowPainted(row);
}
