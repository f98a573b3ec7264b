// hq3746ctl publish against a real broker: Debian's mosquitto with persistence, started on a
// free loopback port, and a subscriber with a persistent QoS 1 session. The broker is stopped and
// started again in the middle of a run, the publisher is killed and started again: every stored
// record arrives. The availability is retained and the broker's will says "offline" when the
// publisher dies; discovery messages are retained; TLS with a CA made here and a password file
// made with mosquitto_passwd work, and a wrong password is refused.
#include "history/archive_location.h"
#include "history/archive_reader.h"

#include <QDir>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTemporaryDir>
#include <QTest>

#include <mosquitto.h>

#include <csignal>
#include <map>
#include <mutex>
#include <pwd.h>
#include <set>
#include <unistd.h>

namespace {

constexpr int kWait = 15000;

bool needTools() {
    return qEnvironmentVariable("CI") == QLatin1String("true");
}

quint16 freePort() {
    QTcpServer s;
    s.listen(QHostAddress::LocalHost, 0);
    return s.serverPort();
}

QString tool(const char* name) {
    return QStandardPaths::findExecutable(
        QLatin1String(name), {QStringLiteral("/usr/sbin"), QStringLiteral("/usr/bin")});
}

// The broker, with its configuration and persistence in dir.
struct Broker {
    QString dir;
    quint16 port = 0;
    QString extra; // more configuration lines (TLS, passwords)
    QProcess process;

    bool start() {
        QFile conf(dir + "/mosquitto.conf");
        if (!conf.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return false;
        conf.write(QStringLiteral("listener %1 127.0.0.1\n"
                                  "persistence true\n"
                                  "persistence_location %2/\n"
                                  "autosave_interval 1\n"
                                  "log_dest stderr\n"
                                  "log_type error\n"
                                  // Run as root it would become the user "mosquitto", who
                                  // cannot read this test's private folder.
                                  "user %3\n")
                       .arg(port)
                       .arg(dir)
                       .arg(QString::fromLocal8Bit(getpwuid(geteuid())->pw_name))
                       .toUtf8());
        conf.write(extra.isEmpty() ? "allow_anonymous true\n" : extra.toUtf8());
        conf.close();
        process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        process.start(tool("mosquitto"), {"-c", dir + "/mosquitto.conf"});
        if (!process.waitForStarted(5000))
            return false;
        for (int i = 0; i < 100; ++i) { // until it listens
            QTcpSocket probe;
            probe.connectToHost(QHostAddress::LocalHost, port);
            if (probe.waitForConnected(100))
                return true;
            QTest::qWait(50);
        }
        return false;
    }
    void stop() {
        if (process.state() == QProcess::NotRunning)
            return;
        process.terminate(); // saves its persistence database
        if (!process.waitForFinished(5000))
            process.kill();
        process.waitForFinished(2000);
    }
    ~Broker() { stop(); }
};

// A subscriber over libmosquitto with a persistent session (clean session off, QoS 1), so that
// the broker keeps what arrives while it is away.
struct Subscriber {
    mosquitto* mosq = nullptr;
    std::mutex lock;
    std::map<std::string, std::set<qint64>> sequences; // per state topic
    std::map<std::string, std::string> last;           // newest payload per topic
    std::map<std::string, bool> retained;              // newest retain flag per topic
    std::atomic<int> connects{0};

    Subscriber(const std::string& id, quint16 port, const std::string& filter,
               const std::string& caFile = {}, const std::string& user = {},
               const std::string& password = {}) {
        mosq = mosquitto_new(id.c_str(), false, this);
        mosquitto_reconnect_delay_set(mosq, 1, 1, false);
        if (!caFile.empty())
            mosquitto_tls_set(mosq, caFile.c_str(), nullptr, nullptr, nullptr, nullptr);
        if (!user.empty())
            mosquitto_username_pw_set(mosq, user.c_str(), password.c_str());
        mosquitto_connect_callback_set(mosq, [](mosquitto* m, void* obj, int rc) {
            auto* self = static_cast<Subscriber*>(obj);
            if (rc == 0) {
                mosquitto_subscribe(m, nullptr, self->filter.c_str(), 1);
                ++self->connects;
            }
        });
        this->filter = filter;
        mosquitto_message_callback_set(mosq, [](mosquitto*, void* obj, const mosquitto_message* m) {
            auto* self = static_cast<Subscriber*>(obj);
            const std::string topic = m->topic;
            const std::string payload(static_cast<const char*>(m->payload),
                                      std::size_t(m->payloadlen));
            std::lock_guard<std::mutex> g(self->lock);
            self->last[topic] = payload;
            self->retained[topic] = m->retain;
            if (topic.ends_with("/state"))
                self->sequences[topic].insert(
                    QJsonDocument::fromJson(QByteArray::fromStdString(payload))
                        .object()
                        .value("sequence")
                        .toInteger(-1));
        });
        mosquitto_connect_async(mosq, "127.0.0.1", port, 10);
        mosquitto_loop_start(mosq);
    }
    ~Subscriber() {
        mosquitto_disconnect(mosq);
        mosquitto_loop_stop(mosq, true);
        mosquitto_destroy(mosq);
    }
    std::set<qint64> seen(const std::string& topic) {
        std::lock_guard<std::mutex> g(lock);
        return sequences[topic];
    }
    std::string payload(const std::string& topic) {
        std::lock_guard<std::mutex> g(lock);
        return last.count(topic) ? last[topic] : std::string();
    }
    bool wasRetained(const std::string& topic) {
        std::lock_guard<std::mutex> g(lock);
        return retained.count(topic) && retained[topic];
    }
    std::string filter;
};

// hq3746ctl publish with the simulated cabinet.
struct Publisher {
    QProcess process;
    QString log;
    void start(const QString& historyDir, const QStringList& args) {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("HQ3746_HISTORY_DIR", historyDir);
        process.setProcessEnvironment(env);
        process.setProcessChannelMode(QProcess::MergedChannels);
        process.start(QStringLiteral(HQ3746CTL_EXECUTABLE),
                      QStringList{"publish", "--simulate", "--interval", "0.2"} + args);
        QVERIFY(process.waitForStarted(5000));
    }
    void stop() { // SIGTERM: a clean stop
        if (process.state() == QProcess::NotRunning)
            return;
        ::kill(pid_t(process.processId()), SIGTERM);
        QVERIFY(process.waitForFinished(10000));
        log += QString::fromUtf8(process.readAll());
    }
    void kill() {
        process.kill();
        process.waitForFinished(5000);
        log += QString::fromUtf8(process.readAll());
    }
    ~Publisher() {
        if (process.state() != QProcess::NotRunning)
            kill();
    }
};

std::uint64_t storedRecords(const QString& historyDir) {
    auto reader =
        hq::history::ArchiveReader::open(hq::history::cabinetDirectory(historyDir, "12345678"));
    return reader.ok() ? reader->recordCount() : 0;
}

QString missing(const std::set<qint64>& seen, std::uint64_t count) {
    QStringList gaps;
    for (std::uint64_t i = 0; i < count && gaps.size() < 10; ++i)
        if (!seen.count(qint64(i)))
            gaps << QString::number(i);
    return gaps.join(", ");
}

QByteArray metricsPage(quint16 port) {
    QTcpSocket s;
    s.connectToHost(QHostAddress::LocalHost, port);
    if (!s.waitForConnected(2000))
        return {};
    s.write("GET /metrics HTTP/1.0\r\n\r\n");
    QByteArray all;
    while (s.waitForReadyRead(2000))
        all += s.readAll();
    return all;
}

bool run(const QString& program, const QStringList& args) {
    QProcess p;
    p.setProcessChannelMode(QProcess::MergedChannels);
    p.start(program, args);
    if (!p.waitForFinished(30000) || p.exitCode() != 0) {
        qWarning() << program << args << p.readAll();
        return false;
    }
    return true;
}

} // namespace

class TestPublishBroker : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() {
        if (tool("mosquitto").isEmpty() || tool("mosquitto_passwd").isEmpty()) {
            if (needTools())
                QFAIL("mosquitto is not installed (scripts/deps.sh test)");
            QSKIP("mosquitto is not installed");
        }
        mosquitto_lib_init();
    }
    void cleanupTestCase() { mosquitto_lib_cleanup(); }

    void brokerRestartAndPublisherKillLoseNoRecord() {
        QTemporaryDir dir;
        Broker broker;
        broker.dir = dir.path() + "/broker";
        QDir().mkpath(broker.dir);
        broker.port = freePort();
        QVERIFY(broker.start());
        const std::string state = "hq3746/12345678/state";
        Subscriber sub("tst-sub", broker.port, "hq3746/#");
        QTRY_VERIFY_WITH_TIMEOUT(sub.connects >= 1, kWait);

        const QString history = dir.path() + "/history";
        const QString url = QStringLiteral("mqtt://127.0.0.1:%1").arg(broker.port);
        auto pub = std::make_unique<Publisher>();
        pub->start(history, {"--broker", url});
        QTRY_VERIFY_WITH_TIMEOUT(sub.seen(state).size() >= 10, kWait);

        // The broker goes away; records go on being stored meanwhile. The publisher is killed
        // while they wait, and started again, still without a broker.
        broker.stop();
        const std::uint64_t atStop = storedRecords(history);
        QTRY_VERIFY_WITH_TIMEOUT(storedRecords(history) >= atStop + 10, kWait);
        pub->kill();
        pub = std::make_unique<Publisher>();
        pub->start(history, {"--broker", url});
        QTRY_VERIFY_WITH_TIMEOUT(storedRecords(history) >= atStop + 20, kWait);
        QVERIFY(sub.seen(state).size() <= atStop); // nothing could go out meanwhile

        // The broker is back: the waiting records come, then the new ones.
        QVERIFY(broker.start());
        QTRY_VERIFY_WITH_TIMEOUT(sub.connects >= 2, kWait);
        QTRY_VERIFY_WITH_TIMEOUT(sub.seen(state).size() >= atStop + 25, kWait);

        // A broker restart while the publisher is connected.
        broker.stop();
        QVERIFY(broker.start());
        QTRY_VERIFY_WITH_TIMEOUT(sub.connects >= 3, kWait);
        const std::uint64_t atRestart = storedRecords(history);
        QTRY_VERIFY_WITH_TIMEOUT(sub.seen(state).size() >= atRestart + 5, kWait);

        // Killed while connected: the broker publishes the will.
        pub->kill();
        QTRY_COMPARE_WITH_TIMEOUT(sub.payload("hq3746/12345678/availability"),
                                  std::string("offline"), kWait);
        pub = std::make_unique<Publisher>();
        pub->start(history, {"--broker", url});
        QTRY_COMPARE_WITH_TIMEOUT(sub.payload("hq3746/12345678/availability"),
                                  std::string("online"), kWait);
        const std::uint64_t atLastStart = storedRecords(history);
        QTRY_VERIFY_WITH_TIMEOUT(sub.seen(state).size() >= atLastStart + 5, kWait);
        pub->stop();
        QCOMPARE(pub->process.exitCode(), 0);
        QTRY_COMPARE_WITH_TIMEOUT(sub.payload("hq3746/12345678/availability"),
                                  std::string("offline"), kWait);

        const std::uint64_t stored = storedRecords(history);
        QTRY_VERIFY2_WITH_TIMEOUT(sub.seen(state).size() >= stored,
                                  qPrintable(QStringLiteral("%1 of %2 records arrived; missing %3")
                                                 .arg(sub.seen(state).size())
                                                 .arg(stored)
                                                 .arg(missing(sub.seen(state), stored))),
                                  kWait);
        const auto seen = sub.seen(state);
        QCOMPARE(*seen.begin(), 0);
        QCOMPARE(*seen.rbegin(), qint64(stored) - 1); // every record 0..stored-1, nothing else
        QCOMPARE(seen.size(), std::size_t(stored));
    }

    // What a newcomer gets from the broker: the retained discovery and availability.
    void discoveryAndAvailabilityAreRetained() {
        QTemporaryDir dir;
        Broker broker;
        broker.dir = dir.path();
        broker.port = freePort();
        QVERIFY(broker.start());
        Publisher pub;
        const quint16 metricsPort = freePort();
        pub.start(dir.path() + "/history",
                  {"--broker", QStringLiteral("mqtt://127.0.0.1:%1").arg(broker.port),
                   "--topic-prefix", "plant1/hq3746", "--metrics",
                   QStringLiteral("127.0.0.1:%1").arg(metricsPort)});
        {
            Subscriber early("tst-early", broker.port, "plant1/hq3746/#");
            QTRY_VERIFY_WITH_TIMEOUT(!early.seen("plant1/hq3746/12345678/state").empty(), kWait);
        }
        Subscriber late("tst-late", broker.port, "#");
        const std::string config = "homeassistant/sensor/hq3746_12345678/humidity_top/config";
        QTRY_VERIFY_WITH_TIMEOUT(!late.payload(config).empty(), kWait);
        QVERIFY(late.wasRetained(config));
        const QJsonObject o =
            QJsonDocument::fromJson(QByteArray::fromStdString(late.payload(config))).object();
        QCOMPARE(o.value("state_topic").toString(), QStringLiteral("plant1/hq3746/12345678/state"));
        QTRY_COMPARE_WITH_TIMEOUT(late.payload("plant1/hq3746/12345678/availability"),
                                  std::string("online"), kWait);
        QVERIFY(late.wasRetained("plant1/hq3746/12345678/availability"));
        // The same process serves the metrics, with the broker's side of each cabinet.
        QTRY_VERIFY_WITH_TIMEOUT(
            metricsPage(metricsPort).contains("hq3746_mqtt_connected{serial=\"12345678\"} 1"),
            kWait);
        QVERIFY(
            metricsPage(metricsPort).contains("hq3746_mqtt_backlog_records{serial=\"12345678\"}"));
        pub.stop();
    }

    void tlsWithPasswordFile_data() {
        QTest::addColumn<QString>("password");
        QTest::addColumn<bool>("accepted");
        QTest::newRow("right password") << "geheim" << true;
        QTest::newRow("wrong password") << "falsch" << false;
    }
    void tlsWithPasswordFile() {
        QFETCH(QString, password);
        QFETCH(bool, accepted);
        QTemporaryDir dir;
        const QString d = dir.path();
        // A CA and a server certificate for 127.0.0.1, signed by it.
        QVERIFY(run("openssl",
                    {"req", "-x509", "-newkey", "rsa:2048", "-nodes", "-days", "2", "-subj",
                     "/CN=hq3746 test CA", "-keyout", d + "/ca.key", "-out", d + "/ca.pem"}));
        QVERIFY(run("openssl", {"req", "-newkey", "rsa:2048", "-nodes", "-subj", "/CN=127.0.0.1",
                                "-keyout", d + "/server.key", "-out", d + "/server.csr"}));
        QFile ext(d + "/san.ext");
        QVERIFY(ext.open(QIODevice::WriteOnly));
        ext.write("subjectAltName=IP:127.0.0.1\n");
        ext.close();
        QVERIFY(run("openssl", {"x509", "-req", "-in", d + "/server.csr", "-CA", d + "/ca.pem",
                                "-CAkey", d + "/ca.key", "-CAcreateserial", "-days", "2",
                                "-extfile", d + "/san.ext", "-out", d + "/server.pem"}));
        QVERIFY(run(tool("mosquitto_passwd"), {"-c", "-b", d + "/passwords", "gateway", "geheim"}));
        QFile pw(d + "/password.txt");
        QVERIFY(pw.open(QIODevice::WriteOnly));
        pw.write(password.toUtf8() + "\n");
        pw.close();

        Broker broker;
        broker.dir = d;
        broker.port = freePort();
        broker.extra = QStringLiteral("allow_anonymous false\npassword_file %1/passwords\n"
                                      "cafile %1/ca.pem\ncertfile %1/server.pem\n"
                                      "keyfile %1/server.key\n")
                           .arg(d);
        QVERIFY(broker.start());
        Subscriber sub("tst-tls", broker.port, "hq3746/#", (d + "/ca.pem").toStdString(), "gateway",
                       "geheim");
        QTRY_VERIFY_WITH_TIMEOUT(sub.connects >= 1, kWait);
        Publisher pub;
        pub.start(d + "/history",
                  {"--broker", QStringLiteral("mqtts://127.0.0.1:%1").arg(broker.port), "--tls-ca",
                   d + "/ca.pem", "--username", "gateway", "--password-file", d + "/password.txt"});
        if (accepted) {
            QTRY_VERIFY_WITH_TIMEOUT(sub.seen("hq3746/12345678/state").size() >= 3, kWait);
            pub.stop();
        } else {
            QTest::qWait(2500);
            pub.stop();
            QVERIFY(sub.seen("hq3746/12345678/state").empty());
            QVERIFY2(pub.log.contains("refused"), qPrintable(pub.log));
        }
    }
};

QTEST_GUILESS_MAIN(TestPublishBroker)
#include "test_publish_broker.moc"
