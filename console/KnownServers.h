// The admin endpoints' certificates that this user has accepted, one per server
// ("host:port"), as ssh keeps known hosts: a server seen before must show the same
// certificate again. Kept in QStandardPaths::GenericConfigLocation + "/quarn/known_servers",
// one "host:port SHA256-FINGERPRINT" line each, readable by the user alone (0600). Lines
// starting with "#" and blank lines are kept as they are.
//
// Threads: any, one instance per thread; two programs adding at once may lose one of the
// two additions (the file is replaced whole), never corrupt the file.
#pragma once

#include <QString>

#include <optional>

class TKnownServers {
  public:
    // The file beside the user's other configuration.
    static QString DefaultPath();
    // The canonical form of a SHA-256 fingerprint: 32 bytes as upper-case hex pairs joined
    // by ":", as `openssl x509 -fingerprint -sha256` prints them. Accepts that form, plain
    // hex in either case, and either with a "SHA256:" or "sha256 Fingerprint=" prefix; an
    // empty string when the text is no SHA-256 fingerprint.
    static QString Canonical(const QString& fingerprint);

    explicit TKnownServers(QString path = DefaultPath()) : path_(std::move(path)) {}

    const QString& Path() const { return path_; }
    // The fingerprint remembered for the server, and the file's line number it is on.
    struct TEntry {
        QString Fingerprint;
        int Line = 0;
    };
    std::optional<TEntry> Find(const QString& server) const;
    // Remembers the server's fingerprint, replacing what was remembered for it. False with
    // ErrorString() set when the file cannot be written.
    bool Remember(const QString& server, const QString& fingerprint);
    QString ErrorString() const { return error_; }

  private:
    QString path_;
    QString error_;
};
