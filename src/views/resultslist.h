// The results list's rules: the texts of a row and where the window paints
// them. The list keeps no text; every paint asks the standings afresh.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "views/controltable.h"

class TScoreboardExchangeThread;

// A row's caption (its position, from 1) and its six sub-texts in list
// column order; no sub-texts while the exchange thread does not exist.
struct TListRowTexts {
  std::u16string caption;
  std::vector<std::u16string> subItems;
};

// lvScoreboardData: `thread` may be null.
TListRowTexts ListRowTexts(TScoreboardExchangeThread* thread, std::int32_t row);
// One cell of list column 0..6 (0 the position); empty when absent.
std::u16string ListCellText(TScoreboardExchangeThread* thread, std::int32_t row, std::int32_t listColumn);

enum class TRowBackground : std::int32_t {
  White,          // clWhite
  ActiveCaption,  // clActiveCaption: the system colour of an active title bar
};

struct TCellPaint {
  std::int32_t x = 0;  // where the text starts
  std::int32_t y = 0;  // top of the text
  TRect clip;          // the text is clipped to it; may be empty
};

struct TRowPaint {
  TRowBackground background = TRowBackground::White;
  TRect fill;                     // the whole row rectangle
  std::vector<TCellPaint> cells;  // the caption, then one per sub-text
};

// lvScoreboardDrawItem's geometry for a row rectangle in the list's client
// coordinates. `columnWidths` are the list's current widths (the operator
// may drag them); `subItemCount` how many sub-texts the row has;
// `spaceHeight` the height of a blank in the list's font. Texts are drawn
// transparently in the window-text colour, on a selected row as well.
TRowPaint RowPaintGeometry(const TRect& row, bool selectedOrGrayed, std::span<const std::int32_t> columnWidths,
                           std::int32_t subItemCount, std::int32_t spaceHeight);
