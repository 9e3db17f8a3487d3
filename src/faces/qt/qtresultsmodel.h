// The results list's model: virtual rows. It keeps only the row count; every
// cell text is asked from the standings each time the view paints it.
#pragma once

#include <QAbstractTableModel>
#include <cstdint>
#include <functional>
#include <string>

class TResultsModel : public QAbstractTableModel {
  Q_OBJECT

 public:
  // Texts of a row's six sub-items; null when no exchange thread exists yet.
  using TCellTextProvider = std::function<std::u16string(std::int32_t row, std::int32_t column)>;

  static constexpr int kColumnCount = 7;
  static const int kColumnWidths[kColumnCount];
  // The standings column shown in list column 1..6 (number, name, best lap,
  // last lap, gap, laps).
  static const std::int32_t kColumnKinds[kColumnCount - 1];

  explicit TResultsModel(QObject* parent = nullptr);

  void SetCellTextProvider(TCellTextProvider provider);
  // The list's one state: how many rows it has.
  void SetItemCount(int count);
  int ItemCount() const { return itemCount_; }

  int rowCount(const QModelIndex& parent = QModelIndex()) const override;
  int columnCount(const QModelIndex& parent = QModelIndex()) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  QVariant headerData(int section, Qt::Orientation orientation, int role = Qt::DisplayRole) const override;
  Qt::ItemFlags flags(const QModelIndex& index) const override;

 private:
  TCellTextProvider provider_;
  int itemCount_ = 0;
};
