#include "MetricsServer.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

namespace {

// The socket's idle timer, a child of the socket: restarted by each read.
constexpr const char* IdleTimerName = "metricsIdle";

}  // namespace

TMetricsServer::TMetricsServer(std::function<std::string()> page, QObject* parent)
    : QObject(parent), page_(std::move(page)), server_(new QTcpServer(this)) {
    connect(server_, &QTcpServer::newConnection, this, &TMetricsServer::accept);
}

bool TMetricsServer::ParseListen(const QString& text, QHostAddress& address, quint16& port,
                                 QString& error) {
    error.clear();
    const QString spec = text.trimmed();
    if (spec.isEmpty()) return false;
    QString host = QStringLiteral("127.0.0.1");
    QString portText = spec;
    const int colon = spec.lastIndexOf(QLatin1Char(':'));
    if (colon >= 0) {
        host = spec.left(colon);
        portText = spec.mid(colon + 1);
        if (host.startsWith(QLatin1Char('[')) && host.endsWith(QLatin1Char(']')))
            host = host.mid(1, host.size() - 2);
    }
    bool ok = false;
    const uint number = portText.toUInt(&ok);
    if (!ok || number == 0 || number > 65535 || !address.setAddress(host)) {
        error = QStringLiteral("not an address and port: %1").arg(spec);
        return false;
    }
    port = static_cast<quint16>(number);
    return true;
}

bool TMetricsServer::Listen(const QHostAddress& address, quint16 port) {
    if (server_->listen(address, port)) return true;
    error_ = server_->errorString();
    return false;
}

quint16 TMetricsServer::Port() const {
    return server_->serverPort();
}

void TMetricsServer::accept() {
    while (QTcpSocket* socket = server_->nextPendingConnection()) {
        // The server owns it until it is deleted later, after its reply or time-out.
        auto* idle = new QTimer(socket);
        idle->setObjectName(QLatin1String(IdleTimerName));
        idle->setSingleShot(true);
        idle->start(IdleTimeoutMs);
        connect(idle, &QTimer::timeout, socket, &QTcpSocket::abort);
        connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        connect(socket, &QTcpSocket::errorOccurred, socket, &QObject::deleteLater);
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { serve(socket); });
    }
}

// The request is read whole (up to its blank line) before anything is answered; its body,
// if any, is ignored. Only the request line matters.
void TMetricsServer::serve(QTcpSocket* socket) {
    if (auto* idle = socket->findChild<QTimer*>(QLatin1String(IdleTimerName))) idle->start();
    if (socket->property("answered").toBool()) {
        socket->readAll();
        return;
    }
    QByteArray request = socket->property("request").toByteArray();
    request += socket->read(MaxRequestBytes + 1 - request.size());
    socket->setProperty("request", request);
    int end = request.indexOf("\r\n\r\n");
    if (end < 0) end = request.indexOf("\n\n");
    if (end < 0) {
        if (request.size() > MaxRequestBytes) {
            reply(socket, "431 Request Header Fields Too Large", "text/plain",
                  "request too large\n");
        }
        return;
    }
    const QByteArray line = request.left(request.indexOf('\n')).trimmed();
    const QList<QByteArray> parts = line.split(' ');
    if (parts.size() != 3 || !parts[2].startsWith("HTTP/")) {
        reply(socket, "400 Bad Request", "text/plain", "bad request\n");
        return;
    }
    QByteArray path = parts[1];
    if (const int query = path.indexOf('?'); query >= 0) path.truncate(query);
    if (path != "/metrics") {
        reply(socket, "404 Not Found", "text/plain", "not found; the metrics are at /metrics\n");
        return;
    }
    if (parts[0] != "GET") {
        reply(socket, "405 Method Not Allowed", "text/plain", "only GET\n");
        return;
    }
    reply(socket, "200 OK", "text/plain; version=0.0.4; charset=utf-8", page_());
}

// Every answer closes the connection: a scraper asks once per interval.
void TMetricsServer::reply(QTcpSocket* socket, const char* status, const std::string& type,
                           const std::string& body) {
    socket->setProperty("answered", true);
    QByteArray head = QByteArray("HTTP/1.1 ") + status +
                      "\r\nContent-Type: " + QByteArray::fromStdString(type) +
                      "\r\nContent-Length: " + QByteArray::number(qsizetype(body.size())) +
                      "\r\nConnection: close\r\n\r\n";
    socket->write(head);
    socket->write(body.data(), static_cast<qint64>(body.size()));
    socket->disconnectFromHost();
}
