// A client of the server's admin endpoint, shared by quarn-admin and the remote console:
// it connects over TLS (1.2 or later), accepts the server's self-signed certificate only
// by its SHA-256 fingerprint (pinned by the caller, or remembered from a first use as ssh
// does, TKnownServers), logs in, sends commands and hands back each reply, and passes on
// the events that the server sends after "subscribe". The protocol is one JSON object a
// line (docs/admin-protocol.md).
//
// Threads: a QObject of the thread that creates it, used on that thread only; nothing
// blocks. Outcomes arrive as signals and reply callbacks from that thread's event loop.
// Open() ends in exactly one of LoggedIn or Failed; after LoggedIn, a lost connection
// ends in Closed. A reply callback runs once: with the server's answer, or with ok false
// and the reason when the connection ends first.
#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QJsonValue>
#include <QObject>
#include <QString>
#include <QTimer>

#include <functional>
#include <map>

class QSslSocket;

struct TAdminClientOptions {
    QString Host = QStringLiteral("127.0.0.1");
    quint16 Port = 6668;
    QString User;
    QString Password;
    // A pinned SHA-256 fingerprint of the server's certificate (any form that
    // TKnownServers::Canonical reads); empty: the remembered one.
    QString Fingerprint;
    // Accept and remember a certificate of a server not seen before. Without it such a
    // certificate is accepted only when TrustOnFirstUse says yes.
    bool Trust = false;
    // Asked about an unknown server's certificate when Trust is off (the window's
    // question); empty means no.
    std::function<bool(const QString& server, const QString& fingerprint)> TrustOnFirstUse;
    // The remembered certificates; empty: TKnownServers::DefaultPath().
    QString KnownServersPath;
    // How long connecting, the handshake, the login and each reply may take.
    int TimeoutMs = 10000;
};

struct TAdminReply {
    bool Ok = false;
    QJsonValue Result;  // when Ok
    QString Error;      // when not Ok: the server's error text, or why no answer came
};

class TAdminClient : public QObject {
    Q_OBJECT

  public:
    // A line longer than this from the server ends the connection.
    static constexpr qsizetype MaxLineBytes = 64 * 1024;

    enum class TState { Closed, Connecting, LoggingIn, Ready };

    explicit TAdminClient(QObject* parent = nullptr);
    ~TAdminClient() override;

    // Starts connecting; ends in LoggedIn or Failed.
    void Open(TAdminClientOptions options);
    // Sends {"id", "cmd": command, ...arguments}; `done` gets its reply. Only when Ready
    // (else `done` gets an error at once, from the event loop).
    void Send(const QString& command, const QJsonObject& arguments,
              std::function<void(const TAdminReply&)> done);
    // Closes the connection; pending replies get "connection closed". No signal follows.
    void Close();

    TState State() const { return state_; }
    QString Role() const { return role_; }  // "operator" or "viewer", once logged in
    QString ServerName() const {
        return QStringLiteral("%1:%2").arg(options_.Host).arg(options_.Port);
    }
    QString PeerFingerprint() const { return peerFingerprint_; }

    // The protocol's byte fields: a string when the bytes are valid UTF-8, otherwise
    // {"base64": ...}. Both forms are read everywhere.
    static QJsonValue JsonOfBytes(const QByteArray& bytes);
    static QByteArray BytesOf(const QJsonValue& value);

  signals:
    void LoggedIn(const QString& role, const QJsonObject& result);
    // One line saying why; the connection is closed.
    void Failed(const QString& message);
    // An event ({"event": NAME, ...}) the server sent.
    void EventReceived(const QJsonObject& event);
    // The connection ended after the login; `reason` says why.
    void Closed(const QString& reason);

  private:
    void onEncrypted();
    void onReadyRead();
    void onSocketError();
    void onDisconnected();
    bool checkCertificate(QString& refusal);
    void handleLine(const QByteArray& line);
    void fail(const QString& message);
    void sendObject(QJsonObject object, std::function<void(const TAdminReply&)> done);
    void endPending(const QString& reason);

    TAdminClientOptions options_;
    QSslSocket* socket_ = nullptr;  // a child of this object
    QTimer timeout_;                // connecting, or the oldest reply outstanding
    TState state_ = TState::Closed;
    QString role_;
    QString peerFingerprint_;
    QByteArray input_;
    qint64 nextId_ = 1;
    std::map<qint64, std::function<void(const TAdminReply&)>> pending_;
};
