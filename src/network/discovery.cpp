#include "network/discovery.h"

#include "cabinet/identity.h"
#include "localization/windows1252.h"

#include <QHostInfo>
#include <QNetworkDatagram>
#include <QNetworkInterface>
#include <QUdpSocket>

namespace hq {
namespace {

const QByteArrayView kCabinetHead(cabinet::kProductString.data(),
                                  qsizetype(cabinet::kProductString.size()));

QString DottedIPv4(const QHostAddress& address) {
    bool ok = false;
    const quint32 ip = address.toIPv4Address(&ok);
    return ok ? QHostAddress(ip).toString() : address.toString();
}

QList<QHostAddress> InterfaceIPv4Addresses() {
    QList<QHostAddress> result;
    for (const QNetworkInterface& nif : QNetworkInterface::allInterfaces()) {
        if (!nif.flags().testFlag(QNetworkInterface::IsUp)) {
            continue;
        }
        for (const QNetworkAddressEntry& entry : nif.addressEntries()) {
            if (entry.ip().protocol() == QAbstractSocket::IPv4Protocol) {
                result.append(entry.ip());
            }
        }
    }
    return result;
}

} // namespace

DiscoveryReply DecodeDiscoveryReply(const QByteArray& datagram, const QString& sender) {
    DiscoveryReply reply;
    if (datagram.isEmpty()) {
        return reply;
    }
    reply.memoLines.append(QStringLiteral("Received: ") + DecodeWindows1252(datagram) + sender);
    const QByteArrayView bytes(datagram);
    const QByteArrayView head = bytes.first(std::min<qsizetype>(6, bytes.size()));
    QByteArrayView description;
    if (bytes.size() > 7) {
        description = bytes.sliced(6, bytes.size() - 7);
    }
    while (!description.isEmpty() && static_cast<unsigned char>(description.front()) <= 0x20) {
        description = description.sliced(1);
    }
    while (!description.isEmpty() && static_cast<unsigned char>(description.back()) <= 0x20) {
        description.chop(1);
    }
    if (head == kCabinetHead) {
        reply.listEntry = sender + QStringLiteral(" - ") + DecodeWindows1252(description);
    } else {
        reply.memoLines.append(DecodeWindows1252(head));
    }
    return reply;
}

QString AddressOfListEntry(const QString& entry) {
    const qsizetype blank = entry.indexOf(u' ');
    return blank < 0 ? entry : entry.first(blank);
}

QString LocalHostName() {
    return QHostInfo::localHostName();
}

QStringList ListLocalAddresses() {
    QStringList list;
    const QString host = LocalHostName();
    if (!host.isEmpty()) {
        // The resolver of the operating system, as a name look-up of the host name gives it.
        const QHostInfo info = QHostInfo::fromName(host);
        for (const QHostAddress& a : info.addresses()) {
            if (a.protocol() == QAbstractSocket::IPv4Protocol && !list.contains(a.toString())) {
                list.append(a.toString());
            }
        }
    }
    for (const QHostAddress& a : InterfaceIPv4Addresses()) {
        if (!list.contains(a.toString())) {
            list.append(a.toString());
        }
    }
    return list;
}

QList<InterfaceAddress> SystemInterfaceAddresses() {
    QList<InterfaceAddress> result;
    for (const QNetworkInterface& nif : QNetworkInterface::allInterfaces()) {
        const auto flags = nif.flags();
        for (const QNetworkAddressEntry& entry : nif.addressEntries()) {
            if (entry.ip().protocol() == QAbstractSocket::IPv4Protocol) {
                result.append({entry.ip(), flags.testFlag(QNetworkInterface::IsUp),
                               flags.testFlag(QNetworkInterface::CanBroadcast),
                               flags.testFlag(QNetworkInterface::IsLoopBack)});
            }
        }
    }
    return result;
}

std::optional<QHostAddress> DiscoveryBindAddress(const QString& localAddressText,
                                                 const QList<InterfaceAddress>& interfaces) {
    const QString text = localAddressText.trimmed();
    const QHostAddress wanted(text);
    if (wanted.protocol() != QAbstractSocket::IPv4Protocol || wanted.toString() != text) {
        return std::nullopt;
    }
    for (const InterfaceAddress& a : interfaces) {
        if (a.ip == wanted && a.up && a.canBroadcast && !a.loopback) {
            return wanted;
        }
    }
    return std::nullopt;
}

bool IsLocalIPv4Address(const QString& text) {
    const QHostAddress wanted(text.trimmed());
    if (wanted.protocol() != QAbstractSocket::IPv4Protocol || wanted.toString() != text.trimmed()) {
        return false;
    }
    return InterfaceIPv4Addresses().contains(wanted);
}

QString SocketErrorText(int code, const QString& description) {
    return QStringLiteral("Socket-Fehler # %1\n%2").arg(code).arg(description);
}

DiscoveryClient::DiscoveryClient(QObject* parent) : QObject(parent) {}

DiscoveryClient::~DiscoveryClient() = default;

QHostAddress DiscoveryClient::localAddress() const {
    return m_socket ? m_socket->localAddress() : QHostAddress();
}

quint16 DiscoveryClient::localPort() const {
    return m_socket ? m_socket->localPort() : 0;
}

std::optional<QString> DiscoveryClient::OpenSocket(const QHostAddress& bindAddress) {
    auto socket = std::make_unique<QUdpSocket>();
    // Qt switches SO_BROADCAST on for every UDP socket it creates.
    if (!socket->bind(bindAddress, 0)) {
        const QString reason = socket->errorString();
        if (socket->error() == QAbstractSocket::UnsupportedSocketOperationError ||
            socket->error() == QAbstractSocket::SocketResourceError) {
            return QStringLiteral("Socket kann nicht zugewiesen werden.");
        }
        return SocketErrorText(static_cast<int>(socket->error()), reason);
    }
    m_socket = std::move(socket);
    m_boundTo = bindAddress;
    return std::nullopt;
}

std::optional<QString> DiscoveryClient::Search(const QString& localAddressText) {
    const QHostAddress wanted =
        DiscoveryBindAddress(localAddressText,
                             m_interfaces ? m_interfaces() : QList<InterfaceAddress>())
            .value_or(QHostAddress(QHostAddress::AnyIPv4));
    if (!m_socket || m_boundTo != wanted) {
        m_socket.reset();
        if (auto error = OpenSocket(wanted)) {
            return error;
        }
    }
    const QByteArray request(kDiscoveryRequest);
    const qint64 sent = m_socket->writeDatagram(request, m_target, m_port);
    if (sent < 0) {
        if (m_socket->error() == QAbstractSocket::DatagramTooLargeError) {
            return QStringLiteral("Package-Größe zu hoch");
        }
        return SocketErrorText(static_cast<int>(m_socket->error()), m_socket->errorString());
    }
    if (sent != request.size()) {
        return QStringLiteral("Es wurden nicht alle Bytes gesendet.");
    }
    return std::nullopt;
}

DiscoveryReply DiscoveryClient::Poll() {
    if (!m_socket || !m_socket->hasPendingDatagrams()) {
        return {};
    }
    const qint64 size = m_socket->pendingDatagramSize();
    if (size > kDiscoveryReceiveBuffer) {
        m_socket->readDatagram(nullptr, 0); // drops the datagram
        DiscoveryReply reply;
        reply.memoLines = SocketErrorText(static_cast<int>(QAbstractSocket::DatagramTooLargeError),
                                          QStringLiteral("Datagramm mit %1 Bytes verworfen "
                                                         "(höchstens %2 Bytes).")
                                              .arg(size)
                                              .arg(kDiscoveryReceiveBuffer))
                              .split(u'\n');
        return reply;
    }
    const QNetworkDatagram datagram = m_socket->receiveDatagram(kDiscoveryReceiveBuffer);
    if (!datagram.isValid()) {
        DiscoveryReply reply;
        reply.memoLines =
            SocketErrorText(static_cast<int>(m_socket->error()), m_socket->errorString())
                .split(u'\n');
        return reply;
    }
    return DecodeDiscoveryReply(datagram.data(), DottedIPv4(datagram.senderAddress()));
}

} // namespace hq
