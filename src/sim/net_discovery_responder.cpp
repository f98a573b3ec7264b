#include "sim/net_discovery_responder.h"

#include "cabinet/identity.h"

#include <QNetworkDatagram>
#include <QUdpSocket>

namespace hq::sim {

DiscoveryResponder::DiscoveryResponder(QObject* parent) : QObject(parent) {}

DiscoveryResponder::~DiscoveryResponder() = default;

bool DiscoveryResponder::Listen(const QHostAddress& address, quint16 port) {
    auto socket = std::make_unique<QUdpSocket>();
    if (!socket->bind(address, port)) {
        return false;
    }
    connect(socket.get(), &QUdpSocket::readyRead, this, &DiscoveryResponder::OnReadyRead);
    m_socket = std::move(socket);
    return true;
}

quint16 DiscoveryResponder::port() const {
    return m_socket ? m_socket->localPort() : 0;
}

void DiscoveryResponder::OnReadyRead() {
    while (m_socket->hasPendingDatagrams()) {
        const QNetworkDatagram request = m_socket->receiveDatagram();
        if (request.data() != "Discovery: Who is out there?") {
            continue;
        }
        ++m_requests;
        const QByteArray answer =
            QByteArray(cabinet::kProductString.data(), qsizetype(cabinet::kProductString.size())) +
            m_description + m_finalByte;
        for (int i = 0; i < m_answers; ++i) {
            m_socket->writeDatagram(answer, request.senderAddress(), request.senderPort());
        }
        emit requestAnswered(request.senderAddress(), static_cast<quint16>(request.senderPort()));
    }
}

} // namespace hq::sim
