// The results list control: a table view whose rows the window paints
// itself, one whole row at a time, the way the board operators know it.
#pragma once

#include <QColor>
#include <QTableView>

class TResultsModel;

class TResultsListView : public QTableView {
  Q_OBJECT

 public:
  explicit TResultsListView(QWidget* parent = nullptr);

  void SetResultsModel(TResultsModel* model);
  // Background of a selected row: the active title bar's colour.
  static QColor ActiveCaptionColor();

 signals:
  // One row painted; for the tests that follow the painting.
  void rowPainted(int row);

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  void lvScoreboardDrawItem(QPainter& painter, int row, const QRect& rowRect, bool selected);
  TResultsModel* results_ = nullptr;
};
