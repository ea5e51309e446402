// TTabListBox: a list box whose rows are tab-separated text drawn in columns, with the tab
// stops given in percent of the list's width so the columns follow its width. Rows can be
// tied to an object and kept sorted without regard to case. UI thread only: the members
// that change rows or stops abort the program when called from another thread.
#pragma once

#include <QListWidget>
#include <QString>
#include <QStringList>
#include <vector>

#include "widgets/TabStops.h"

class TTabListBox : public QListWidget {
    Q_OBJECT
    Q_PROPERTY(QString TabPercentages READ TabPercentages WRITE SetTabPercentages)

  public:
    explicit TTabListBox(QWidget* parent = nullptr);

    // "70, 80" for the stops 70 and 80; "0" when there are none.
    QString TabPercentages() const;
    // Parses, validates and stores the stops, then applies them. On an error the stops
    // stay as they were and EOrderException or EConvertError reaches the caller.
    void SetTabPercentages(const QString& text);
    const TTabStops& Stops() const { return stops_; }

    // Recomputes the pixel positions from the stops and the current width and repaints.
    // Runs on show, after SetTabPercentages and on every resize.
    void ApplyTabStops();
    // Pixel offsets of the stops from the rows' left edge, for the current width.
    const std::vector<int>& TabPositionsPx() const { return positions_; }
    // Where a TAB moves to once the stops are used up: eight average character widths.
    int DefaultTabInterval() const;

    // Sorted: rows are kept in order of their text without regard to case; switching it
    // on sorts the existing rows (equal texts keep their order).
    bool Sorted() const { return sorted_; }
    void SetSorted(bool sorted);

    // Adds a row tied to object (which may be null); appended, or at its place in order
    // when Sorted. Returns the row's index.
    int AddRow(const QString& text, const void* object = nullptr);
    // The first row tied to object, or -1.
    int FindRow(const void* object) const;
    const void* RowObject(int row) const;
    QString RowText(int row) const;
    QStringList RowTexts() const;
    // Replaces a row's text, keeping its object and selection; when Sorted the row moves
    // to its new place. Returns the row's new index, or -1 for a row that does not exist.
    int SetRowText(int row, const QString& text);
    // Removes the row; an index that does not exist is ignored.
    void DeleteRow(int row);

  protected:
    void resizeEvent(QResizeEvent* event) override;
    void showEvent(QShowEvent* event) override;

  private:
    int SortedInsertIndex(const QString& text) const;

    TTabStops stops_{};
    std::vector<int> positions_;
    bool sorted_ = false;
};
