#include "AdminEndpoint.h"

#include <QHostAddress>
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
      logins_(LoginRule),
      context_{server, logins_,
               [dir = config_.ProgramDir](const std::string& user, const std::string& password) {
                   try {
                       return TOperatorAccounts::InDir(dir).Verify(user, password);
                   } catch (const std::exception&) {
                       return std::optional<TOperatorRole>();
                   }
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

void TAdminEndpoint::Refresh() {
    bool accounts = false;
    try {
        accounts = TOperatorAccounts::InDir(config_.ProgramDir).AnyAccount();
    } catch (const std::exception& error) {
        config_.Log(std::string("Admin accounts unreadable: ") + error.what());
    }
    if (accounts && !server_.isListening()) {
        reportedOff_ = false;
        if (!Open()) accountCheck_.stop();  // a fault the operator must mend; logged
    } else if (!accounts) {
        if (server_.isListening()) Close();
        if (!reportedOff_) config_.Log("Admin endpoint off: no account in operators.ini");
        reportedOff_ = true;
    }
}

bool TAdminEndpoint::Open() {
    std::string host;
    quint16 port = 0;
    if (!ParseListen(config_.Listen, host, port)) {
        config_.Log("Admin endpoint off: cannot listen on \"" + config_.Listen + "\"");
        return false;
    }
    TAdminCertificate certificate;
    try {
        certificate = LoadOrCreateAdminCertificate(config_.ProgramDir);
        fingerprint_ = CertificateFingerprint(certificate.CertificatePem);
    } catch (const std::exception& error) {
        config_.Log(std::string("Admin endpoint off: ") + error.what());
        return false;
    }
    QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
    tls.setProtocol(QSsl::TlsV1_2OrLater);
    tls.setPeerVerifyMode(QSslSocket::VerifyNone);  // clients log in with a password
    tls.setLocalCertificate(QSslCertificate(QByteArray::fromStdString(certificate.CertificatePem)));
    tls.setPrivateKey(QSslKey(QByteArray::fromStdString(certificate.KeyPem), QSsl::Ec));
    server_.setSslConfiguration(tls);
    if (!server_.listen(QHostAddress(QString::fromStdString(host)), port)) {
        config_.Log("Admin endpoint off: " + server_.errorString().toStdString());
        return false;
    }
    const std::string shown = (host.find(':') != std::string::npos ? "[" + host + "]" : host) +
                              ":" + std::to_string(server_.serverPort());
    if (certificate.Created) config_.Log("Admin certificate created");
    config_.Log("Admin endpoint on " + shown + ", certificate SHA-256 " + fingerprint_);
    return true;
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
            context_, address, [socket](const QByteArray& line) { socket->write(line); });
        connect(socket, &QSslSocket::readyRead, this, [this, socket] { Read(socket); });
        // Queued: a session is never destroyed inside its own call.
        connect(
            socket, &QSslSocket::disconnected, this, [this, socket] { Drop(socket); },
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

void TAdminEndpoint::Drop(QSslSocket* socket) {
    const auto found = sessions_.find(socket);
    if (found == sessions_.end()) return;
    sessions_.erase(found);
    socket->disconnect(this);
    socket->deleteLater();
}
