// The metrics endpoint: plain HTTP that answers GET /metrics with the page that `page`
// makes (MetricsText) and every other request with an error, then closes the connection.
// A request larger than MaxRequestBytes, or not complete within IdleTimeoutMs of the
// connection's last bytes, closes it. Meant for a loopback address: it has no
// authentication, and the page holds no secrets.
//
// Threads: a QObject of the thread that creates it (the UI thread in the program); the
// page is made on that thread, so it must not wait for a lock a core event may hold
// while waiting for this thread (MetricsText takes only core locks, never a console one).
#pragma once

#include <QHostAddress>
#include <QObject>
#include <QString>

#include <functional>
#include <string>

class QTcpServer;
class QTcpSocket;

class TMetricsServer : public QObject {
    Q_OBJECT

  public:
    static constexpr int MaxRequestBytes = 8192;
    static constexpr int IdleTimeoutMs = 10000;
    // kelbox.ini's [Admin] Metrics= when it is missing.
    static constexpr const char* DefaultListen = "127.0.0.1:9667";

    explicit TMetricsServer(std::function<std::string()> page, QObject* parent = nullptr);

    // "HOST:PORT", "[IPv6]:PORT" or "PORT" (loopback); false with `error` set when the
    // text is no such address. An empty text is "off" and also false, with `error` empty.
    static bool ParseListen(const QString& text, QHostAddress& address, quint16& port,
                            QString& error);
    // Starts listening; false with the reason in ErrorString().
    bool Listen(const QHostAddress& address, quint16 port);
    quint16 Port() const;
    QString ErrorString() const { return error_; }

  private:
    void accept();
    void serve(QTcpSocket* socket);
    void reply(QTcpSocket* socket, const char* status, const std::string& type,
               const std::string& body);

    std::function<std::string()> page_;
    QTcpServer* server_;  // owned by this object
    QString error_;
};
