#include "Timestamp.h"

#include <QLocale>
#include <QRegularExpression>

#include <mutex>

namespace {

// The long time form of most locales ends in the time zone ("HH:mm:ss t"). The log is
// read on the machine that wrote it, so the zone name adds nothing but length; it is
// left out, together with the blanks in front of it.
QString LongTimeFormatWithoutZone(const QLocale& locale) {
    QString format = locale.timeFormat(QLocale::LongFormat);
    static const QRegularExpression zone(QStringLiteral("\\s*t+\\s*"));
    format.replace(zone, QStringLiteral(" "));
    return format.trimmed();
}

}  // namespace

std::string TimestampText(const QDateTime& when) {
    const QLocale locale = QLocale::system();
    const QString text = locale.toString(when.date(), QLocale::ShortFormat) + QLatin1Char(' ') +
                         locale.toString(when.time(), LongTimeFormatWithoutZone(locale));
    return text.toStdString();
}

// Connection threads stamp every event they log. Formatting through the locale and time
// zone takes a deep stack, and every thread that did it once would keep those pages
// resident for as long as its connection lasts; the text changes once a second, so at
// most one thread a second formats it and the others copy it.
std::string TimestampText() {
    static std::mutex mutex;
    static qint64 cachedSecond = -1;  // guarded by mutex
    static std::string cachedText;    // guarded by mutex
    const qint64 second = QDateTime::currentSecsSinceEpoch();
    std::lock_guard lock(mutex);
    if (second != cachedSecond) {
        cachedText = TimestampText(QDateTime::fromSecsSinceEpoch(second));
        cachedSecond = second;
    }
    return cachedText;
}
