// The timestamp text (console/Timestamp.cpp) and the log file names made from it
// (console/LogFile.cpp).
#include "console/LogFile.h"
#include "console/Timestamp.h"
#include "support/ConsoleHarness.h"

class TimestampTest : public QObject {
    Q_OBJECT

  private slots:
    void timestampFileNameHasNoForbiddenCharacters();
    void timestampOfNowFollowsTheClock();
};

void TimestampTest::timestampFileNameHasNoForbiddenCharacters() {
    // Dots, colons, slashes and the other characters file names cannot hold become "_".
    QCOMPARE(TimestampFileName("08.12.2026 04:22:01"), std::string("08_12_2026 04_22_01"));
    QCOMPARE(TimestampFileName("12/8/26 4:22:01 AM"), std::string("12_8_26 4_22_01 AM"));
    QCOMPARE(TimestampFileName("a\\b*c?d\"e<f>g|h\ti"), std::string("a_b_c_d_e_f_g_h_i"));
    const std::string now = TimestampText();
    QVERIFY(!now.empty());
    QVERIFY(now.find(' ') != std::string::npos);
}

void TimestampTest::timestampOfNowFollowsTheClock() {
    // The text of now is the text of the current second, and a second later it is another.
    auto matchesClock = [] {
        for (int attempt = 0; attempt < 3; ++attempt) {  // a second may turn in between
            const std::string direct = TimestampText(QDateTime::currentDateTime());
            if (TimestampText() == direct) return true;
        }
        return false;
    };
    QVERIFY(matchesClock());
    const std::string before = TimestampText();
    QTest::qWait(1100);
    QVERIFY(matchesClock());
    QVERIFY(TimestampText() != before);
}

QUARN_CONSOLE_TEST(TimestampTest);
#include "TimestampTest.moc"
