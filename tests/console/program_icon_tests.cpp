// The program's icon is embedded in the executable with a picture for a title bar and one
// for a large view, each drawn at its own size rather than scaled from another.
#include <QtTest>

#include "icon/ProgramIcon.h"

class ProgramIconTest : public QObject {
    Q_OBJECT

  private slots:
    void smallAndLargePicturesAreEmbedded() {
        const QIcon icon = ProgramIcon();
        for (const int side : {16, 256}) {
            const QSize size(side, side);
            QVERIFY2(icon.availableSizes().contains(size), qPrintable(QString::number(side)));
            const QImage picture = icon.pixmap(size).toImage();
            QCOMPARE(picture.size(), size);
            // The tile is opaque in its middle: the picture was decoded, not left blank.
            QCOMPARE(qAlpha(picture.pixel(side / 2, side / 2)), 255);
        }
    }
};

QTEST_MAIN(ProgramIconTest)
#include "program_icon_tests.moc"
