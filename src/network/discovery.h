#pragma once

#include <QByteArray>
#include <QHostAddress>
#include <QObject>
#include <QString>
#include <QStringList>

#include <functional>
#include <memory>
#include <optional>

class QUdpSocket;

namespace hq {

inline constexpr quint16 kDiscoveryPort = 30303;
inline constexpr auto kDiscoveryRequest = "Discovery: Who is out there?";
inline constexpr auto kDiscoverySentLine = "Sending Discovery: Who is out there?";
// Largest datagram the poll takes; longer ones are dropped with a memo line.
inline constexpr qint64 kDiscoveryReceiveBuffer = 8192;

// What one received datagram adds to the window: lines for the network pane and, for a cabinet's
// answer, one entry for the cabinet list.
struct DiscoveryReply {
    QStringList memoLines;
    std::optional<QString> listEntry;
};

// Decodes one datagram from sender (dotted IPv4 text). An empty datagram gives nothing. The memo
// gets "Received: " + the bytes + the sender; an answer whose first six bytes are "HQ3746" is
// listed as "<sender> - <description>", where the description is bytes 7 .. n-1 with bytes <= 0x20
// trimmed at both ends; any other datagram adds its first six bytes as a second memo line.
// Bytes are Windows-1252 text.
DiscoveryReply decodeDiscoveryReply(const QByteArray& datagram, const QString& sender);

// The cabinet address of a list entry: the text before its first blank.
QString addressOfListEntry(const QString& entry);

// The PC's host name; empty when it cannot be had.
QString localHostName();
// The PC's IPv4 addresses in dotted form: those the resolver gives for the host name, in its order,
// followed by those of the network interfaces that are up and not yet listed.
QStringList ListLocalAddresses();
// True when text is exactly one of the PC's IPv4 addresses (of an interface that is up).
bool isLocalIPv4Address(const QString& text);

// One IPv4 address of a network interface of the PC, with what the interface can do.
struct InterfaceAddress {
    QHostAddress ip;
    bool up = false;
    bool canBroadcast = false;
    bool loopback = false;
};
// The IPv4 addresses of the PC's network interfaces, as the operating system lists them.
QList<InterfaceAddress> systemInterfaceAddresses();

// The local address a discovery search binds its socket to for the text of ComboBox1: the address
// when the text is exactly the address of an interface that is up, can broadcast and is not
// loopback (a broadcast bound to 127.0.0.1 never leaves the PC); otherwise nothing, and the socket
// stays unbound so that the request follows the default route.
std::optional<QHostAddress> discoveryBindAddress(const QString& localAddressText,
                                                 const QList<InterfaceAddress>& interfaces);

// The discovery socket of the LAN tab. The socket is made by the first search and kept until the
// object is destroyed; answers are taken one at a time with Poll(). Nothing here blocks.
class DiscoveryClient : public QObject {
    Q_OBJECT
public:
    explicit DiscoveryClient(QObject* parent = nullptr);
    ~DiscoveryClient() override;

    // Where the request goes; 255.255.255.255:30303 unless changed (tests use loopback).
    QHostAddress targetAddress() const { return target_; }
    void setTargetAddress(const QHostAddress& address) { target_ = address; }
    quint16 targetPort() const { return port_; }
    void setTargetPort(quint16 port) { port_ = port; }

    // Where the interface list comes from (SystemInterfaceAddresses unless changed; tests give
    // their own).
    void setInterfaceLister(std::function<QList<InterfaceAddress>()> lister) {
        interfaces_ = std::move(lister);
    }

    // Sends the request. When DiscoveryBindAddress gives an address for localAddressText the
    // socket is bound to it (so the request leaves through that network card); otherwise the
    // socket is left unbound (every address, an ephemeral port). A change of that choice makes a
    // new socket. Returns an error text (for the window's error box) or nothing on success.
    std::optional<QString> search(const QString& localAddressText);

    // True once the first search made the socket.
    bool isOpen() const { return socket_ != nullptr; }
    // The local address and port the socket is bound to (null/0 before the first search).
    QHostAddress localAddress() const;
    quint16 localPort() const;

    // Takes at most one waiting datagram, without waiting. Nothing before the first search or when
    // nothing is queued. A receive failure gives memo lines that say so.
    DiscoveryReply poll();

private:
    std::optional<QString> openSocket(const QHostAddress& bindAddress);

    std::unique_ptr<QUdpSocket> socket_;
    QHostAddress boundTo_;
    QHostAddress target_{QHostAddress::Broadcast};
    quint16 port_ = kDiscoveryPort;
    std::function<QList<InterfaceAddress>()> interfaces_ = systemInterfaceAddresses;
};

// Socket error text in the window's format: "Socket-Fehler # <code>", line break, description.
QString socketErrorText(int code, const QString& description);

} // namespace hq
