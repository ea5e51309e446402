#include "AdminEndpoint.h"

#include <QHostAddress>
#include <QPointer>
#include <QSslCertificate>
#include <QSslConfiguration>
#include <QSslKey>
#include <QSslSocket>

#include "AdminCertificate.h"
#include "OperatorAccounts.h"

namespace {

// The code words' rule, shared: 3 failures within 10 minutes lock out for 10 minutes.
constexpr TFailureLimit::TRule LoginRule{3, std::chrono::minutes(10), std::chrono::minutes(10)};

}  // namespace

TAdminEndpoint::TAdminEndpoint(TShownServer& server, TConfig config, QObject* parent)
    : QObject(parent),
      config_(std::move(config)),
      checker_(std::make_unique<TLoginChecker>(
          config_.ProgramDir, LoginRule,
          [this] { QMetaObject::invokeMethod(this, "LoginsChecked", Qt::QueuedConnection); })),
      context_{server,
               [this](const std::string& address, const std::string& user,
                      const std::string& password, std::function<void(TLoginOutcome)> done) {
                   CheckLogin(address, user, password, std::move(done));
               },
               config_.Log, config_.ServerName} {
    connect(&server_, &QSslServer::pendingConnectionAvailable, this, &TAdminEndpoint::Accept);
    accountCheck_.setInterval(AccountCheckMs);
    connect(&accountCheck_, &QTimer::timeout, this, &TAdminEndpoint::Refresh);
    if (config_.Listen.empty()) return;  // off by the operator's choice
    Refresh();
    accountCheck_.start();
}

TAdminEndpoint::~TAdminEndpoint() {
    Close();
    // Joins the checker's thread; a wake it posted is dropped with this object.
    checker_.reset();
}

// The check runs on the checker's thread; done waits here, on the UI thread, for the
// outcome under the check's number.
void TAdminEndpoint::CheckLogin(const std::string& address, const std::string& user,
                                const std::string& password,
                                std::function<void(TLoginOutcome)> done) {
    pendingLogins_.emplace(checker_->Submit(address, user, password), std::move(done));
}

void TAdminEndpoint::LoginsChecked() {
    for (auto& [number, outcome] : checker_->TakeOutcomes()) {
        const auto found = pendingLogins_.find(number);
        if (found == pendingLogins_.end()) continue;
        const auto done = std::move(found->second);
        pendingLogins_.erase(found);
        done(outcome);
    }
}

bool TAdminEndpoint::ParseListen(const std::string& listen, std::string& host, quint16& port) {
    const auto colon = listen.rfind(':');
    if (colon == std::string::npos || colon + 1 == listen.size()) return false;
    host = listen.substr(0, colon);
    if (host.size() >= 2 && host.front() == '[' && host.back() == ']')
        host = host.substr(1, host.size() - 2);
    bool ok = false;
    const uint value = QString::fromStdString(listen.substr(colon + 1)).toUInt(&ok);
    if (!ok || value > 65535 || QHostAddress(QString::fromStdString(host)).isNull()) return false;
    port = static_cast<quint16>(value);
    return true;
}

// Runs every AccountCheckMs: the reason the endpoint is off is logged when it changes,
// not at every check.
void TAdminEndpoint::Refresh() {
    std::string off;  // why the endpoint is off after this check, or empty
    bool accounts = false;
    try {
        accounts = TOperatorAccounts::InDir(config_.ProgramDir).AnyAccount();
        if (!accounts) off = "Admin endpoint off: no account in operators.ini";
    } catch (const std::exception& error) {
        off = std::string("Admin endpoint off: operators.ini unreadable: ") + error.what();
    }
    if (accounts && !server_.isListening())
        off = Open();  // a taken port may come free: tried again at the next check
    else if (!accounts && server_.isListening())
        Close();
    if (off.empty()) {
        offReason_.clear();
        return;
    }
    if (off != offReason_) config_.Log(off);
    offReason_ = off;
}

std::string TAdminEndpoint::Open() {
    std::string host;
    quint16 port = 0;
    if (!ParseListen(config_.Listen, host, port))
        return "Admin endpoint off: cannot listen on \"" + config_.Listen + "\"";
    TAdminCertificate certificate;
    try {
        certificate = LoadOrCreateAdminCertificate(config_.ProgramDir);
        fingerprint_ = CertificateFingerprint(certificate.CertificatePem);
    } catch (const std::exception& error) {
        return std::string("Admin endpoint off: ") + error.what();
    }
    // The key made here is EC; one the operator put in its place may be RSA.
    const QByteArray keyPem = QByteArray::fromStdString(certificate.KeyPem);
    QSslKey key(keyPem, QSsl::Ec);
    if (key.isNull()) key = QSslKey(keyPem, QSsl::Rsa);
    if (key.isNull()) return "Admin endpoint off: admin-key.pem holds no usable key";
    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    tls.setProtocol(QSsl::TlsV1_2OrLater);
    tls.setPeerVerifyMode(QSslSocket::VerifyNone);  // clients log in with a password
    tls.setLocalCertificate(QSslCertificate(QByteArray::fromStdString(certificate.CertificatePem)));
    tls.setPrivateKey(key);
    server_.setSslConfiguration(tls);
    if (!server_.listen(QHostAddress(QString::fromStdString(host)), port))
        return "Admin endpoint off: " + server_.errorString().toStdString();
    const std::string shown = (host.find(':') != std::string::npos ? "[" + host + "]" : host) +
                              ":" + std::to_string(server_.serverPort());
    if (certificate.Created) config_.Log("Admin certificate created");
    config_.Log("Admin endpoint on " + shown + ", certificate SHA-256 " + fingerprint_);
    return {};
}

void TAdminEndpoint::Close() {
    server_.close();
    // Sessions unsubscribe from the shown server as they go.
    for (auto& [socket, session] : sessions_) {
        session.reset();
        socket->disconnect(this);
        socket->abort();
        socket->deleteLater();
    }
    sessions_.clear();
    // Connections still in their handshake, or done but not yet taken, are the server's
    // children: after close() it would never hand them out, and they would stay open.
    for (QSslSocket* socket : server_.findChildren<QSslSocket*>(Qt::FindDirectChildrenOnly)) {
        socket->disconnect(this);
        socket->abort();
        socket->deleteLater();
    }
}

void TAdminEndpoint::Accept() {
    while (QTcpSocket* next = server_.nextPendingConnection()) {
        auto* socket = qobject_cast<QSslSocket*>(next);
        if (!socket) {
            next->abort();
            next->deleteLater();
            continue;
        }
        const std::string address = socket->peerAddress().toString().toStdString();
        sessions_[socket] = std::make_unique<TAdminSession>(
            context_, address, [this, socket](const QByteArray& line) { Send(socket, line); });
        connect(socket, &QSslSocket::readyRead, this, [this, socket] { Read(socket); });
        // Queued: a session is never destroyed inside its own call.
        connect(
            socket, &QSslSocket::disconnected, this,
            [this, guard = QPointer<QSslSocket>(socket)] {
                if (guard) Drop(guard);
            },
            Qt::QueuedConnection);
        if (socket->bytesAvailable() > 0) Read(socket);
    }
}

void TAdminEndpoint::Read(QSslSocket* socket) {
    for (;;) {
        const auto found = sessions_.find(socket);
        if (found == sessions_.end()) return;
        if (!socket->canReadLine()) {
            // Whatever waits without a line end counts towards the longest line.
            if (socket->bytesAvailable() > MaxLineBytes) {
                socket->abort();
                Drop(socket);
            }
            return;
        }
        QByteArray line = socket->readLine(MaxLineBytes + 2);
        if (!line.endsWith('\n')) {
            socket->abort();
            Drop(socket);
            return;
        }
        line.chop(1);
        if (line.endsWith('\r')) line.chop(1);
        found->second->HandleLine(line);
    }
}

// A client that stops reading would make the server keep its events without bound: past
// MaxPendingBytes it is disconnected instead, and gets a fresh snapshot when it comes back.
void TAdminEndpoint::Send(QSslSocket* socket, const QByteArray& line) {
    if (socket->state() != QAbstractSocket::ConnectedState) return;
    if (socket->bytesToWrite() + line.size() > MaxPendingBytes) {
        config_.Log("Admin connection from " + socket->peerAddress().toString().toStdString() +
                    " closed: it does not read");
        socket->abort();
        // Not now: the session that sends is still running.
        QMetaObject::invokeMethod(
            this,
            [this, guard = QPointer<QSslSocket>(socket)] {
                if (guard) Drop(guard);
            },
            Qt::QueuedConnection);
        return;
    }
    socket->write(line);
}

void TAdminEndpoint::Drop(QSslSocket* socket) {
    const auto found = sessions_.find(socket);
    if (found == sessions_.end()) return;
    sessions_.erase(found);
    socket->disconnect(this);
    socket->deleteLater();
}
