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

QString dottedIPv4(const QHostAddress& address) {
    bool ok = false;
    const quint32 ip = address.toIPv4Address(&ok);
    return ok ? QHostAddress(ip).toString() : address.toString();
}

QList<QHostAddress> interfaceIPv4Addresses() {
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

DiscoveryReply decodeDiscoveryReply(const QByteArray& datagram, const QString& sender) {
    DiscoveryReply reply;
    if (datagram.isEmpty()) {
        return reply;
    }
    reply.memoLines.append(QStringLiteral("Received: ") + decodeWindows1252(datagram) + sender);
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
        reply.listEntry = sender + QStringLiteral(" - ") + decodeWindows1252(description);
    } else {
        reply.memoLines.append(decodeWindows1252(head));
    }
    return reply;
}

QString addressOfListEntry(const QString& entry) {
    const qsizetype blank = entry.indexOf(u' ');
    return blank < 0 ? entry : entry.first(blank);
}

QString localHostName() {
    return QHostInfo::localHostName();
}

QStringList ListLocalAddresses() {
    QStringList list;
    const QString host = localHostName();
    if (!host.isEmpty()) {
        // The resolver of the operating system, as a name look-up of the host name gives it.
        const QHostInfo info = QHostInfo::fromName(host);
        for (const QHostAddress& a : info.addresses()) {
            if (a.protocol() == QAbstractSocket::IPv4Protocol && !list.contains(a.toString())) {
                list.append(a.toString());
            }
        }
    }
    for (const QHostAddress& a : interfaceIPv4Addresses()) {
        if (!list.contains(a.toString())) {
            list.append(a.toString());
        }
    }
    return list;
}

QList<InterfaceAddress> systemInterfaceAddresses() {
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

std::optional<QHostAddress> discoveryBindAddress(const QString& localAddressText,
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

bool isLocalIPv4Address(const QString& text) {
    const QHostAddress wanted(text.trimmed());
    if (wanted.protocol() != QAbstractSocket::IPv4Protocol || wanted.toString() != text.trimmed()) {
        return false;
    }
    return interfaceIPv4Addresses().contains(wanted);
}

QString socketErrorText(int code, const QString& description) {
    return QStringLiteral("Socket-Fehler # %1\n%2").arg(code).arg(description);
}

DiscoveryClient::DiscoveryClient(QObject* parent) : QObject(parent) {}

DiscoveryClient::~DiscoveryClient() = default;

QHostAddress DiscoveryClient::localAddress() const {
    return socket_ ? socket_->localAddress() : QHostAddress();
}

quint16 DiscoveryClient::localPort() const {
    return socket_ ? socket_->localPort() : 0;
}

std::optional<QString> DiscoveryClient::openSocket(const QHostAddress& bindAddress) {
    auto socket = std::make_unique<QUdpSocket>();
    // Qt switches SO_BROADCAST on for every UDP socket it creates.
    if (!socket->bind(bindAddress, 0)) {
        const QString reason = socket->errorString();
        if (socket->error() == QAbstractSocket::UnsupportedSocketOperationError ||
            socket->error() == QAbstractSocket::SocketResourceError) {
            return QStringLiteral("Socket kann nicht zugewiesen werden.");
        }
        return socketErrorText(static_cast<int>(socket->error()), reason);
    }
    socket_ = std::move(socket);
    boundTo_ = bindAddress;
    return std::nullopt;
}

std::optional<QString> DiscoveryClient::search(const QString& localAddressText) {
    const QHostAddress wanted =
        discoveryBindAddress(localAddressText,
                             interfaces_ ? interfaces_() : QList<InterfaceAddress>())
            .value_or(QHostAddress(QHostAddress::AnyIPv4));
    if (!socket_ || boundTo_ != wanted) {
        socket_.reset();
        if (auto error = openSocket(wanted)) {
            return error;
        }
    }
    const QByteArray request(kDiscoveryRequest);
    const qint64 sent = socket_->writeDatagram(request, target_, port_);
    if (sent < 0) {
        if (socket_->error() == QAbstractSocket::DatagramTooLargeError) {
            return QStringLiteral("Package-Größe zu hoch");
        }
        return socketErrorText(static_cast<int>(socket_->error()), socket_->errorString());
    }
    if (sent != request.size()) {
        return QStringLiteral("Es wurden nicht alle Bytes gesendet.");
    }
    return std::nullopt;
}

DiscoveryReply DiscoveryClient::poll() {
    if (!socket_ || !socket_->hasPendingDatagrams()) {
        return {};
    }
    const qint64 size = socket_->pendingDatagramSize();
    if (size > kDiscoveryReceiveBuffer) {
        socket_->readDatagram(nullptr, 0); // drops the datagram
        DiscoveryReply reply;
        reply.memoLines = socketErrorText(static_cast<int>(QAbstractSocket::DatagramTooLargeError),
                                          QStringLiteral("Datagramm mit %1 Bytes verworfen "
                                                         "(höchstens %2 Bytes).")
                                              .arg(size)
                                              .arg(kDiscoveryReceiveBuffer))
                              .split(u'\n');
        return reply;
    }
    const QNetworkDatagram datagram = socket_->receiveDatagram(kDiscoveryReceiveBuffer);
    if (!datagram.isValid()) {
        DiscoveryReply reply;
        reply.memoLines =
            socketErrorText(static_cast<int>(socket_->error()), socket_->errorString())
                .split(u'\n');
        return reply;
    }
    return decodeDiscoveryReply(datagram.data(), dottedIPv4(datagram.senderAddress()));
}

} // namespace hq
