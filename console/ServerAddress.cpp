#include "ServerAddress.h"

bool ParseServerAddress(const QString& text, QString& host, quint16& port, QString& error) {
    QString name = text;
    QString portText;
    if (name.startsWith(QLatin1Char('['))) {
        const qsizetype close = name.indexOf(QLatin1Char(']'));
        if (close < 0) {
            error = QStringLiteral("no \"]\" in ") + text;
            return false;
        }
        if (name.mid(close + 1).startsWith(QLatin1Char(':'))) portText = name.mid(close + 2);
        name = name.mid(1, close - 1);
    } else if (name.count(QLatin1Char(':')) == 1) {
        portText = name.section(QLatin1Char(':'), 1);
        name = name.section(QLatin1Char(':'), 0, 0);
    }
    if (name.isEmpty()) {
        error = QStringLiteral("no host in ") + text;
        return false;
    }
    if (!portText.isEmpty()) {
        bool ok = false;
        const uint number = portText.toUInt(&ok);
        if (!ok || number == 0 || number > 65535) {
            error = QStringLiteral("not a port: ") + portText;
            return false;
        }
        port = static_cast<quint16>(number);
    }
    host = name;
    return true;
}
