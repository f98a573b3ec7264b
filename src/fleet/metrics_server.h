// The HTTP server of the metrics page: answers GET /metrics with the page of the moment, every
// other request with 404, 405 or 400, and closes each connection after its answer. Plain HTTP on
// the one address it is given. Qt Network; every operation runs on the thread the server lives
// in (the main thread).
#pragma once

#include "core/expected.h"

#include <QHostAddress>
#include <QObject>
#include <QString>

#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <unordered_map>
#include <utility>

class QTcpServer;
class QTcpSocket;

namespace hq::fleet {

class MetricsServer : public QObject {
    Q_OBJECT
public:
    static constexpr int kDefaultMaxConnections = 64;
    static constexpr std::chrono::milliseconds kDefaultConnectionTimeout{10000};

    explicit MetricsServer(QObject* parent = nullptr);
    ~MetricsServer() override;

    // Listens on address and port (0: a free port, see serverPort()); a server that was already
    // listening stops first and closes its connections.
    Expected<void> listen(const QHostAddress& address, quint16 port);
    // The port listened on, 0 when not listening.
    quint16 serverPort() const;

    // Makes the page for each GET /metrics; without one the page is empty.
    void setPage(std::function<std::string()> page) { page_ = std::move(page); }

    // A connection still open this long after it was accepted is aborted: a client that never
    // finishes its request head, or that never reads its answer.
    void setConnectionTimeout(std::chrono::milliseconds timeout) { timeout_ = timeout; }
    // Connections served at once; further clients wait in the listen queue until one closes.
    void setMaxConnections(int count) { maxConnections_ = count < 1 ? 1 : count; }
    int openConnections() const { return static_cast<int>(connections_.size()); }

private:
    struct Connection;
    void acceptConnections();
    void readRequest(QTcpSocket* socket);
    // Forgets the connection; abort: drop it at once rather than after its answer is written.
    void closeConnection(QTcpSocket* socket, bool abort);

    std::unique_ptr<QTcpServer> server_;
    std::unordered_map<QTcpSocket*, std::unique_ptr<Connection>> connections_;
    std::function<std::string()> page_;
    std::chrono::milliseconds timeout_ = kDefaultConnectionTimeout;
    int maxConnections_ = kDefaultMaxConnections;
};

// The value of --metrics: "ADDR:PORT" with an IPv4 address, "[IPv6]:PORT", or "PORT" alone for
// 127.0.0.1. The port is 1 to 65535; host names are not taken.
Expected<std::pair<QHostAddress, quint16>> parseListenAddress(const QString& text);

} // namespace hq::fleet
