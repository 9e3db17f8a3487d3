// The results list control: a table view whose rows are painted from the
// console's row geometry, one whole row at a time.
#pragma once

#include <QColor>
#include <QTableView>

class TmainForm;
class TQtResultsModel;

class TQtResultsListView : public QTableView {
  Q_OBJECT

 public:
  explicit TQtResultsListView(QWidget* parent = nullptr);

  void SetResultsModel(TQtResultsModel* model);
  void SetConsole(const TmainForm* console) { console_ = console; }
  // clActiveCaption: the Windows default of the active title bar's colour;
  // Qt has no role for it.
  static QColor ActiveCaptionColor();

 signals:
  // One row painted; for the tests that follow the painting.
  void rowPainted(int row);

 protected:
  void paintEvent(QPaintEvent* event) override;

 private:
  void lvScoreboardDrawItem(QPainter& painter, int row, const QRect& rowRect, bool selected);
  TQtResultsModel* results_ = nullptr;
  const TmainForm* console_ = nullptr;
};
