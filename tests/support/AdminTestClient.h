// A scripted admin endpoint client for the console tests: TLS to the endpoint of the
// harness's window, JSON requests with their replies, and the events in between. It runs
// on the test (UI) thread, where the endpoint lives too, so it never blocks: every wait
// runs the event loop until its condition holds or a time-out passes.
#pragma once

#include <QJsonObject>
#include <QSslSocket>

#include <chrono>
#include <deque>
#include <functional>
#include <optional>
#include <string>

class AdminTestClient {
  public:
    using Milliseconds = std::chrono::milliseconds;

    AdminTestClient();
    // Connects from the source address (127.0.0.x) and completes the TLS handshake.
    bool Connect(quint16 port, const QString& source = QStringLiteral("127.0.0.1"));
    // Sends the object with the next id and waits for its reply; an empty object on
    // time-out or close. Events read meanwhile are kept in Events.
    QJsonObject Request(QJsonObject request, Milliseconds timeout = Milliseconds(5000));
    // Sends one raw line (without "\n") and waits for the next reply.
    QJsonObject RawRequest(const QByteArray& line, Milliseconds timeout = Milliseconds(5000));
    // The next reply line (events read meanwhile are kept); empty on time-out or close.
    QJsonObject Reply(Milliseconds timeout = Milliseconds(5000)) {
        return NextReply(timeout).value_or(QJsonObject());
    }
    // login with the name and password; the reply.
    QJsonObject Login(const QString& user, const QString& password);
    // Waits for an event that satisfies the condition, taking the events before it.
    std::optional<QJsonObject> WaitEvent(const std::function<bool(const QJsonObject&)>& match,
                                         Milliseconds timeout = Milliseconds(5000));
    bool WaitClosed(Milliseconds timeout = Milliseconds(5000));
    // The SHA-256 fingerprint of the certificate the server showed, colon-separated.
    std::string PeerFingerprint() const;

    QSslSocket Socket;
    std::deque<QJsonObject> Events;

  private:
    // Waits for the next reply line, keeping events; nullopt on time-out or close.
    std::optional<QJsonObject> NextReply(Milliseconds timeout);
    std::optional<QJsonObject> NextLine(Milliseconds timeout);
    qint64 nextId_ = 1;
};

// Waits, running posted events, until the condition holds; false on time-out.
bool RunUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout);
