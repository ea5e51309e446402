#include "KnownServers.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QSaveFile>
#include <QStandardPaths>
#include <QStringList>

QString TKnownServers::DefaultPath() {
    return QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation) +
           QStringLiteral("/quarn/known_servers");
}

QString TKnownServers::Canonical(const QString& fingerprint) {
    QString text = fingerprint.trimmed();
    const int equals = text.indexOf(QLatin1Char('='));
    if (equals >= 0) text = text.mid(equals + 1);  // "sha256 Fingerprint=AB:CD..."
    if (text.startsWith(QLatin1String("SHA256:"), Qt::CaseInsensitive)) text = text.mid(7);
    text.remove(QLatin1Char(':'));
    static const QRegularExpression hex(QStringLiteral("^[0-9A-Fa-f]{64}$"));
    if (!hex.match(text).hasMatch()) return {};
    text = text.toUpper();
    QStringList pairs;
    for (int i = 0; i < text.size(); i += 2) pairs << text.mid(i, 2);
    return pairs.join(QLatin1Char(':'));
}

std::optional<TKnownServers::TEntry> TKnownServers::Find(const QString& server) const {
    QFile file(path_);
    if (!file.open(QIODevice::ReadOnly)) return std::nullopt;
    int number = 0;
    while (!file.atEnd()) {
        ++number;
        const QString line = QString::fromUtf8(file.readLine()).trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1Char('#'))) continue;
        const QStringList fields = line.split(QLatin1Char(' '), Qt::SkipEmptyParts);
        if (fields.size() >= 2 && fields[0] == server) return TEntry{Canonical(fields[1]), number};
    }
    return std::nullopt;
}

// The folder is made for the user alone, and the file is written beside it under a
// temporary name and renamed over it, with its mode set before any line is in it.
bool TKnownServers::Remember(const QString& server, const QString& fingerprint) {
    error_.clear();
    QStringList lines;
    {
        QFile old(path_);
        if (old.open(QIODevice::ReadOnly)) {
            while (!old.atEnd()) {
                const QString line = QString::fromUtf8(old.readLine()).trimmed();
                const QStringList fields = line.split(QLatin1Char(' '), Qt::SkipEmptyParts);
                if (!fields.isEmpty() && fields[0] == server) continue;
                lines << line;
            }
        }
    }
    lines << server + QLatin1Char(' ') + Canonical(fingerprint);

    const QString folder = QFileInfo(path_).absolutePath();
    if (!QDir().mkpath(folder)) {
        error_ = QStringLiteral("cannot create %1").arg(folder);
        return false;
    }
    QFile::setPermissions(folder,
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    QSaveFile file(path_);
    if (!file.open(QIODevice::WriteOnly) ||
        !file.setPermissions(QFileDevice::ReadOwner | QFileDevice::WriteOwner)) {
        error_ = QStringLiteral("cannot write %1: %2").arg(path_, file.errorString());
        return false;
    }
    for (const QString& line : lines) file.write((line + QLatin1Char('\n')).toUtf8());
    if (!file.commit()) {
        error_ = QStringLiteral("cannot write %1: %2").arg(path_, file.errorString());
        return false;
    }
    return true;
}
