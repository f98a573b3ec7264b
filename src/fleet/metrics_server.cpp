#include "fleet/metrics_server.h"

#include "fleet/http_request_head.h"

#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>

#include <optional>

namespace hq::fleet {
namespace {

// What a connection may hold unread; the head is at most kMaxRequestHead bytes.
constexpr qint64 kReadBufferSize = 16 * 1024;

QString addressText(const QHostAddress& address, quint16 port) {
    const QString host = address.protocol() == QAbstractSocket::IPv6Protocol
                             ? QLatin1Char('[') + address.toString() + QLatin1Char(']')
                             : address.toString();
    return host + QLatin1Char(':') + QString::number(port);
}

std::optional<quint16> portOf(QStringView text) {
    if (text.isEmpty() || text.size() > 5)
        return std::nullopt;
    for (const QChar c : text)
        if (c < QLatin1Char('0') || c > QLatin1Char('9'))
            return std::nullopt;
    const uint port = text.toUInt();
    if (port < 1 || port > 65535)
        return std::nullopt;
    return static_cast<quint16>(port);
}

// Four decimal numbers 0 to 255 with dots between them, nothing else.
std::optional<QHostAddress> dottedIpv4(QStringView text) {
    const QList<QStringView> parts = text.split(QLatin1Char('.'));
    if (parts.size() != 4)
        return std::nullopt;
    quint32 value = 0;
    for (const QStringView part : parts) {
        if (part.isEmpty() || part.size() > 3)
            return std::nullopt;
        for (const QChar c : part)
            if (c < QLatin1Char('0') || c > QLatin1Char('9'))
                return std::nullopt;
        const uint byte = part.toUInt();
        if (byte > 255)
            return std::nullopt;
        value = (value << 8) | byte;
    }
    return QHostAddress(value);
}

// Its connections read at most kReadBufferSize bytes ahead, also while they wait to be taken.
class BoundedTcpServer : public QTcpServer {
protected:
    void incomingConnection(qintptr descriptor) override {
        auto* socket = new QTcpSocket(this);
        socket->setReadBufferSize(kReadBufferSize);
        socket->setSocketDescriptor(descriptor);
        addPendingConnection(socket);
    }
};

} // namespace

struct MetricsServer::Connection {
    RequestHeadParser parser;
    QTimer* deadline = nullptr; // a child of the socket
    bool answered = false;
};

MetricsServer::MetricsServer(QObject* parent) : QObject(parent) {}

MetricsServer::~MetricsServer() {
    // The sockets are the QTcpServer's children and die with it; they must not call back here.
    for (const auto& [socket, connection] : connections_) {
        socket->disconnect(this);
        connection->deadline->disconnect(this);
    }
    connections_.clear();
    if (server_)
        server_->disconnect(this);
}

Expected<void> MetricsServer::listen(const QHostAddress& address, quint16 port) {
    if (server_) {
        const std::unique_ptr<QTcpServer> old = std::move(server_);
        old->disconnect(this);
        while (!connections_.empty())
            closeConnection(connections_.begin()->first, true);
    }
    auto server = std::make_unique<BoundedTcpServer>();
    // While all connections are busy, one accepted client at most waits inside the process; the
    // others wait in the system's listen queue.
    server->setMaxPendingConnections(1);
    if (!server->listen(address, port)) {
        return failure("The metrics page cannot be served on " +
                           addressText(address, port).toStdString() + ": " +
                           server->errorString().toStdString(),
                       static_cast<std::uint32_t>(server->serverError()));
    }
    connect(server.get(), &QTcpServer::newConnection, this, &MetricsServer::acceptConnections);
    server_ = std::move(server);
    return {};
}

quint16 MetricsServer::serverPort() const {
    return server_ ? server_->serverPort() : 0;
}

void MetricsServer::acceptConnections() {
    if (!server_)
        return;
    while (openConnections() < maxConnections_) {
        QTcpSocket* socket = server_->nextPendingConnection();
        if (!socket)
            break;
        if (socket->state() != QAbstractSocket::ConnectedState) {
            socket->deleteLater(); // gone while it waited
            continue;
        }
        auto connection = std::make_unique<Connection>();
        connection->deadline = new QTimer(socket);
        connection->deadline->setSingleShot(true);
        connect(connection->deadline, &QTimer::timeout, this,
                [this, socket] { closeConnection(socket, true); });
        connect(socket, &QTcpSocket::readyRead, this, [this, socket] { readRequest(socket); });
        connect(socket, &QTcpSocket::disconnected, this,
                [this, socket] { closeConnection(socket, false); });
        connection->deadline->start(timeout_);
        connections_.emplace(socket, std::move(connection));
        if (socket->bytesAvailable() > 0)
            readRequest(socket);
    }
}

void MetricsServer::readRequest(QTcpSocket* socket) {
    const auto it = connections_.find(socket);
    if (it == connections_.end())
        return;
    Connection& c = *it->second;
    if (c.answered) {
        socket->readAll(); // a body or a second request: not read, only dropped
        return;
    }
    char buffer[4096];
    while (c.parser.state() == RequestHeadParser::State::NeedMore) {
        const qint64 n = socket->read(buffer, sizeof buffer);
        if (n <= 0)
            break;
        c.parser.feed(std::string_view(buffer, static_cast<std::size_t>(n)));
    }
    switch (c.parser.state()) {
    case RequestHeadParser::State::NeedMore:
        return;
    case RequestHeadParser::State::TooLarge:
        closeConnection(socket, true);
        return;
    case RequestHeadParser::State::Complete:
    case RequestHeadParser::State::Malformed:
        break;
    }
    c.answered = true;
    socket->readAll();
    const HttpResponse response = responseFor(c.parser, page_);
    socket->write(response.text.data(), static_cast<qint64>(response.text.size()));
    // Closes once the answer is written; `c` may be gone after this.
    socket->disconnectFromHost();
}

void MetricsServer::closeConnection(QTcpSocket* socket, bool abort) {
    auto node = connections_.extract(socket);
    if (node.empty())
        return;
    socket->disconnect(this);
    node.mapped()->deadline->disconnect(this);
    node.mapped()->deadline->stop();
    if (abort)
        socket->abort();
    socket->deleteLater();
    acceptConnections();
}

Expected<std::pair<QHostAddress, quint16>> parseListenAddress(const QString& text) {
    const auto invalid = [&](const char* why) -> Error {
        return failure("Invalid listen address \"" + text.toStdString() + "\": " + why +
                       " (expected ADDRESS:PORT, [IPv6-ADDRESS]:PORT or PORT)");
    };
    const char* const kBadPort = "the port must be a number from 1 to 65535";
    if (text.isEmpty())
        return invalid("empty");

    QHostAddress address(QHostAddress::LocalHost);
    QStringView portText = text;
    if (text.startsWith(QLatin1Char('['))) {
        const qsizetype close = text.indexOf(QLatin1Char(']'));
        if (close < 0)
            return invalid("no \"]\" after the IPv6 address");
        if (close + 1 >= text.size() || text[close + 1] != QLatin1Char(':'))
            return invalid("no \":PORT\" after the IPv6 address");
        const QString host = text.mid(1, close - 1);
        if (!address.setAddress(host) || address.protocol() != QAbstractSocket::IPv6Protocol)
            return invalid("not an IPv6 address in the brackets");
        portText = QStringView(text).sliced(close + 2);
    } else if (const qsizetype colons = text.count(QLatin1Char(':')); colons > 1) {
        return invalid("an IPv6 address is written in brackets, like [::1]:9100");
    } else if (colons == 1) {
        const qsizetype colon = text.indexOf(QLatin1Char(':'));
        const std::optional<QHostAddress> ipv4 = dottedIpv4(QStringView(text).first(colon));
        if (!ipv4)
            return invalid("not an IPv4 address like 127.0.0.1 before the \":\"");
        address = *ipv4;
        portText = QStringView(text).sliced(colon + 1);
    }
    const std::optional<quint16> port = portOf(portText);
    if (!port)
        return invalid(kBadPort);
    return std::pair{address, *port};
}

} // namespace hq::fleet
