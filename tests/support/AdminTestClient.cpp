#include "AdminTestClient.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QJsonDocument>
#include <QSslCertificate>
#include <QSslConfiguration>

#include <thread>

bool RunUntil(const std::function<bool()>& condition, std::chrono::milliseconds timeout) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 10);
        if (condition()) return true;
        if (std::chrono::steady_clock::now() >= end) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
}

AdminTestClient::AdminTestClient() {
    // The tests pin by comparing PeerFingerprint(); the chain itself is self-signed.
    Socket.setPeerVerifyMode(QSslSocket::VerifyNone);
}

bool AdminTestClient::Connect(quint16 port, const QString& source) {
    if (!Socket.bind(QHostAddress(source), 0)) return false;
    Socket.connectToHostEncrypted(QStringLiteral("127.0.0.1"), port);
    return RunUntil([this] { return Socket.isEncrypted(); }, Milliseconds(5000));
}

std::string AdminTestClient::PeerFingerprint() const {
    const QByteArray digest = Socket.peerCertificate().digest(QCryptographicHash::Sha256);
    return digest.toHex(':').toUpper().toStdString();
}

std::optional<QJsonObject> AdminTestClient::NextLine(Milliseconds timeout) {
    if (!RunUntil(
            [this] {
                return Socket.canReadLine() || Socket.state() != QAbstractSocket::ConnectedState;
            },
            timeout) ||
        !Socket.canReadLine())
        return std::nullopt;
    return QJsonDocument::fromJson(Socket.readLine()).object();
}

std::optional<QJsonObject> AdminTestClient::NextReply(Milliseconds timeout) {
    while (auto line = NextLine(timeout)) {
        if (line->contains(QStringLiteral("event")))
            Events.push_back(*line);
        else
            return line;
    }
    return std::nullopt;
}

QJsonObject AdminTestClient::Request(QJsonObject request, Milliseconds timeout) {
    request.insert(QStringLiteral("id"), nextId_++);
    return RawRequest(QJsonDocument(request).toJson(QJsonDocument::Compact), timeout);
}

QJsonObject AdminTestClient::RawRequest(const QByteArray& line, Milliseconds timeout) {
    Socket.write(line + '\n');
    return NextReply(timeout).value_or(QJsonObject());
}

QJsonObject AdminTestClient::Login(const QString& user, const QString& password) {
    return Request({{"cmd", "login"}, {"user", user}, {"password", password}});
}

std::optional<QJsonObject> AdminTestClient::WaitEvent(
    const std::function<bool(const QJsonObject&)>& match, Milliseconds timeout) {
    const auto end = std::chrono::steady_clock::now() + timeout;
    for (;;) {
        while (!Events.empty()) {
            const QJsonObject event = Events.front();
            Events.pop_front();
            if (match(event)) return event;
        }
        const auto left =
            std::chrono::duration_cast<Milliseconds>(end - std::chrono::steady_clock::now());
        if (left.count() <= 0) return std::nullopt;
        auto line = NextLine(left);
        if (!line) return std::nullopt;
        if (line->contains(QStringLiteral("event"))) Events.push_back(*line);
    }
}

bool AdminTestClient::WaitClosed(Milliseconds timeout) {
    return RunUntil([this] { return Socket.state() == QAbstractSocket::UnconnectedState; },
                    timeout);
}
