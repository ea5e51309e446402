// The console's widgets: the tab list box, the link label, the message dialog and the
// about box. Runs offscreen; dialogs are driven through their buttons, not by timers.
#include <QFontMetrics>
#include <QGuiApplication>
#include <QImage>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QScreen>
#include <QScrollBar>
#include <QSignalSpy>
#include <QTest>
#include <QTextBlock>
#include <QTimer>
#include <optional>

#include "widgets/Tablist.h"
#include "widgets/Unit2.h"
#include "widgets/Unit3.h"
#include "widgets/UrlLabel.h"

namespace {

// The message of the exception fn throws, or nothing.
template <typename Exception, typename Fn>
std::optional<QString> ThrownMessage(Fn fn) {
    try {
        fn();
    } catch (const Exception& e) {
        return QString::fromStdString(e.what());
    }
    return std::nullopt;
}

const QString kRangeError = QStringLiteral("Tab percentage values must be between 0 and 200");
const QString kOrderError = QStringLiteral("Tab percentage values must be in increasing order");

// The leftmost dark pixel of a row, or -1: where the row's visible text starts.
int FirstInkX(const QImage& image, const QRect& row, int fromX) {
    for (int x = std::max(0, fromX); x < std::min(image.width(), row.right()); ++x)
        for (int y = row.top(); y <= row.bottom() && y < image.height(); ++y)
            if (qGray(image.pixel(x, y)) < 128) return x;
    return -1;
}

}  // namespace

class WidgetsTest : public QObject {
    Q_OBJECT

  private slots:
    // ---- TTabListBox: the text form of the stops ----

    void tabPercentagesSeparators_data() {
        QTest::addColumn<QString>("text");
        QTest::newRow("comma and blank") << "70, 80";
        QTest::newRow("comma") << "70,80";
        QTest::newRow("blank") << "70 80";
        QTest::newRow("extra blanks and tab") << "\t 70 ,   80  ";
    }
    void tabPercentagesSeparators() {
        // Comma, comma with blank or blank alone separate values; reading gives "70, 80".
        QFETCH(QString, text);
        TTabListBox list;
        list.SetTabPercentages(text);
        QCOMPARE(list.TabPercentages(), QStringLiteral("70, 80"));
        QCOMPARE(list.Stops(), (TTabStops{70, 80, 0, 0, 0, 0, 0, 0, 0, 0}));
    }

    void tabPercentagesInitiallyZero() {
        // A new list has no stops and reads "0".
        TTabListBox list;
        QCOMPARE(list.TabPercentages(), QStringLiteral("0"));
        QVERIFY(list.TabPositionsPx().empty());
    }

    void tabPercentagesErrors_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("message");
        QTest::newRow("descending") << "80, 70" << kOrderError;
        QTest::newRow("repeated") << "70, 70" << kOrderError;
        QTest::newRow("zero later") << "10, 0" << kOrderError;
        QTest::newRow("too big") << "250" << kRangeError;
        QTest::newRow("negative") << "-5" << kRangeError;
        QTest::newRow("second too big") << "70, 201" << kRangeError;
    }
    void tabPercentagesErrors() {
        // Out of range and non-increasing values raise EOrderException with its exact
        // message, and the previous stops stay.
        QFETCH(QString, text);
        QFETCH(QString, message);
        TTabListBox list;
        list.resize(400, 200);
        list.SetTabPercentages(QStringLiteral("10, 20"));
        const auto positions = list.TabPositionsPx();
        QCOMPARE(ThrownMessage<EOrderException>([&] { list.SetTabPercentages(text); }), message);
        QCOMPARE(list.TabPercentages(), QStringLiteral("10, 20"));
        QCOMPARE(list.TabPositionsPx(), positions);
    }

    void tabPercentagesNotANumber_data() {
        QTest::addColumn<QString>("text");
        QTest::newRow("trailing comma") << "70,";
        QTest::newRow("empty") << "";
        QTest::newRow("word") << "70, abc";
        QTest::newRow("double comma") << "70,,80";
        QTest::newRow("overflow") << "99999999999";
    }
    void tabPercentagesNotANumber() {
        // Text that is not a whole number raises the conversion error; stops stay.
        QFETCH(QString, text);
        TTabListBox list;
        list.SetTabPercentages(QStringLiteral("70, 80"));
        QVERIFY(ThrownMessage<EConvertError>([&] { list.SetTabPercentages(text); }).has_value());
        QCOMPARE(list.TabPercentages(), QStringLiteral("70, 80"));
    }

    void tabPercentagesBoundaries() {
        // 0 may come first and then sets no positions; 200 is allowed; an eleventh value
        // is ignored; a separated value is cut to 15 characters.
        TTabListBox list;
        list.resize(400, 200);
        list.SetTabPercentages(QStringLiteral("0, 50"));
        QCOMPARE(list.TabPercentages(), QStringLiteral("0, 50"));
        QVERIFY(list.TabPositionsPx().empty());

        list.SetTabPercentages(QStringLiteral("200"));
        QCOMPARE(list.TabPercentages(), QStringLiteral("200"));

        list.SetTabPercentages(QStringLiteral("1,2,3,4,5,6,7,8,9,10,11"));
        QCOMPARE(list.TabPercentages(), QStringLiteral("1, 2, 3, 4, 5, 6, 7, 8, 9, 10"));
        list.SetTabPercentages(QStringLiteral("1,2,3,4,5,6,7,8,9,10,junk"));
        QCOMPARE(list.Stops()[9], 10);

        list.SetTabPercentages(QStringLiteral("0000000000000070, 80"));
        QCOMPARE(list.TabPercentages(), QStringLiteral("7, 80"));
    }

    // ---- TTabListBox: columns ----

    void tabStopsFollowTheWidth() {
        // Each stop sits at its percentage of the width, before and after a resize.
        TTabListBox list;
        list.SetTabPercentages(QStringLiteral("70, 80"));
        list.resize(400, 200);
        list.show();
        QVERIFY(QTest::qWaitForWindowExposed(&list));
        int w = list.viewport()->width();
        QCOMPARE(list.TabPositionsPx(), (std::vector<int>{w * 70 / 100, w * 80 / 100}));
        list.resize(800, 200);
        w = list.viewport()->width();
        QVERIFY(w > 600);
        QCOMPARE(list.TabPositionsPx(), (std::vector<int>{w * 70 / 100, w * 80 / 100}));
    }

    void tabPiecesAreDrawnAtTheStops() {
        // The piece after the first TAB starts at the first stop, after the second TAB at
        // the second stop, and both move when the list is resized.
        TTabListBox list;
        list.SetTabPercentages(QStringLiteral("40, 70"));
        list.AddRow(QStringLiteral("\tX"));
        list.AddRow(QStringLiteral("\t\tX"));
        list.setCurrentItem(nullptr);
        list.resize(400, 200);
        list.show();
        QVERIFY(QTest::qWaitForWindowExposed(&list));
        for (int width : {400, 600}) {
            list.resize(width, 200);
            QCoreApplication::processEvents();
            const QImage image = list.viewport()->grab().toImage();
            const auto& stops = list.TabPositionsPx();
            QCOMPARE(stops.size(), size_t(2));
            const int first = FirstInkX(image, list.visualItemRect(list.item(0)), 1);
            const int second = FirstInkX(image, list.visualItemRect(list.item(1)), 1);
            QVERIFY2(first >= stops[0] && first <= stops[0] + 4,
                     qPrintable(QStringLiteral("%1 vs %2").arg(first).arg(stops[0])));
            QVERIFY2(second >= stops[1] && second <= stops[1] + 4,
                     qPrintable(QStringLiteral("%1 vs %2").arg(second).arg(stops[1])));
        }
    }

    void tabPastTheLastStopUsesDefaultInterval() {
        // Once the stops are used up, or before any exist, a TAB moves on in steps of the
        // default interval; a stop behind the pen is skipped.
        QCOMPARE(NextTabX({100, 200}, 0, 50), 100);
        QCOMPARE(NextTabX({100, 200}, 100, 50), 200);
        QCOMPARE(NextTabX({100, 200}, 150, 50), 200);
        QCOMPARE(NextTabX({100, 200}, 200, 50), 250);
        QCOMPARE(NextTabX({}, 0, 50), 50);
        QCOMPARE(NextTabX({}, 51, 50), 100);
    }

    void longRowsDoNotWidenTheList() {
        // A row with much more text than fits gets no horizontal scroll range: the
        // delegate measures one line, not the whole text.
        TTabListBox list;
        list.SetTabPercentages(QStringLiteral("70, 80"));
        list.AddRow(QStringLiteral("#Lobby\t3\t") + QString(500, QLatin1Char('d')));
        list.resize(300, 200);
        list.show();
        QVERIFY(QTest::qWaitForWindowExposed(&list));
        list.doItemsLayout();
        QCoreApplication::processEvents();
        QCOMPARE(list.horizontalScrollBar()->maximum(), 0);
        QVERIFY(list.sizeHintForColumn(0) <= list.viewport()->width());
        QVERIFY(list.visualItemRect(list.item(0)).height() >= QFontMetrics(list.font()).height());
    }

    // ---- TTabListBox: rows tied to objects ----

    void rowsTiedToObjects() {
        // Rows remember their object through text changes and deletion of other rows.
        TTabListBox list;
        int a = 0, b = 0, c = 0;
        QCOMPARE(list.AddRow(QStringLiteral("a"), &a), 0);
        QCOMPARE(list.AddRow(QStringLiteral("b"), &b), 1);
        QCOMPARE(list.AddRow(QStringLiteral("free")), 2);
        QCOMPARE(list.FindRow(&b), 1);
        QCOMPARE(list.FindRow(&c), -1);
        QCOMPARE(list.RowObject(2), nullptr);
        QCOMPARE(list.SetRowText(1, QStringLiteral("b2")), 1);
        QCOMPARE(list.RowObject(1), static_cast<const void*>(&b));
        list.DeleteRow(0);
        QCOMPARE(list.RowTexts(), (QStringList{"b2", "free"}));
        QCOMPARE(list.FindRow(&a), -1);
        QCOMPARE(list.FindRow(&b), 0);
        list.DeleteRow(7);  // ignored
        QCOMPARE(list.SetRowText(7, QStringLiteral("x")), -1);
        QCOMPARE(list.count(), 2);
        QCOMPARE(list.RowText(9), QString());
    }

    void sortedRowsIgnoreCase() {
        // Sorted insertion orders without regard to case and keeps equal texts in order
        // of addition; a changed text moves its row, with its object and selection.
        TTabListBox list;
        list.SetSorted(true);
        int objects[5] = {};
        list.AddRow(QStringLiteral("#beta\t1"), &objects[0]);
        list.AddRow(QStringLiteral("#Alpha\t1"), &objects[1]);
        list.AddRow(QStringLiteral("#gamma\t1"), &objects[2]);
        list.AddRow(QStringLiteral("#ALPHA\t1"), &objects[3]);
        QCOMPARE(list.AddRow(QStringLiteral("#Delta\t1"), &objects[4]), 3);
        QCOMPARE(list.RowTexts(),
                 (QStringList{"#Alpha\t1", "#ALPHA\t1", "#beta\t1", "#Delta\t1", "#gamma\t1"}));
        list.setCurrentRow(2);
        QCOMPARE(list.SetRowText(2, QStringLiteral("#zeta\t2")), 4);
        QCOMPARE(list.RowObject(4), static_cast<const void*>(&objects[0]));
        QCOMPARE(list.currentRow(), 4);
        QVERIFY(list.item(4)->isSelected());
        QCOMPARE(list.FindRow(&objects[4]), 2);
    }

    void switchingSortedOnSortsExistingRows() {
        // Rows added unsorted are put in order, with their objects, when Sorted is set.
        TTabListBox list;
        int x = 0, y = 0;
        list.AddRow(QStringLiteral("b"), &x);
        list.AddRow(QStringLiteral("B"));
        list.AddRow(QStringLiteral("a"), &y);
        QCOMPARE(list.RowTexts(), (QStringList{"b", "B", "a"}));
        list.SetSorted(true);
        QCOMPARE(list.RowTexts(), (QStringList{"a", "b", "B"}));
        QCOMPARE(list.FindRow(&y), 0);
        QCOMPARE(list.FindRow(&x), 1);
    }

    // ---- TUrlLabel ----

    void urlLabelLooksLikeALink() {
        // Pure blue, underlined, hand pointer; the caption is shown as plain text.
        TUrlLabel label(QStringLiteral("a <b> & c"));
        QCOMPARE(label.palette().color(QPalette::Link), QColor(0, 0, 255));
        QVERIFY(label.font().underline());
        QCOMPARE(label.cursor().shape(), Qt::PointingHandCursor);
        QVERIFY(!label.openExternalLinks());
        QCOMPARE(label.Caption(), QStringLiteral("a <b> & c"));
        QVERIFY(label.text().contains(QStringLiteral("a &lt;b&gt; &amp; c")));
    }

    void urlFollowsCaptionUntilSet() {
        // A changed caption is what opens, until URL is set; then captions no longer
        // affect it.
        QStringList opened;
        TUrlLabel label(QStringLiteral("http://first.example"));
        label.SetOpener([&](const QString& url) {
            opened << url;
            return 42;
        });
        QVERIFY(!label.UrlSetExplicitly());
        label.SetCaption(QStringLiteral("http://second.example"));
        label.Open();
        label.SetURL(QStringLiteral("mailto:ops@example.org"));
        label.SetCaption(QStringLiteral("Write to us"));
        label.Open();
        QCOMPARE(opened, (QStringList{"http://second.example", "mailto:ops@example.org"}));
        QCOMPARE(label.Caption(), QStringLiteral("Write to us"));
        QVERIFY(label.UrlSetExplicitly());
    }

    void openFailureGoesToOnExecFail() {
        // A result of 32 or less is reported to OnExecFail with that code, not raised; a
        // result above 32 reports nothing.
        TUrlLabel label(QStringLiteral("x"));
        int result = 2;
        label.SetOpener([&](const QString&) { return result; });
        QList<int> codes;
        label.OnExecFail = [&](int WinCode) { codes << WinCode; };
        label.Open();
        result = 32;
        label.Open();
        result = 33;
        label.Open();
        QCOMPARE(codes, (QList<int>{2, 32}));
    }

    void openFailureWithoutHandlerRaises() {
        // Without OnExecFail the failure raises "Action failed! Win32 error code: " + code.
        TUrlLabel label(QStringLiteral("x"));
        label.SetOpener([](const QString&) { return 31; });
        QCOMPARE(ThrownMessage<std::runtime_error>([&] { label.Open(); }),
                 QStringLiteral("Action failed! Win32 error code: 31"));
    }

    void clickOpensAndReportsFailure() {
        // A click on the label opens the link; an unhandled failure goes to the error
        // reporter instead of escaping into Qt's event loop.
        TUrlLabel label(QStringLiteral("Send comments and bugs to someone"));
        QStringList opened;
        QStringList errors;
        label.SetOpener([&](const QString& url) {
            opened << url;
            return 31;
        });
        label.SetErrorReporter([&](const QString& message) { errors << message; });
        label.show();
        QVERIFY(QTest::qWaitForWindowExposed(&label));
        QTest::mouseClick(&label, Qt::LeftButton, {}, QPoint(5, label.height() / 2));
        QCOMPARE(opened, (QStringList{"Send comments and bugs to someone"}));
        QCOMPARE(errors, (QStringList{"Action failed! Win32 error code: 31"}));
    }

    void desktopOpenerRefusesEmptyLinks() {
        // The default opener reports the documented code for a link that is no URL.
        QCOMPARE(TUrlLabel::DesktopOpener(QString()), TUrlLabel::kNoAssociation);
        QCOMPARE(TUrlLabel::kNoAssociation, 31);
    }

    // ---- TForm2 ----

    void messageDialogLayout() {
        // Title, field width and the default button as the commands expect them.
        TForm2 form;
        QCOMPARE(form.windowTitle(), QStringLiteral("Send Message"));
        QCOMPARE(form.Edit1->width(), 513);
        QVERIFY(form.BitBtn1->isDefault());
        QVERIFY(!form.BitBtn2->isDefault());
        QCOMPARE(form.BitBtn1->text(), QStringLiteral("OK"));
        QCOMPARE(form.BitBtn2->text(), QStringLiteral("Abort"));
    }

    void messageDialogOpensEmptyAndFocused() {
        // Every opening starts with an empty field that has the focus.
        TForm2 form;
        QSignalSpy finished(&form, &QDialog::finished);
        form.open();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        QCOMPARE(form.focusWidget(), static_cast<QWidget*>(form.Edit1));
        QTest::keyClicks(form.Edit1, QStringLiteral("hello all"));
        QTest::mouseClick(form.BitBtn1, Qt::LeftButton);
        QCOMPARE(finished.count(), 1);
        QCOMPARE(form.result(), int(TForm2::ResultOk));
        QCOMPARE(form.Edit1->text(), QStringLiteral("hello all"));

        form.open();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        QCOMPARE(form.Edit1->text(), QString());
        QCOMPARE(form.focusWidget(), static_cast<QWidget*>(form.Edit1));
        QTest::keyClicks(form.Edit1, QStringLiteral("never sent"));
        QTest::mouseClick(form.BitBtn2, Qt::LeftButton);
        QCOMPARE(finished.count(), 2);
        QCOMPARE(form.result(), int(TForm2::ResultAbort));
        QVERIFY(!form.isVisible());
    }

    void askReturnsTextOnlyAfterOk() {
        // The one timer-driven test: Ask() runs the real modal loop; OK gives the text,
        // Abort gives nothing, and the title is the caller's.
        TForm2 form;
        TAskLine ask = form.Asker();
        QTimer::singleShot(0, &form, [&] {
            QTest::keyClicks(form.Edit1, QStringLiteral("to everyone"));
            form.BitBtn1->click();
        });
        QCOMPARE(ask(QStringLiteral("System Message")), std::optional<QString>("to everyone"));
        QCOMPARE(form.windowTitle(), QStringLiteral("System Message"));
        QTimer::singleShot(0, &form, [&] {
            QTest::keyClicks(form.Edit1, QStringLiteral("dropped"));
            form.BitBtn2->click();
        });
        QCOMPARE(ask(QStringLiteral("Private Message")), std::nullopt);
    }

    // ---- TAboutBox ----

    void aboutBoxContents() {
        // Title, labels, the seven memo lines, the mail link and the drawn picture.
        TAboutBox box;
        QCOMPARE(box.windowTitle(), QStringLiteral("Info"));
        QVERIFY(box.windowFlags() & Qt::WindowStaysOnTopHint);
        QCOMPARE(box.ProductName->text(), QStringLiteral("IRC Server for Quarn (38)"));
        QCOMPARE(box.Version->text(), QStringLiteral("Version 1.0.0.6"));
        QVERIFY(!box.Copyright->text().isEmpty());
        const QString address = QString::fromLatin1(TAboutBox::kContactAddress);
        QCOMPARE(box.UrlLabel1->Caption(), QStringLiteral("Send comments and bugs to ") + address);
        QCOMPARE(box.UrlLabel1->URL(), QStringLiteral("mailto:") + address);

        QVERIFY(box.Memo1->isReadOnly());
        const QStringList lines = box.Memo1->toPlainText().split(QLatin1Char('\n'));
        QCOMPARE(lines.size(), 7);
        QVERIFY(!lines[0].isEmpty());
        QCOMPARE(lines[1], QStringLiteral("This IRC server is designed for Quarn's"));
        QCOMPARE(lines[2], QStringLiteral("IRC implementation"));
        QCOMPARE(lines[3], QString());
        QVERIFY(!lines[4].isEmpty());
        QCOMPARE(lines[5], QString());
        QCOMPARE(lines[6], QStringLiteral("USE AT YOUR OWN RISK!"));

        const QImage picture = box.ProgramIcon->pixmap().toImage();
        QCOMPARE(picture.size(), QSize(180, 135));
        QSet<QRgb> colours;
        for (int y = 0; y < picture.height(); y += 5)
            for (int x = 0; x < picture.width(); x += 5) colours.insert(picture.pixel(x, y));
        QVERIFY(colours.size() > 10);
    }

    void aboutBoxOkFocusedAndCloses() {
        // OK is the default and focused control at every opening and hides the window
        // with the result OK; the window opens centred on its screen.
        TAboutBox box;
        QVERIFY(box.OKButton->isDefault());
        for (int round = 0; round < 2; ++round) {
            box.open();
            QVERIFY(QTest::qWaitForWindowExposed(&box));
            QCOMPARE(box.focusWidget(), static_cast<QWidget*>(box.OKButton));
            const QPoint centre = box.screen()->availableGeometry().center();
            QVERIFY((box.frameGeometry().center() - centre).manhattanLength() <= 4);
            box.Memo1->setFocus();
            QTest::mouseClick(box.OKButton, Qt::LeftButton);
            QVERIFY(!box.isVisible());
            QCOMPARE(box.result(), int(QDialog::Accepted));
        }
    }
};

QTEST_MAIN(WidgetsTest)
#include "widgets_tests.moc"
