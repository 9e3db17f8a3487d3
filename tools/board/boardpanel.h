// How the virtual board looks: the content drawn as its LED panel shows it.
#pragma once

#include <QPainter>
#include <QWidget>

#include "boardcore.h"

// Paints the board as its LED panel shows it: the content, then the dark
// gaps between the LEDs.
void PaintBoard(QPainter& p, const QSize& size, const board::TBoardContent& c);

// The board's window. It draws its own copy of the content, so the line is
// never held up while a repaint runs.
class TBoardWindow : public QWidget {
 public:
  TBoardWindow();
  void SetContent(board::TBoardContent content) { content_ = std::move(content); }
  const board::TBoardContent& Content() const { return content_; }

 protected:
  void paintEvent(QPaintEvent*) override;

 private:
  board::TBoardContent content_;
};
