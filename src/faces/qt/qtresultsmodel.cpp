#include "faces/qt/qtresultsmodel.h"

#include "shell/fMainForm.h"

TQtResultsModel::TQtResultsModel(QObject* parent) : QAbstractTableModel(parent) {}

void TQtResultsModel::SetItemCount(int count) {
  if (count < 0) count = 0;
  if (count > itemCount_) {
    beginInsertRows(QModelIndex(), itemCount_, count - 1);
    itemCount_ = count;
    endInsertRows();
  } else if (count < itemCount_) {
    beginRemoveRows(QModelIndex(), count, itemCount_ - 1);
    itemCount_ = count;
    endRemoveRows();
  }
  // The texts of the remaining rows may have changed as well.
  if (count > 0) Q_EMIT dataChanged(index(0, 0), index(count - 1, kResultsColumnCount - 1));
}

int TQtResultsModel::rowCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : itemCount_; }

int TQtResultsModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : kResultsColumnCount; }

QVariant TQtResultsModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() >= itemCount_ || index.column() >= kResultsColumnCount) return {};
  if (role != Qt::DisplayRole) return {};
  if (console_ == nullptr) return index.column() == 0 ? QString::number(index.row() + 1) : QString();
  return QString::fromStdU16String(console_->ListCellText(index.row(), index.column()));
}

QVariant TQtResultsModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || role != Qt::DisplayRole) return {};
  if (section < 0 || section >= kResultsColumnCount) return {};
  const std::u16string_view header = ResultsColumns()[static_cast<std::size_t>(section)].header;
  return QString::fromUtf16(header.data(), static_cast<qsizetype>(header.size()));
}

Qt::ItemFlags TQtResultsModel::flags(const QModelIndex& index) const {
  if (!index.isValid()) return Qt::NoItemFlags;
  return Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemNeverHasChildren;
}
