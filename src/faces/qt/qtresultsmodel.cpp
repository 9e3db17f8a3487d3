#include "faces/qt/qtresultsmodel.h"

#include "standings/celltext.h"

const int TResultsModel::kColumnWidths[kColumnCount] = {50, 50, 100, 80, 94, 80, 50};
const std::int32_t TResultsModel::kColumnKinds[kColumnCount - 1] = {rcNumber,  rcName, rcBestLap,
                                                                    rcLastLap, rcGap,  rcLaps};

TResultsModel::TResultsModel(QObject* parent) : QAbstractTableModel(parent) {}

void TResultsModel::SetCellTextProvider(TCellTextProvider provider) {
  beginResetModel();
  provider_ = std::move(provider);
  endResetModel();
}

void TResultsModel::SetItemCount(int count) {
  if (count < 0) count = 0;
  if (count == itemCount_) {
    // Same count: the texts may still have changed.
    if (count > 0) Q_EMIT dataChanged(index(0, 0), index(count - 1, kColumnCount - 1));
    return;
  }
  if (count > itemCount_) {
    beginInsertRows(QModelIndex(), itemCount_, count - 1);
    itemCount_ = count;
    endInsertRows();
    if (count > 0) Q_EMIT dataChanged(index(0, 0), index(count - 1, kColumnCount - 1));
  } else {
    beginRemoveRows(QModelIndex(), count, itemCount_ - 1);
    itemCount_ = count;
    endRemoveRows();
    if (count > 0) Q_EMIT dataChanged(index(0, 0), index(count - 1, kColumnCount - 1));
  }
}

int TResultsModel::rowCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : itemCount_; }

int TResultsModel::columnCount(const QModelIndex& parent) const { return parent.isValid() ? 0 : kColumnCount; }

QVariant TResultsModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() >= itemCount_ || index.column() >= kColumnCount) return {};
  if (role != Qt::DisplayRole) return {};
  if (index.column() == 0) return QString::number(index.row() + 1);
  if (!provider_) return {};
  const std::u16string text = provider_(index.row(), kColumnKinds[index.column() - 1]);
  return QString::fromStdU16String(text);
}

QVariant TResultsModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || role != Qt::DisplayRole) return {};
  static const char16_t* const headers[kColumnCount] = {u"Поз.",           u"Номер",      u"Имя",  u"Лучший круг",
                                                        u"Последний круг", u"Отставание", u"Круги"};
  if (section < 0 || section >= kColumnCount) return {};
  return QString::fromUtf16(headers[section]);
}

Qt::ItemFlags TResultsModel::flags(const QModelIndex& index) const {
  if (!index.isValid()) return Qt::NoItemFlags;
  return Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemNeverHasChildren;
}
