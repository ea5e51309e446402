// The admin endpoint: TLS 1.2 or later only, on 127.0.0.1:6668 unless kelbox.ini's
// [Admin] Listen= names another address (empty: off), and only while operators.ini holds
// an account (checked again every few seconds, so a first account made with
// `quarn-admin passwd` opens it). A plain-text connection fails the handshake and is closed
// unanswered. Each connection is an admin session (AdminSession.h) over the shown server.
// The protocol is docs/admin-protocol.md.
//
// Threads: the UI thread only: the sockets live in its event loop, and commands run there
// as the window's own do.
#pragma once

#include <QObject>
#include <QSslServer>
#include <QTimer>

#include <functional>
#include <map>
#include <memory>
#include <string>

#include "AdminSession.h"
#include "FailureLimit.h"
#include "LoginChecker.h"

class QSslSocket;

class TAdminEndpoint : public QObject {
    Q_OBJECT

  public:
    // The longest request line; a longer one closes the connection.
    static constexpr qsizetype MaxLineBytes = 64 * 1024;
    static constexpr int AccountCheckMs = 5000;
    // Output a client may leave unread before it is disconnected.
    static constexpr qint64 MaxPendingBytes = 16 * 1024 * 1024;

    struct TConfig {
        std::string ProgramDir;  // ends in a separator: operators.ini and the key live there
        std::string Listen;      // "HOST:PORT" or "[V6]:PORT"; empty: off
        std::string ServerName;  // told to clients at login
        std::function<void(const std::string& text)> Log;
    };

    // Opens at once when accounts exist. Failures (a taken port, an unwritable folder)
    // are logged and leave the endpoint closed.
    TAdminEndpoint(TShownServer& server, TConfig config, QObject* parent = nullptr);
    ~TAdminEndpoint() override;

    // Opens or closes the endpoint as operators.ini has accounts or not.
    void Refresh();
    bool IsListening() const { return server_.isListening(); }
    quint16 Port() const { return server_.serverPort(); }
    const std::string& Fingerprint() const { return fingerprint_; }

    // "127.0.0.1:6668" and "[::1]:6668" into host and port; false when malformed.
    static bool ParseListen(const std::string& listen, std::string& host, quint16& port);

  private:
    // Listens; the reason it cannot, for the log, or empty.
    std::string Open();
    void Close();
    void Accept();
    void Read(QSslSocket* socket);
    void Drop(QSslSocket* socket);
    void Send(QSslSocket* socket, const QByteArray& line);
    // Posted by name from the checker's thread (why by name: TForm1::PostToUi).
    Q_INVOKABLE void LoginsChecked();
    void CheckLogin(const std::string& address, const std::string& user,
                    const std::string& password, std::function<void(TLoginOutcome)> done);

    const TConfig config_;
    // The login checks' thread; outcomes wait here for their sessions (UI thread).
    std::unique_ptr<TLoginChecker> checker_;
    std::map<std::uint64_t, std::function<void(TLoginOutcome)>> pendingLogins_;
    TAdminContext context_;
    QSslServer server_;
    QTimer accountCheck_;
    std::string fingerprint_;
    std::string offReason_;  // why the endpoint is off, as last logged
    std::map<QSslSocket*, std::unique_ptr<TAdminSession>> sessions_;
};
