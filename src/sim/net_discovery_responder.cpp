#include "sim/net_discovery_responder.h"

#include "cabinet/identity.h"

#include <QNetworkDatagram>
#include <QUdpSocket>

namespace hq::sim {

DiscoveryResponder::DiscoveryResponder(QObject* parent) : QObject(parent) {}

DiscoveryResponder::~DiscoveryResponder() = default;

bool DiscoveryResponder::listen(const QHostAddress& address, quint16 port) {
    auto socket = std::make_unique<QUdpSocket>();
    if (!socket->bind(address, port)) {
        return false;
    }
    connect(socket.get(), &QUdpSocket::readyRead, this, &DiscoveryResponder::onReadyRead);
    socket_ = std::move(socket);
    return true;
}

quint16 DiscoveryResponder::port() const {
    return socket_ ? socket_->localPort() : 0;
}

void DiscoveryResponder::onReadyRead() {
    while (socket_->hasPendingDatagrams()) {
        const QNetworkDatagram request = socket_->receiveDatagram();
        if (request.data() != "Discovery: Who is out there?") {
            continue;
        }
        ++requests_;
        const QByteArray answer =
            QByteArray(cabinet::kProductString.data(), qsizetype(cabinet::kProductString.size())) +
            description_ + finalByte_;
        for (int i = 0; i < answers_; ++i) {
            socket_->writeDatagram(answer, request.senderAddress(), request.senderPort());
        }
        emit requestAnswered(request.senderAddress(), static_cast<quint16>(request.senderPort()));
    }
}

} // namespace hq::sim
