#include "AdminClient.h"

#include <QCryptographicHash>
#include <QJsonDocument>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslSocket>
#include <QStringDecoder>

#include "KnownServers.h"

TAdminClient::TAdminClient(QObject* parent) : QObject(parent) {
    timeout_.setSingleShot(true);
    connect(&timeout_, &QTimer::timeout, this, [this] {
        fail(QStringLiteral("no answer from %1 within %2 s")
                 .arg(ServerName())
                 .arg(options_.TimeoutMs / 1000.0));
    });
}

TAdminClient::~TAdminClient() {
    Close();
}

QJsonValue TAdminClient::JsonOfBytes(const QByteArray& bytes) {
    QStringDecoder decoder(QStringDecoder::Utf8, QStringDecoder::Flag::Stateless);
    const QString text = decoder(bytes);
    if (!decoder.hasError()) return text;
    return QJsonObject{{QStringLiteral("base64"), QString::fromLatin1(bytes.toBase64())}};
}

QByteArray TAdminClient::BytesOf(const QJsonValue& value) {
    if (value.isString()) return value.toString().toUtf8();
    const QJsonValue encoded = value.toObject().value(QStringLiteral("base64"));
    return QByteArray::fromBase64(encoded.toString().toLatin1());
}

// The certificate is not checked against any authority (the server's is self-signed):
// the handshake only asks for it, and nothing is sent until its fingerprint has passed
// checkCertificate in onEncrypted.
void TAdminClient::Open(TAdminClientOptions options) {
    Close();
    options_ = std::move(options);
    role_.clear();
    peerFingerprint_.clear();
    input_.clear();
    socket_ = new QSslSocket(this);
    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    tls.setProtocol(QSsl::TlsV1_2OrLater);
    tls.setPeerVerifyMode(QSslSocket::QueryPeer);
    socket_->setSslConfiguration(tls);
    connect(socket_, &QSslSocket::encrypted, this, &TAdminClient::onEncrypted);
    connect(socket_, &QSslSocket::readyRead, this, &TAdminClient::onReadyRead);
    connect(socket_, &QSslSocket::errorOccurred, this, &TAdminClient::onSocketError);
    connect(socket_, &QSslSocket::disconnected, this, &TAdminClient::onDisconnected);
    connect(socket_, &QSslSocket::sslErrors, socket_,
            [socket = socket_](const QList<QSslError>&) { socket->ignoreSslErrors(); });
    state_ = TState::Connecting;
    timeout_.start(options_.TimeoutMs);
    socket_->connectToHostEncrypted(options_.Host, options_.Port);
}

bool TAdminClient::checkCertificate(QString& refusal) {
    const QSslCertificate certificate = socket_->peerCertificate();
    if (certificate.isNull()) {
        refusal = QStringLiteral("%1 showed no certificate").arg(ServerName());
        return false;
    }
    peerFingerprint_ = TKnownServers::Canonical(
        QString::fromLatin1(certificate.digest(QCryptographicHash::Sha256).toHex()));
    TKnownServers known(options_.KnownServersPath.isEmpty() ? TKnownServers::DefaultPath()
                                                            : options_.KnownServersPath);
    const QString server = ServerName();
    if (!options_.Fingerprint.isEmpty()) {
        const QString pinned = TKnownServers::Canonical(options_.Fingerprint);
        if (pinned.isEmpty()) {
            refusal = QStringLiteral("--fingerprint is not a SHA-256 fingerprint: %1")
                          .arg(options_.Fingerprint);
            return false;
        }
        if (pinned != peerFingerprint_) {
            refusal = QStringLiteral(
                          "the certificate of %1 does not match the pinned fingerprint "
                          "(it has SHA-256 %2); refused")
                          .arg(server, peerFingerprint_);
            return false;
        }
        // The operator vouched for it: remembered for the next use without a pin.
        known.Remember(server, peerFingerprint_);
        return true;
    }
    if (const auto entry = known.Find(server)) {
        if (entry->Fingerprint == peerFingerprint_) return true;
        refusal = QStringLiteral(
                      "the certificate of %1 has CHANGED (now SHA-256 %2, remembered "
                      "%3 in %4 line %5); refused. If the change is expected, pass "
                      "--fingerprint with the new one")
                      .arg(server, peerFingerprint_, entry->Fingerprint, known.Path())
                      .arg(entry->Line);
        return false;
    }
    const bool trusted = options_.Trust || (options_.TrustOnFirstUse &&
                                            options_.TrustOnFirstUse(server, peerFingerprint_));
    if (!trusted) {
        refusal = QStringLiteral(
                      "the certificate of %1 is not known (SHA-256 %2); pass "
                      "--fingerprint to pin it, or --trust to accept it on first use")
                      .arg(server, peerFingerprint_);
        return false;
    }
    if (!known.Remember(server, peerFingerprint_)) {
        refusal = known.ErrorString();
        return false;
    }
    return true;
}

void TAdminClient::onEncrypted() {
    QString refusal;
    if (!checkCertificate(refusal)) {
        fail(refusal);
        return;
    }
    state_ = TState::LoggingIn;
    timeout_.start(options_.TimeoutMs);
    QJsonObject login{{QStringLiteral("cmd"), QStringLiteral("login")},
                      {QStringLiteral("user"), options_.User},
                      {QStringLiteral("password"), options_.Password}};
    // The password is not kept once it is on its way.
    options_.Password.fill(QLatin1Char(' '));
    options_.Password.clear();
    sendObject(std::move(login), [this](const TAdminReply& reply) {
        if (!reply.Ok) {
            fail(QStringLiteral("login as %1 at %2 %3")
                     .arg(options_.User, ServerName(),
                          reply.Error.isEmpty() ? QStringLiteral("refused") : reply.Error));
            return;
        }
        const QJsonObject result = reply.Result.toObject();
        role_ = result.value(QStringLiteral("role")).toString();
        state_ = TState::Ready;
        if (pending_.empty()) timeout_.stop();
        emit LoggedIn(role_, result);
    });
}

void TAdminClient::onReadyRead() {
    while (socket_ && socket_->bytesAvailable() > 0) {
        input_ += socket_->read(MaxLineBytes + 1);
        qsizetype start = 0;
        for (qsizetype end; socket_ && (end = input_.indexOf('\n', start)) >= 0; start = end + 1) {
            handleLine(input_.mid(start, end - start));
        }
        if (!socket_) return;  // a handler closed the connection
        input_.remove(0, start);
        if (input_.size() > MaxLineBytes) {
            fail(QStringLiteral("%1 sent a line longer than %2 bytes")
                     .arg(ServerName())
                     .arg(MaxLineBytes));
            return;
        }
    }
}

void TAdminClient::handleLine(const QByteArray& line) {
    if (line.trimmed().isEmpty()) return;
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(line, &error);
    if (!document.isObject()) {
        fail(QStringLiteral("%1 sent a line that is not a JSON object").arg(ServerName()));
        return;
    }
    const QJsonObject object = document.object();
    if (object.contains(QStringLiteral("event"))) {
        if (state_ == TState::Ready) emit EventReceived(object);
        return;
    }
    const QJsonValue id = object.value(QStringLiteral("id"));
    auto found = id.isDouble() ? pending_.find(id.toInteger()) : pending_.end();
    if (found == pending_.end()) return;  // not ours (an answer to nothing we sent)
    auto done = std::move(found->second);
    pending_.erase(found);
    if (pending_.empty() && state_ == TState::Ready) {
        timeout_.stop();
    } else {
        timeout_.start(options_.TimeoutMs);
    }
    TAdminReply reply;
    reply.Ok = object.value(QStringLiteral("ok")).toBool();
    reply.Result = object.value(QStringLiteral("result"));
    reply.Error = object.value(QStringLiteral("error")).toString();
    if (!reply.Ok && reply.Error.isEmpty()) reply.Error = QStringLiteral("failed");
    done(reply);
}

void TAdminClient::onSocketError() {
    if (!socket_) return;
    if (socket_->error() == QAbstractSocket::RemoteHostClosedError) {
        onDisconnected();
        return;
    }
    const QString what =
        state_ == TState::Connecting && socket_->state() != QAbstractSocket::ConnectedState
            ? QStringLiteral("cannot reach %1: %2")
            : QStringLiteral("connection to %1 failed: %2");
    fail(what.arg(ServerName(), socket_->errorString()));
}

void TAdminClient::onDisconnected() {
    if (!socket_) return;
    if (state_ == TState::Connecting) {
        fail(QStringLiteral(
                 "%1 closed the connection during the TLS handshake (is it the admin endpoint?)")
                 .arg(ServerName()));
    } else if (state_ == TState::LoggingIn) {
        fail(QStringLiteral("%1 closed the connection before the login was answered")
                 .arg(ServerName()));
    } else {
        fail(QStringLiteral("%1 closed the connection").arg(ServerName()));
    }
}

// The one way the connection ends other than Close(): every pending reply is answered
// with the reason, then Failed (before the login) or Closed (after) says it once.
void TAdminClient::fail(const QString& message) {
    const TState was = state_;
    if (was == TState::Closed) return;
    state_ = TState::Closed;  // a reply callback that fails again returns at once
    endPending(message);
    Close();
    if (was == TState::Ready) {
        emit Closed(message);
    } else {
        emit Failed(message);
    }
}

void TAdminClient::Close() {
    timeout_.stop();
    state_ = TState::Closed;
    if (socket_) {
        QSslSocket* socket = socket_;
        socket_ = nullptr;
        socket->disconnect(this);
        socket->abort();
        socket->deleteLater();
    }
    endPending(QStringLiteral("connection closed"));
}

void TAdminClient::endPending(const QString& reason) {
    auto pending = std::move(pending_);
    pending_.clear();
    for (auto& [id, done] : pending) done(TAdminReply{false, {}, reason});
}

void TAdminClient::Send(const QString& command, const QJsonObject& arguments,
                        std::function<void(const TAdminReply&)> done) {
    if (state_ != TState::Ready) {
        QTimer::singleShot(0, this, [done = std::move(done)] {
            done(TAdminReply{false, {}, QStringLiteral("not connected")});
        });
        return;
    }
    QJsonObject object = arguments;
    object.insert(QStringLiteral("cmd"), command);
    sendObject(std::move(object), std::move(done));
}

void TAdminClient::sendObject(QJsonObject object, std::function<void(const TAdminReply&)> done) {
    const qint64 id = nextId_++;
    object.insert(QStringLiteral("id"), id);
    pending_.emplace(id, std::move(done));
    if (!timeout_.isActive()) timeout_.start(options_.TimeoutMs);
    socket_->write(QJsonDocument(object).toJson(QJsonDocument::Compact) + '\n');
}
