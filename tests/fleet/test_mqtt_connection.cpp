// The broker connection over libmosquitto, in process, against Debian's mosquitto on a free
// loopback port: it connects in the background and delivers its events on the owner's thread;
// a broker that goes away and comes back is connected to again; a refused attempt is reported
// and tried again; stopping ends at once, also while the broker never answers.
#include "fleet/mqtt_connection.h"

#include <QCoreApplication>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>
#include <QThread>

#include <pwd.h>
#include <unistd.h>

#include <chrono>
#include <set>

using namespace hq::fleet;

namespace {

constexpr int kWait = 10000;

struct Broker {
    QTemporaryDir dir;
    quint16 port = 0;
    QProcess process;

    bool start() {
        if (port == 0) {
            QTcpServer s;
            s.listen(QHostAddress::LocalHost, 0);
            port = s.serverPort();
        }
        QFile conf(dir.path() + "/mosquitto.conf");
        if (!conf.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return false;
        conf.write(QStringLiteral("listener %1 127.0.0.1\nallow_anonymous true\n"
                                  "log_type error\nuser %2\n")
                       .arg(port)
                       .arg(QString::fromLocal8Bit(getpwuid(geteuid())->pw_name))
                       .toUtf8());
        conf.close();
        process.start(QStandardPaths::findExecutable("mosquitto", {"/usr/sbin", "/usr/bin"}),
                      {"-c", dir.path() + "/mosquitto.conf"});
        if (!process.waitForStarted(5000))
            return false;
        for (int i = 0; i < 100; ++i) {
            QTcpSocket probe;
            probe.connectToHost(QHostAddress::LocalHost, port);
            if (probe.waitForConnected(100))
                return true;
            QThread::msleep(50);
        }
        return false;
    }
    void stop() {
        process.terminate();
        if (!process.waitForFinished(5000))
            process.kill();
        process.waitForFinished();
    }
    ~Broker() {
        if (process.state() != QProcess::NotRunning)
            stop();
    }
};

struct Events {
    int connected = 0;
    QStringList disconnected;
    std::set<int> published;
    bool onOwnerThread = true;

    void attach(MqttConnection& c) {
        const QThread* owner = QThread::currentThread();
        c.onConnected = [this, owner] {
            onOwnerThread = onOwnerThread && QThread::currentThread() == owner;
            ++connected;
        };
        c.onDisconnected = [this, owner](const std::string& why) {
            onOwnerThread = onOwnerThread && QThread::currentThread() == owner;
            disconnected << QString::fromStdString(why);
        };
        c.onPublished = [this, owner](int mid) {
            onOwnerThread = onOwnerThread && QThread::currentThread() == owner;
            published.insert(mid);
        };
    }
};

MqttOptions options(quint16 port) {
    MqttOptions o;
    o.port = port;
    o.clientId = "test-connection";
    o.reconnectMin = std::chrono::milliseconds(100);
    o.reconnectMax = std::chrono::milliseconds(400);
    return o;
}

} // namespace

class TestMqttConnection : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() {
        if (!mqttSupported())
            QSKIP("this build has no MQTT library");
        if (QStandardPaths::findExecutable("mosquitto", {"/usr/sbin", "/usr/bin"}).isEmpty()) {
            if (qEnvironmentVariable("CI") == QLatin1String("true"))
                QFAIL("mosquitto is not installed (scripts/deps.sh test)");
            QSKIP("mosquitto is not installed");
        }
    }

    void reconnectsAfterTheBrokerCameBack() {
        Broker broker;
        QVERIFY(broker.start());
        auto c = makeMosquittoConnection(options(broker.port));
        Events e;
        e.attach(*c);
        QVERIFY(!c->publish("t/x", "early", 1, false).ok()); // not connected yet
        QVERIFY(c->start().ok());
        QTRY_COMPARE_WITH_TIMEOUT(e.connected, 1, kWait);
        auto first = c->publish("t/x", "one", 1, false);
        QVERIFY(first.ok());
        QTRY_VERIFY_WITH_TIMEOUT(e.published.count(*first), kWait);

        broker.stop();
        QTRY_VERIFY_WITH_TIMEOUT(!e.disconnected.isEmpty(), kWait);
        QVERIFY(!c->connected());
        QVERIFY(!c->publish("t/x", "while away", 1, false).ok());
        QVERIFY(broker.start());
        QTRY_COMPARE_WITH_TIMEOUT(e.connected, 2, kWait);
        auto second = c->publish("t/x", "two", 1, true);
        QVERIFY(second.ok());
        QTRY_VERIFY_WITH_TIMEOUT(e.published.count(*second), kWait);
        QVERIFY(e.onOwnerThread);

        const auto t0 = std::chrono::steady_clock::now();
        c->stop();
        QVERIFY(std::chrono::steady_clock::now() - t0 < std::chrono::seconds(2));
        QVERIFY(!c->connected());
    }

    // A peer that takes the connection but never answers it: the attempt hangs, and stop() still
    // returns quickly.
    void stopEndsAlsoWhileTheBrokerNeverAnswers() {
        QTcpServer silent;
        QVERIFY(silent.listen(QHostAddress::LocalHost, 0));
        auto c = makeMosquittoConnection(options(silent.serverPort()));
        Events e;
        e.attach(*c);
        QVERIFY(c->start().ok());
        QTRY_VERIFY_WITH_TIMEOUT(silent.hasPendingConnections(), kWait);
        QTest::qWait(200);
        QCOMPARE(e.connected, 0);
        const auto t0 = std::chrono::steady_clock::now();
        c.reset();
        QVERIFY(std::chrono::steady_clock::now() - t0 < std::chrono::seconds(4));
    }

    void refusedAttemptsAreReportedAndTriedAgain() {
        QTcpServer s;
        s.listen(QHostAddress::LocalHost, 0);
        const quint16 closed = s.serverPort();
        s.close();
        auto c = makeMosquittoConnection(options(closed));
        Events e;
        e.attach(*c);
        QVERIFY(c->start().ok());
        QTRY_VERIFY_WITH_TIMEOUT(e.disconnected.size() >= 2, kWait); // tried again
        QVERIFY2(e.disconnected.first().contains(QString::number(closed)),
                 qPrintable(e.disconnected.first()));
        QCOMPARE(e.connected, 0);
    }
};

QTEST_GUILESS_MAIN(TestMqttConnection)
#include "test_mqtt_connection.moc"
