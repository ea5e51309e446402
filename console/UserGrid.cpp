#include "UserGrid.h"

#include <algorithm>

#include "ByteText.h"

TUserGrid::TUserGrid(QObject* parent) : QAbstractTableModel(parent), rows_(1) {}

void TUserGrid::SetHeaderLabels(const QStringList& labels) {
    header_ = labels;
    emit headerDataChanged(Qt::Horizontal, 0, Columns - 1);
}

const std::string& TUserGrid::Cell(const TConsoleModel::TGridRow& row, int column) {
    switch (column) {
        case 0:
            return row.Nick;
        case 1:
            return row.IP;
        default:
            return row.Time;
    }
}

void TUserGrid::Resize(std::size_t count) {
    const int before = static_cast<int>(rows_.size());
    const int after = static_cast<int>(count);
    if (after > before) {
        beginInsertRows({}, before, after - 1);
        rows_.resize(count);
        endInsertRows();
    } else if (after < before) {
        beginRemoveRows({}, after, before - 1);
        rows_.resize(count);
        endRemoveRows();
    }
}

void TUserGrid::SetRows(std::vector<TConsoleModel::TGridRow> rows) {
    Resize(rows.size());
    int first = -1;
    int last = -1;
    for (std::size_t r = 0; r < rows.size(); ++r) {
        TConsoleModel::TGridRow& row = rows_[r];
        TConsoleModel::TGridRow& next = rows[r];
        if (row == next) continue;
        row = std::move(next);
        if (first < 0) first = static_cast<int>(r);
        last = static_cast<int>(r);
    }
    if (first >= 0) emit dataChanged(index(first, 0), index(last, Columns - 1));
}

int TUserGrid::rowCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

int TUserGrid::columnCount(const QModelIndex& parent) const {
    return parent.isValid() ? 0 : Columns;
}

QVariant TUserGrid::data(const QModelIndex& index, int role) const {
    if (!index.isValid() || index.row() >= static_cast<int>(rows_.size())) return {};
    const TConsoleModel::TGridRow& row = rows_[static_cast<std::size_t>(index.row())];
    if (role == Qt::DisplayRole) return Q(Cell(row, index.column()));
    if (role == NickRole && index.column() == 0) return BytesData(row.Nick);
    return {};
}

QVariant TUserGrid::headerData(int section, Qt::Orientation orientation, int role) const {
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole) return {};
    if (section < 0 || section >= header_.size()) return {};
    return header_[section];
}

bool TUserGrid::HasNick(const std::string& nick) const {
    return !nick.empty() &&
           std::any_of(rows_.begin(), rows_.end(),
                       [&](const TConsoleModel::TGridRow& row) { return row.Nick == nick; });
}
