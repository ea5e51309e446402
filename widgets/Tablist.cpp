#include "widgets/Tablist.h"

#include <QApplication>
#include <QPainter>
#include <QResizeEvent>
#include <QStyledItemDelegate>
#include <QThread>
#include <algorithm>

namespace {

// Draws a row's tab-separated pieces at the list's tab stops. Its size hint is one line
// high and 1 pixel wide: the inherited hint measures the whole text with its tabs and
// would make rows wider than the list and add a horizontal scroll bar. The list view
// still paints every row across the full width.
class TTabDelegate : public QStyledItemDelegate {
  public:
    explicit TTabDelegate(TTabListBox* list) : QStyledItemDelegate(list), list_(list) {}

    QSize sizeHint(const QStyleOptionViewItem& option, const QModelIndex& index) const override {
        QStyleOptionViewItem opt = option;
        initStyleOption(&opt, index);
        const QWidget* widget = opt.widget ? opt.widget : list_;
        // Measures one line of text in the row's font rather than the whole text.
        opt.text = QStringLiteral("Xg");
        QSize size =
            widget->style()->sizeFromContents(QStyle::CT_ItemViewItem, &opt, QSize(), widget);
        return {1, size.height()};
    }

    void paint(QPainter* painter, const QStyleOptionViewItem& option,
               const QModelIndex& index) const override {
        QStyleOptionViewItem opt = option;
        initStyleOption(&opt, index);
        const QString text = opt.text;
        opt.text.clear();
        const QWidget* widget = opt.widget ? opt.widget : list_;
        QStyle* style = widget->style();
        // Background, selection and focus frame without text; the text follows below.
        style->drawControl(QStyle::CE_ItemViewItem, &opt, painter, widget);

        const QRect textRect = style->subElementRect(QStyle::SE_ItemViewItemText, &opt, widget);
        const QPalette::ColorGroup group = !(opt.state & QStyle::State_Enabled) ? QPalette::Disabled
                                           : (opt.state & QStyle::State_Active)
                                               ? QPalette::Active
                                               : QPalette::Inactive;
        const QPalette::ColorRole role =
            (opt.state & QStyle::State_Selected) ? QPalette::HighlightedText : QPalette::Text;

        painter->save();
        painter->setPen(opt.palette.color(group, role));
        painter->setFont(opt.font);
        painter->setClipRect(opt.rect);
        const QFontMetrics metrics(opt.font);
        const std::vector<int>& stops = list_->TabPositionsPx();
        // Stops count from the row's left edge; the first piece starts at the text margin.
        const int origin = opt.rect.left();
        int x = textRect.left() - origin;
        const QStringList pieces = text.split(QLatin1Char('\t'));
        for (qsizetype i = 0; i < pieces.size(); ++i) {
            if (i > 0) x = NextTabX(stops, x, list_->DefaultTabInterval());
            const QRect pieceRect(origin + x, textRect.top(),
                                  std::max(0, opt.rect.right() + 1 - (origin + x)),
                                  textRect.height());
            painter->drawText(pieceRect, Qt::AlignLeft | Qt::AlignVCenter | Qt::TextSingleLine,
                              pieces[i]);
            x += metrics.horizontalAdvance(pieces[i]);
        }
        painter->restore();
    }

  private:
    TTabListBox* list_;
};

quintptr PointerKey(const void* object) {
    return reinterpret_cast<quintptr>(object);
}

// The console's server hooks run on connection threads; a row changed from there would
// race the UI without any sanitizer noticing, so the list refuses loudly, in every build.
void RequireUiThread(const char* where) {
    if (QThread::currentThread() != QCoreApplication::instance()->thread())
        qFatal("TTabListBox::%s called outside the UI thread", where);
}

}  // namespace

TTabListBox::TTabListBox(QWidget* parent) : QListWidget(parent) {
    setItemDelegate(new TTabDelegate(this));
    // Every row is one line; uniform sizes spare Qt measuring each row.
    setUniformItemSizes(true);
    setTextElideMode(Qt::ElideNone);
    ApplyTabStops();
}

QString TTabListBox::TabPercentages() const {
    return QString::fromStdString(FormatTabPercentages(stops_));
}

void TTabListBox::SetTabPercentages(const QString& text) {
    RequireUiThread("SetTabPercentages");
    // Parsing works on a copy, so a failure leaves the stored stops untouched.
    stops_ = ParseTabPercentages(text.toStdString());
    ApplyTabStops();
}

void TTabListBox::ApplyTabStops() {
    positions_ = TabPositions(stops_, viewport()->width());
    viewport()->update();
}

int TTabListBox::DefaultTabInterval() const {
    return std::max(1, 8 * fontMetrics().averageCharWidth());
}

void TTabListBox::resizeEvent(QResizeEvent* event) {
    QListWidget::resizeEvent(event);
    ApplyTabStops();
    // The rows' width follows the list's, so they must be laid out again.
    scheduleDelayedItemsLayout();
}

void TTabListBox::showEvent(QShowEvent* event) {
    QListWidget::showEvent(event);
    ApplyTabStops();
}

void TTabListBox::SetSorted(bool sorted) {
    RequireUiThread("SetSorted");
    sorted_ = sorted;
    if (!sorted_ || count() < 2) return;
    // Takes the rows out, orders them stably and puts them back, so equal texts keep
    // their order and every row keeps its object.
    std::vector<QListWidgetItem*> items;
    while (count() > 0) items.push_back(takeItem(0));
    std::stable_sort(items.begin(), items.end(), [](QListWidgetItem* a, QListWidgetItem* b) {
        return QString::compare(a->text(), b->text(), Qt::CaseInsensitive) < 0;
    });
    for (QListWidgetItem* item : items) addItem(item);
}

int TTabListBox::SortedInsertIndex(const QString& text) const {
    // After the last row that is not greater, so equal texts stay in order of addition.
    int low = 0, high = count();
    while (low < high) {
        int mid = (low + high) / 2;
        if (QString::compare(item(mid)->text(), text, Qt::CaseInsensitive) <= 0)
            low = mid + 1;
        else
            high = mid;
    }
    return low;
}

int TTabListBox::AddRow(const QString& text, const void* object) {
    RequireUiThread("AddRow");
    // The list takes ownership of the item on insertion.
    auto item = std::make_unique<QListWidgetItem>(text);
    item->setData(Qt::UserRole, QVariant::fromValue(PointerKey(object)));
    const int row = sorted_ ? SortedInsertIndex(text) : count();
    insertItem(row, item.release());
    return row;
}

int TTabListBox::FindRow(const void* object) const {
    const quintptr key = PointerKey(object);
    for (int row = 0; row < count(); ++row)
        if (item(row)->data(Qt::UserRole).value<quintptr>() == key) return row;
    return -1;
}

const void* TTabListBox::RowObject(int row) const {
    const QListWidgetItem* it = item(row);
    return it ? reinterpret_cast<const void*>(it->data(Qt::UserRole).value<quintptr>()) : nullptr;
}

QString TTabListBox::RowText(int row) const {
    const QListWidgetItem* it = item(row);
    return it ? it->text() : QString();
}

QStringList TTabListBox::RowTexts() const {
    QStringList texts;
    for (int row = 0; row < count(); ++row) texts << item(row)->text();
    return texts;
}

int TTabListBox::SetRowText(int row, const QString& text) {
    RequireUiThread("SetRowText");
    QListWidgetItem* it = item(row);
    if (!it) return -1;
    if (!sorted_) {
        it->setText(text);
        return row;
    }
    const bool wasCurrent = currentRow() == row;
    const bool wasSelected = it->isSelected();
    std::unique_ptr<QListWidgetItem> taken(takeItem(row));
    taken->setText(text);
    const int newRow = SortedInsertIndex(text);
    insertItem(newRow, taken.release());
    if (wasCurrent) setCurrentRow(newRow);
    item(newRow)->setSelected(wasSelected);
    return newRow;
}

void TTabListBox::DeleteRow(int row) {
    RequireUiThread("DeleteRow");
    // takeItem() hands ownership back; the unique_ptr deletes the row.
    std::unique_ptr<QListWidgetItem> taken(takeItem(row));
}
