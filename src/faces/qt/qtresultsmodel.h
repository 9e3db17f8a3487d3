// The results list's model: virtual rows. It keeps only the row count; every
// cell text is asked from the console each time the view paints it.
#pragma once

#include <QAbstractTableModel>
#include <cstdint>

class TmainForm;

class TQtResultsModel : public QAbstractTableModel {
  Q_OBJECT

 public:
  explicit TQtResultsModel(QObject* parent = nullptr);

  // Null until the console exists: rows show their position only.
  void SetConsole(const TmainForm* console) { console_ = console; }
  // The list's one state: how many rows it has.
  void SetItemCount(int count);
  int ItemCount() const { return itemCount_; }

  int rowCount(const QModelIndex& parent = QModelIndex()) const override;
  int columnCount(const QModelIndex& parent = QModelIndex()) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
  Qt::ItemFlags flags(const QModelIndex& index) const override;

 private:
  const TmainForm* console_ = nullptr;
  int itemCount_ = 0;
};
