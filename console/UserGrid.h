// The rows of the grid of all users (nick, address, time of entry) as the window shows
// them: a table model over the console model's last copy of the grid. A row costs its
// three texts and nothing else, where a table of item objects costs three items with
// their own copies, about 1 KiB a row, which with thousands online is as much as the
// connection itself. The texts are turned into shown text only for the rows on screen.
//
// Threads: the UI thread only.
#pragma once

#include <QAbstractTableModel>
#include <QStringList>
#include <vector>

#include "ConsoleModel.h"

class TUserGrid : public QAbstractTableModel {
  public:
    explicit TUserGrid(QObject* parent);

    void SetHeaderLabels(const QStringList& labels);
    // Takes the rows. Rows that came or went are added or removed at the end and only
    // changed rows are reported, so the view keeps its selection and scroll position.
    void SetRows(std::vector<TConsoleModel::TGridRow> rows);
    // Whether a row shows the nick (exact bytes).
    bool HasNick(const std::string& nick) const;

    int rowCount(const QModelIndex& parent = {}) const override;
    int columnCount(const QModelIndex& parent = {}) const override;
    // DisplayRole: the cell's text; NickRole in the first column: the nick's bytes.
    QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;

  private:
    static constexpr int Columns = 3;
    static const std::string& Cell(const TConsoleModel::TGridRow& row, int column);
    void Resize(std::size_t count);

    std::vector<TConsoleModel::TGridRow> rows_;
    QStringList header_;
};
