// The discovery socket's local address choice on a PC with two network cards. The test makes its
// own network namespaces: "pc" with two veth links, each leading to a namespace with one cabinet
// (a discovery responder on port 30303). Every datagram, the limited broadcast included, stays
// inside these namespaces; nothing is created in or sent from the namespace the test started in.
// Needs root (CAP_SYS_ADMIN and CAP_NET_ADMIN) and the ip tool; skipped otherwise.
#include "network/discovery.h"
#include "sim/net_discovery_responder.h"

#include <QProcess>
#include <QStandardPaths>
#include <QTest>

#ifdef Q_OS_LINUX
#include <fcntl.h>
#include <sched.h>
#include <unistd.h>
#endif

using hq::DiscoveryClient;
using hq::DiscoveryReply;

namespace {

#ifdef Q_OS_LINUX

// Runs ip with the arguments; the error output when it fails, empty on success.
QString runIp(const QStringList& arguments) {
    QProcess ip;
    ip.start(QStringLiteral("ip"), arguments);
    if (!ip.waitForFinished(10000)) {
        return QStringLiteral("ip %1: %2").arg(arguments.join(u' '), ip.errorString());
    }
    if (ip.exitStatus() != QProcess::NormalExit || ip.exitCode() != 0) {
        return QStringLiteral("ip %1: %2")
            .arg(arguments.join(u' '), QString::fromLocal8Bit(ip.readAllStandardError()).trimmed());
    }
    return {};
}

// While it lives, the calling thread works in another network namespace: sockets made meanwhile
// belong to that namespace and stay there.
class InNamespace {
public:
    explicit InNamespace(const QString& name) {
        home_ = ::open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
        const int target = ::open(QByteArray("/run/netns/" + name.toLocal8Bit()).constData(),
                                  O_RDONLY | O_CLOEXEC);
        entered_ = home_ >= 0 && target >= 0 && ::setns(target, CLONE_NEWNET) == 0;
        if (target >= 0) {
            ::close(target);
        }
    }
    ~InNamespace() {
        if (entered_ && ::setns(home_, CLONE_NEWNET) != 0) {
            qFatal("cannot return to the test's own network namespace");
        }
        if (home_ >= 0) {
            ::close(home_);
        }
    }
    InNamespace(const InNamespace&) = delete;
    InNamespace& operator=(const InNamespace&) = delete;
    bool entered() const { return entered_; }

private:
    int home_ = -1;
    bool entered_ = false;
};

#endif

} // namespace

class TestDiscoveryNetns : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void boundToCardSendsThroughIt_data();
    void boundToCardSendsThroughIt();
    void changingTheCardMakesANewSocket();

private:
#ifdef Q_OS_LINUX
    // Asks for a search from inside "pc" and waits until the cabinets had time to answer.
    std::optional<QString> search(DiscoveryClient& client, const QString& localAddress);
    void takeAnswers(DiscoveryClient& client, QStringList* entries);
#endif

    QString pc_, cab1_, cab2_;
    bool made_ = false;
    std::unique_ptr<hq::sim::DiscoveryResponder> responder1_;
    std::unique_ptr<hq::sim::DiscoveryResponder> responder2_;
};

void TestDiscoveryNetns::initTestCase() {
#ifndef Q_OS_LINUX
    QSKIP("network namespaces are a Linux feature");
#else
    if (::geteuid() != 0) {
        QSKIP("needs root to make network namespaces (run as root to test the card choice)");
    }
    if (QStandardPaths::findExecutable(QStringLiteral("ip")).isEmpty()) {
        QSKIP("needs the ip tool (iproute2) to make network namespaces");
    }
    const QString tag = QString::number(QCoreApplication::applicationPid());
    pc_ = QStringLiteral("hqpc") + tag;
    cab1_ = QStringLiteral("hqc1-") + tag;
    cab2_ = QStringLiteral("hqc2-") + tag;
    if (const QString error = runIp({"netns", "add", pc_}); !error.isEmpty()) {
        QSKIP(qPrintable(QStringLiteral("cannot make a network namespace here: ") + error));
    }
    made_ = true;
    // pc: card A 10.231.1.1 -> cabinet 1 at 10.231.1.2, card B 10.231.2.1 -> cabinet 2 at
    // 10.231.2.2; the veth ends are made directly inside the namespaces.
    const QString cardA = QStringLiteral("hqa") + tag;
    const QString cardB = QStringLiteral("hqb") + tag;
    const QString cab1 = QStringLiteral("hqx") + tag;
    const QString cab2 = QStringLiteral("hqy") + tag;
    const QList<QStringList> steps = {
        {"netns", "add", cab1_},
        {"netns", "add", cab2_},
        {"link", "add", cardA, "netns", pc_, "type", "veth", "peer", "name", cab1, "netns", cab1_},
        {"link", "add", cardB, "netns", pc_, "type", "veth", "peer", "name", cab2, "netns", cab2_},
        {"-n", pc_, "addr", "add", "10.231.1.1/24", "dev", cardA},
        {"-n", pc_, "addr", "add", "10.231.2.1/24", "dev", cardB},
        {"-n", cab1_, "addr", "add", "10.231.1.2/24", "dev", cab1},
        {"-n", cab2_, "addr", "add", "10.231.2.2/24", "dev", cab2},
        {"-n", pc_, "link", "set", "lo", "up"},
        {"-n", pc_, "link", "set", cardA, "up"},
        {"-n", pc_, "link", "set", cardB, "up"},
        {"-n", cab1_, "link", "set", cab1, "up"},
        {"-n", cab2_, "link", "set", cab2, "up"},
        // An unbound socket's broadcast leaves through card A.
        {"-n", pc_, "route", "add", "default", "dev", cardA},
    };
    for (const QStringList& step : steps) {
        const QString error = runIp(step);
        QVERIFY2(error.isEmpty(), qPrintable(error));
    }

    // One cabinet in each cabinet namespace, listening on every address there.
    {
        InNamespace in(cab1_);
        QVERIFY(in.entered());
        responder1_ = std::make_unique<hq::sim::DiscoveryResponder>();
        QVERIFY(responder1_->listen(QHostAddress::AnyIPv4, hq::kDiscoveryPort));
        responder1_->setDescription(" Schrank 1\r");
        responder1_->setFinalByte('\n');
    }
    {
        InNamespace in(cab2_);
        QVERIFY(in.entered());
        responder2_ = std::make_unique<hq::sim::DiscoveryResponder>();
        QVERIFY(responder2_->listen(QHostAddress::AnyIPv4, hq::kDiscoveryPort));
        responder2_->setDescription(" Schrank 2\r");
        responder2_->setFinalByte('\n');
    }
#endif
}

void TestDiscoveryNetns::cleanupTestCase() {
#ifdef Q_OS_LINUX
    responder1_.reset();
    responder2_.reset();
    if (made_) {
        // Deleting a namespace removes the veth ends inside it.
        for (const QString& ns : {pc_, cab1_, cab2_}) {
            runIp({"netns", "del", ns});
        }
    }
#endif
}

#ifdef Q_OS_LINUX
std::optional<QString> TestDiscoveryNetns::search(DiscoveryClient& client,
                                                  const QString& localAddress) {
    std::optional<QString> error;
    {
        // The choice is checked against the cards of "pc", and the socket is made there.
        InNamespace in(pc_);
        if (!in.entered()) {
            return QStringLiteral("cannot enter %1").arg(pc_);
        }
        error = client.search(localAddress);
    }
    // Answers travel over the veth links; the responders answer from the event loop.
    QTest::qWait(300);
    return error;
}

void TestDiscoveryNetns::takeAnswers(DiscoveryClient& client, QStringList* entries) {
    for (int tick = 0; tick < 5; ++tick) {
        const DiscoveryReply reply = client.poll();
        if (reply.listEntry) {
            entries->append(*reply.listEntry);
        }
    }
}
#endif

void TestDiscoveryNetns::boundToCardSendsThroughIt_data() {
    QTest::addColumn<QString>("choice");
    QTest::addColumn<QHostAddress>("bound");
    QTest::addColumn<QStringList>("entries");
    QTest::newRow("card A") << QStringLiteral("10.231.1.1") << QHostAddress("10.231.1.1")
                            << QStringList{QStringLiteral("10.231.1.2 - Schrank 1")};
    QTest::newRow("card B") << QStringLiteral("10.231.2.1") << QHostAddress("10.231.2.1")
                            << QStringList{QStringLiteral("10.231.2.2 - Schrank 2")};
    QTest::newRow("blanks around card B")
        << QStringLiteral(" 10.231.2.1 ") << QHostAddress("10.231.2.1")
        << QStringList{QStringLiteral("10.231.2.2 - Schrank 2")};
    // No card of this PC: unbound, the broadcast takes the default route (card A).
    QTest::newRow("not a card of this PC")
        << QStringLiteral("10.231.3.1") << QHostAddress(QHostAddress::AnyIPv4)
        << QStringList{QStringLiteral("10.231.1.2 - Schrank 1")};
    QTest::newRow("no address") << QStringLiteral("Netzwerkkarte 2")
                                << QHostAddress(QHostAddress::AnyIPv4)
                                << QStringList{QStringLiteral("10.231.1.2 - Schrank 1")};
}

void TestDiscoveryNetns::boundToCardSendsThroughIt() {
#ifdef Q_OS_LINUX
    QFETCH(QString, choice);
    QFETCH(QHostAddress, bound);
    QFETCH(QStringList, entries);
    const int seen1 = responder1_->requestsSeen();
    const int seen2 = responder2_->requestsSeen();
    DiscoveryClient client; // to 255.255.255.255:30303, inside "pc" only
    QCOMPARE(client.targetAddress(), QHostAddress(QHostAddress::Broadcast));
    const std::optional<QString> error = search(client, choice);
    QVERIFY2(!error, qPrintable(error.value_or(QString())));
    QCOMPARE(client.localAddress(), bound);
    QStringList got;
    takeAnswers(client, &got);
    QCOMPARE(got, entries);
    // Only the cabinet behind the card heard the request.
    const bool viaA = entries.first().startsWith(QStringLiteral("10.231.1."));
    QCOMPARE(responder1_->requestsSeen() - seen1, viaA ? 1 : 0);
    QCOMPARE(responder2_->requestsSeen() - seen2, viaA ? 0 : 1);
#endif
}

void TestDiscoveryNetns::changingTheCardMakesANewSocket() {
#ifdef Q_OS_LINUX
    // One client, the choice changed between searches: each search leaves through the chosen
    // card and its answer comes back on the socket of that search.
    DiscoveryClient client;
    QStringList got;
    QVERIFY(!search(client, QStringLiteral("10.231.1.1")));
    const quint16 firstPort = client.localPort();
    takeAnswers(client, &got);
    QVERIFY(!search(client, QStringLiteral("10.231.1.1")));
    QCOMPARE(client.localPort(), firstPort); // same choice: same socket
    takeAnswers(client, &got);
    QVERIFY(!search(client, QStringLiteral("10.231.2.1")));
    QCOMPARE(client.localAddress(), QHostAddress("10.231.2.1"));
    takeAnswers(client, &got);
    QCOMPARE(got, (QStringList{QStringLiteral("10.231.1.2 - Schrank 1"),
                               QStringLiteral("10.231.1.2 - Schrank 1"),
                               QStringLiteral("10.231.2.2 - Schrank 2")}));
#endif
}

QTEST_GUILESS_MAIN(TestDiscoveryNetns)
#include "test_discovery_netns.moc"
