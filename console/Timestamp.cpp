#include "Timestamp.h"

#include <QLocale>
#include <QRegularExpression>

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

std::string TimestampText() {
    return TimestampText(QDateTime::currentDateTime());
}

std::string TimestampFileName(const std::string& timestampText) {
    std::string name = timestampText;
    for (char& c : name) {
        const auto byte = static_cast<unsigned char>(c);
        switch (c) {
            case '.':
            case ':':
            case '/':
            case '\\':
            case '*':
            case '?':
            case '"':
            case '<':
            case '>':
            case '|':
                c = '_';
                break;
            default:
                if (byte < 32 || byte == 127) c = '_';
        }
    }
    return name;
}
