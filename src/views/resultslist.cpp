#include "views/resultslist.h"

#include <algorithm>
#include <string>

#include "exchange/scoreboardexchangethread.h"

namespace {

std::u16string Decimal(std::int32_t value) {
  const std::string text = std::to_string(value);
  return std::u16string(text.begin(), text.end());
}

}  // namespace

TListRowTexts ListRowTexts(TScoreboardExchangeThread* thread, std::int32_t row) {
  TListRowTexts texts;
  texts.caption = Decimal(row + 1);
  if (thread == nullptr) return texts;
  // Six separate requests: each takes the table lock by itself.
  const auto columns = ResultsColumns();
  for (std::size_t c = 1; c < columns.size(); ++c) {
    texts.subItems.push_back(thread->GetResultCellText(row, columns[c].resultColumn));
  }
  return texts;
}

std::u16string ListCellText(TScoreboardExchangeThread* thread, std::int32_t row, std::int32_t listColumn) {
  if (listColumn == 0) return Decimal(row + 1);
  if (thread == nullptr || listColumn < 0 || listColumn >= kResultsColumnCount) return {};
  return thread->GetResultCellText(row, ResultsColumns()[static_cast<std::size_t>(listColumn)].resultColumn);
}

TRowPaint RowPaintGeometry(const TRect& row, bool selectedOrGrayed, std::span<const std::int32_t> columnWidths,
                           std::int32_t subItemCount, std::int32_t spaceHeight) {
  TRowPaint paint;
  paint.background = selectedOrGrayed ? TRowBackground::ActiveCaption : TRowBackground::White;
  paint.fill = row;
  const auto width = [&](std::int32_t column) {
    return column >= 0 && static_cast<std::size_t>(column) < columnWidths.size()
               ? columnWidths[static_cast<std::size_t>(column)]
               : 0;
  };
  // T: left 3 inside the row, bottom 3 above it; its right is column 0's
  // width taken as a coordinate, not added to the row's left.
  std::int32_t left = row.left + 3;
  const std::int32_t top = row.top;
  const std::int32_t bottom = row.Bottom() - 3;
  std::int32_t right = width(0);
  // Truncated toward zero, as integer division does.
  const std::int32_t y = top + 1 + (bottom - top - spaceHeight) / 2;
  const auto cell = [&] {
    paint.cells.push_back({left + 3, y, {left, top, std::max(0, right - left), std::max(0, bottom - top)}});
  };
  cell();
  for (std::int32_t k = 0; k < subItemCount; ++k) {
    left += width(k);
    right = left + width(k + 1);
    cell();
  }
  return paint;
}
