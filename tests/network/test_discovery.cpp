#include "network/discovery.h"
#include "network/schrankip.h"
#include "sim/net_discovery_responder.h"

#include <QNetworkDatagram>
#include <QSignalSpy>
#include <QTest>
#include <QUdpSocket>

using hq::DiscoveryClient;
using hq::DiscoveryReply;

namespace {

// Polls until a poll brings something (memo lines or an entry) or the time is up.
DiscoveryReply pollForReply(DiscoveryClient& client, int timeoutMs = 3000) {
    QDeadlineTimer deadline(timeoutMs);
    while (!deadline.hasExpired()) {
        DiscoveryReply r = client.poll();
        if (!r.memoLines.isEmpty() || r.listEntry) {
            return r;
        }
        QTest::qWait(5);
    }
    return {};
}

} // namespace

class TestDiscovery : public QObject {
    Q_OBJECT
private slots:
    void decode_data();
    void decode();
    void addressOfListEntry();
    void formatSchrankip_data();
    void formatSchrankip();
    void plainSchrankip_data();
    void plainSchrankip();
    void parseDottedIPv4_data();
    void parseDottedIPv4();
    void localAddresses();
    void defaultsPointAtBroadcast();
    void pollBeforeSearchDoesNothing();
    void searchAndAnswersOnePerPoll();
    void secondSearchReusesSocket();
    void bindAddressChoice_data();
    void bindAddressChoice();
    void loopbackIsNeverBound();
    void bindingFollowsLocalAddressChoice();
    void completeSchrankip_data();
    void completeSchrankip();
    void oversizedDatagramGivesMemoLine();
};

void TestDiscovery::decode_data() {
    QTest::addColumn<QByteArray>("datagram");
    QTest::addColumn<QStringList>("memo");
    QTest::addColumn<QString>("entry"); // "<none>" when nothing is listed
    const QString from = QStringLiteral("192.168.1.50");

    QTest::newRow("with line end")
        << QByteArray("HQ3746 Raum 12\r\n")
        << QStringList{QStringLiteral("Received: HQ3746 Raum 12\r\n192.168.1.50")}
        << "192.168.1.50 - Raum 12";
    QTest::newRow("last byte always dropped")
        << QByteArray("HQ3746 Raum 12") << QStringList{"Received: HQ3746 Raum 12192.168.1.50"}
        << "192.168.1.50 - Raum 1";
    QTest::newRow("head only") << QByteArray("HQ3746")
                               << QStringList{"Received: HQ3746192.168.1.50"} << "192.168.1.50 - ";
    QTest::newRow("seven bytes") << QByteArray("HQ3746X")
                                 << QStringList{"Received: HQ3746X192.168.1.50"}
                                 << "192.168.1.50 - ";
    QTest::newRow("eight bytes") << QByteArray("HQ3746XY")
                                 << QStringList{"Received: HQ3746XY192.168.1.50"}
                                 << "192.168.1.50 - X";
    QTest::newRow("control bytes trimmed")
        << QByteArray("HQ3746\t\x01 Schrank 3 \x1F\x00\xFF", 22)
        << QStringList{QString::fromLatin1("Received: HQ3746\t\x01 Schrank 3 \x1F") + QChar(0) +
                       QChar(0xFF) + from}
        << "192.168.1.50 - Schrank 3";
    QTest::newRow("lower case not listed")
        << QByteArray("hq3746 Raum 12\r\n")
        << QStringList{"Received: hq3746 Raum 12\r\n192.168.1.50", "hq3746"} << "<none>";
    QTest::newRow("short reply") << QByteArray("ABC")
                                 << QStringList{"Received: ABC192.168.1.50", "ABC"} << "<none>";
    QTest::newRow("Windows-1252 description")
        << QByteArray("HQ3746 T\xFCr \x80!")
        << QStringList{QString::fromUtf8("Received: HQ3746 Tür €!192.168.1.50")}
        << QString::fromUtf8("192.168.1.50 - Tür €");
    QTest::newRow("empty datagram") << QByteArray() << QStringList{} << "<none>";
}

void TestDiscovery::decode() {
    QFETCH(QByteArray, datagram);
    QFETCH(QStringList, memo);
    QFETCH(QString, entry);
    const DiscoveryReply r = hq::decodeDiscoveryReply(datagram, QStringLiteral("192.168.1.50"));
    QCOMPARE(r.memoLines, memo);
    QCOMPARE(r.listEntry.value_or(QStringLiteral("<none>")), entry);
}

void TestDiscovery::addressOfListEntry() {
    QCOMPARE(hq::addressOfListEntry(QStringLiteral("10.0.0.7 - Schrank 3")),
             QStringLiteral("10.0.0.7"));
    QCOMPARE(hq::addressOfListEntry(QStringLiteral("10.0.0.7")), QStringLiteral("10.0.0.7"));
    QCOMPARE(*hq::formatSchrankip(hq::addressOfListEntry(QStringLiteral("10.0.0.7 - Schrank 3"))),
             QStringLiteral(" 10.  0.  0.  7"));
}

void TestDiscovery::formatSchrankip_data() {
    QTest::addColumn<QString>("dotted");
    QTest::addColumn<QString>("field"); // "<none>" when rejected
    QTest::newRow("mixed") << "192.168.1.50"
                           << "192.168.  1. 50";
    QTest::newRow("short groups") << "10.0.0.7"
                                  << " 10.  0.  0.  7";
    QTest::newRow("full") << "255.255.255.255"
                          << "255.255.255.255";
    QTest::newRow("blanks around") << " 1.2.3.4 "
                                   << "  1.  2.  3.  4";
    QTest::newRow("three groups") << "1.2.3"
                                  << "<none>";
    QTest::newRow("five groups") << "1.2.3.4.5"
                                 << "<none>";
    QTest::newRow("empty group") << "1..3.4"
                                 << "<none>";
    QTest::newRow("four digits") << "1000.2.3.4"
                                 << "<none>";
    QTest::newRow("letters") << "a.b.c.d"
                             << "<none>";
    QTest::newRow("empty") << ""
                           << "<none>";
}

void TestDiscovery::formatSchrankip() {
    QFETCH(QString, dotted);
    QFETCH(QString, field);
    const auto result = hq::formatSchrankip(dotted);
    QCOMPARE(result.value_or(QStringLiteral("<none>")), field);
    if (result) {
        QCOMPARE(result->size(), 15);
    }
}

void TestDiscovery::plainSchrankip_data() {
    QTest::addColumn<QString>("field");
    QTest::addColumn<QString>("plain");
    QTest::addColumn<bool>("empty");
    QTest::newRow("laid out") << "192.168.  1. 50"
                              << "192.168.1.50" << false;
    QTest::newRow("leading blanks") << " 10.  0.  0.  7"
                                    << "10.0.0.7" << false;
    QTest::newRow("empty field") << QString::fromLatin1(hq::kEmptySchrankip) << "..." << true;
    QTest::newRow("empty group") << "192.168.   . 50"
                                 << "192.168..50" << false;
    QTest::newRow("trailing blanks") << "1  .2  .3  .4  "
                                     << "1.2.3.4" << false;
}

void TestDiscovery::plainSchrankip() {
    QFETCH(QString, field);
    QFETCH(QString, plain);
    QFETCH(bool, empty);
    QCOMPARE(hq::plainSchrankip(field), plain);
    QCOMPARE(hq::isEmptySchrankip(field), empty);
}

void TestDiscovery::parseDottedIPv4_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("address"); // "<none>" when no address
    QTest::addColumn<bool>("dotted");     // made of digits, dots and blanks only
    QTest::newRow("plain") << "192.168.1.50"
                           << "192.168.1.50" << true;
    QTest::newRow("field text") << "192.168.  1. 50"
                                << "192.168.1.50" << true;
    QTest::newRow("leading zeros are decimal") << "010.000.000.077"
                                               << "10.0.0.77" << true;
    QTest::newRow("255") << "255.255.255.255"
                         << "255.255.255.255" << true;
    QTest::newRow("256") << "256.1.1.1"
                         << "<none>" << true;
    QTest::newRow("empty group") << "192.168.   . 50"
                                 << "<none>" << true;
    QTest::newRow("empty field") << "   .   .   .   "
                                 << "<none>" << true;
    QTest::newRow("host name") << "cabinet.local"
                               << "<none>" << false;
    QTest::newRow("hex") << "0x7f.0.0.1"
                         << "<none>" << false;
}

void TestDiscovery::parseDottedIPv4() {
    QFETCH(QString, text);
    QFETCH(QString, address);
    QFETCH(bool, dotted);
    const auto parsed = hq::parseDottedIPv4(text);
    QCOMPARE(parsed ? parsed->toString() : QStringLiteral("<none>"), address);
    QCOMPARE(hq::looksLikeDottedAddress(text), dotted);
}

void TestDiscovery::completeSchrankip_data() {
    QTest::addColumn<QString>("field");
    QTest::addColumn<bool>("complete");
    QTest::newRow("laid out") << "192.168.  1. 50" << true;
    QTest::newRow("three digits each") << "255.255.255.255" << true;
    QTest::newRow("digits where typing left them") << "1  .22 . 3 .4  " << true;
    QTest::newRow("empty field") << "   .   .   .   " << false;
    QTest::newRow("a group without a digit") << "192.168.   . 50" << false;
    QTest::newRow("last group empty") << "192.168.  1.   " << false;
    QTest::newRow("blank between digits") << "1 2.  3.  4.  5" << false;
    QTest::newRow("three groups") << "192.168.  1" << false;
    QTest::newRow("short group") << "192.168.1. 50" << false;
    QTest::newRow("letter") << "192.168.  a. 50" << false;
}

void TestDiscovery::completeSchrankip() {
    QFETCH(QString, field);
    QFETCH(bool, complete);
    QCOMPARE(hq::isCompleteSchrankip(field), complete);
}

void TestDiscovery::localAddresses() {
    QStringList list = hq::ListLocalAddresses();
    QVERIFY(list.contains(QStringLiteral("127.0.0.1")));
    QCOMPARE(list.removeDuplicates(), 0);
    for (const QString& a : list) {
        QCOMPARE(QHostAddress(a).protocol(), QAbstractSocket::IPv4Protocol);
    }
    QVERIFY(hq::isLocalIPv4Address(QStringLiteral("127.0.0.1")));
    QVERIFY(!hq::isLocalIPv4Address(QStringLiteral("127.0.0.01")));
    QVERIFY(!hq::isLocalIPv4Address(QStringLiteral("192.0.2.1"))); // documentation range
    QVERIFY(!hq::isLocalIPv4Address(QStringLiteral("Schrank")));
    QVERIFY(!hq::localHostName().isEmpty());
}

void TestDiscovery::defaultsPointAtBroadcast() {
    const DiscoveryClient client;
    QCOMPARE(client.targetAddress(), QHostAddress(QHostAddress::Broadcast));
    QCOMPARE(client.targetPort(), quint16(30303));
    QVERIFY(!client.isOpen());
}

void TestDiscovery::pollBeforeSearchDoesNothing() {
    DiscoveryClient client;
    const DiscoveryReply r = client.poll();
    QVERIFY(r.memoLines.isEmpty());
    QVERIFY(!r.listEntry);
    QVERIFY(!client.isOpen());
}

void TestDiscovery::searchAndAnswersOnePerPoll() {
    hq::sim::DiscoveryResponder responder;
    QVERIFY(responder.listen(QHostAddress::LocalHost, 0));
    responder.setDescription(" Raum 12\r");
    responder.setFinalByte('\n');
    responder.setAnswersPerRequest(3);
    QSignalSpy answered(&responder, &hq::sim::DiscoveryResponder::requestAnswered);

    DiscoveryClient client;
    client.setTargetAddress(QHostAddress::LocalHost);
    client.setTargetPort(responder.port());
    QCOMPARE(client.search(QStringLiteral("not an address")), std::nullopt);
    QVERIFY(client.isOpen());
    QVERIFY(answered.wait(2000));
    QCOMPARE(answered.first().at(1).value<quint16>(), client.localPort());

    // Three answers are queued; each poll takes exactly one.
    QStringList entries;
    QDeadlineTimer deadline(3000);
    while (entries.size() < 3 && !deadline.hasExpired()) {
        const DiscoveryReply r = client.poll();
        if (r.listEntry) {
            QCOMPARE(r.memoLines.size(), 1);
            QCOMPARE(r.memoLines.first(), QStringLiteral("Received: HQ3746 Raum 12\r\n127.0.0.1"));
            entries.append(*r.listEntry);
        } else {
            QVERIFY(r.memoLines.isEmpty());
            QTest::qWait(10);
        }
    }
    QCOMPARE(entries, QStringList(3, QStringLiteral("127.0.0.1 - Raum 12")));
    QVERIFY(!client.poll().listEntry);
}

void TestDiscovery::secondSearchReusesSocket() {
    hq::sim::DiscoveryResponder responder;
    QVERIFY(responder.listen(QHostAddress::LocalHost, 0));
    DiscoveryClient client;
    client.setTargetAddress(QHostAddress::LocalHost);
    client.setTargetPort(responder.port());
    QVERIFY(!client.search(QString()));
    const quint16 port = client.localPort();
    QVERIFY(!client.search(QString()));
    QCOMPARE(client.localPort(), port);
    QTRY_COMPARE(responder.requestsSeen(), 2);
    // Answers to both searches arrive on the same socket.
    int listed = 0;
    QDeadlineTimer deadline(3000);
    while (listed < 2 && !deadline.hasExpired()) {
        listed += client.poll().listEntry ? 1 : 0;
        QTest::qWait(5);
    }
    QCOMPARE(listed, 2);
}

void TestDiscovery::bindAddressChoice_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("bound"); // empty: left unbound
    QTest::newRow("a card that can broadcast") << "192.0.2.10"
                                               << "192.0.2.10";
    QTest::newRow("blanks around it") << " 192.0.2.10 "
                                      << "192.0.2.10";
    QTest::newRow("loopback, first in the resolver's list") << "127.0.0.1"
                                                            << "";
    QTest::newRow("Debian's 127.0.1.1 of the host name") << "127.0.1.1"
                                                         << "";
    QTest::newRow("card that is down") << "198.51.100.4"
                                       << "";
    QTest::newRow("point-to-point link without broadcast") << "10.8.0.2"
                                                           << "";
    QTest::newRow("no address of this PC") << "203.0.113.9"
                                           << "";
    QTest::newRow("not the exact form") << "192.000.2.10"
                                        << "";
    QTest::newRow("text") << "Schrank im Keller"
                          << "";
    QTest::newRow("empty box") << ""
                               << "";
}

void TestDiscovery::bindAddressChoice() {
    QFETCH(QString, text);
    QFETCH(QString, bound);
    using hq::InterfaceAddress;
    const QList<InterfaceAddress> cards = {
        {QHostAddress(QStringLiteral("127.0.0.1")), true, false, true},
        {QHostAddress(QStringLiteral("127.0.1.1")), true, false, true},
        {QHostAddress(QStringLiteral("192.0.2.10")), true, true, false},
        {QHostAddress(QStringLiteral("198.51.100.4")), false, true, false},
        {QHostAddress(QStringLiteral("10.8.0.2")), true, false, false},
    };
    const std::optional<QHostAddress> chosen = hq::discoveryBindAddress(text, cards);
    QCOMPARE(chosen.has_value(), !bound.isEmpty());
    if (chosen)
        QCOMPARE(*chosen, QHostAddress(bound));
}

void TestDiscovery::loopbackIsNeverBound() {
    // The PC's own list, as the LAN tab fills ComboBox1: choosing 127.0.0.1 (often the first
    // entry) leaves the socket unbound, so the broadcast is not kept on loopback.
    hq::sim::DiscoveryResponder responder;
    QVERIFY(responder.listen(QHostAddress::LocalHost, 0));
    DiscoveryClient client;
    client.setTargetAddress(QHostAddress::LocalHost);
    client.setTargetPort(responder.port());
    QVERIFY(hq::isLocalIPv4Address(QStringLiteral("127.0.0.1")));
    QVERIFY(!client.search(QStringLiteral("127.0.0.1")));
    QCOMPARE(client.localAddress(), QHostAddress(QHostAddress::AnyIPv4));
    QVERIFY(pollForReply(client).listEntry.has_value());
}

void TestDiscovery::bindingFollowsLocalAddressChoice() {
    hq::sim::DiscoveryResponder responder;
    QVERIFY(responder.listen(QHostAddress::LocalHost, 0));
    QSignalSpy answered(&responder, &hq::sim::DiscoveryResponder::requestAnswered);
    DiscoveryClient client;
    client.setTargetAddress(QHostAddress::LocalHost);
    client.setTargetPort(responder.port());
    // A card that can broadcast, given here as 127.0.0.1 so that the test stays on loopback.
    client.setInterfaceLister([] {
        return QList<hq::InterfaceAddress>{
            {QHostAddress(QHostAddress::LocalHost), true, true, false}};
    });

    QVERIFY(!client.search(QStringLiteral("127.0.0.1")));
    QCOMPARE(client.localAddress(), QHostAddress(QHostAddress::LocalHost));
    QVERIFY(answered.wait(2000));
    QCOMPARE(answered.last().at(0).value<QHostAddress>(), QHostAddress(QHostAddress::LocalHost));
    QVERIFY(pollForReply(client).listEntry.has_value());

    QVERIFY(!client.search(QStringLiteral("Schrank im Keller")));
    QCOMPARE(client.localAddress(), QHostAddress(QHostAddress::AnyIPv4));
    QVERIFY(answered.wait(2000));
    QVERIFY(pollForReply(client).listEntry.has_value());
}

void TestDiscovery::oversizedDatagramGivesMemoLine() {
    DiscoveryClient client;
    QUdpSocket sink; // a target that ignores the request
    QVERIFY(sink.bind(QHostAddress::LocalHost, 0));
    client.setTargetAddress(QHostAddress::LocalHost);
    client.setTargetPort(sink.localPort());
    QVERIFY(!client.search(QStringLiteral("127.0.0.1")));
    QUdpSocket sender;
    const QByteArray big = "HQ3746" + QByteArray(9000, 'x');
    QCOMPARE(sender.writeDatagram(big, QHostAddress::LocalHost, client.localPort()), big.size());
    sender.writeDatagram("HQ3746 next!", QHostAddress::LocalHost, client.localPort());
    DiscoveryReply r;
    r = pollForReply(client);
    QVERIFY(r.memoLines.size() > 0);
    QVERIFY(!r.listEntry);
    QVERIFY2(r.memoLines.first().startsWith(QStringLiteral("Socket-Fehler # ")),
             qPrintable(r.memoLines.join(u'|')));
    // The next datagram is taken normally at the next poll.
    r = pollForReply(client);
    QVERIFY(r.listEntry.has_value());
    QCOMPARE(*r.listEntry, QStringLiteral("127.0.0.1 - next"));
}

QTEST_GUILESS_MAIN(TestDiscovery)
#include "test_discovery.moc"
