// The publisher over a stand-in connection: nothing is sent while the broker is away and nothing
// is lost meanwhile; on connect the retained announcements come first, then the records in
// order, never more than the window unacknowledged; a cabinet that leaves is announced
// "offline"; a restart offers exactly what the broker had not acknowledged.
#include "fleet/publisher.h"

#include "fleet/mqtt_messages.h"
#include "platform/hid_simulated.h"
#include "sim/cabinet.h"
#include "sim/cabinet_hid_device.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>

using namespace hq;
using namespace hq::fleet;

namespace {

constexpr int kWait = 5000;

struct Sent {
    std::string topic;
    std::string payload;
    bool retain = false;
    int mid = 0;
};

// A broker connection the test drives: it connects, acknowledges and drops when told.
class FakeConnection : public MqttConnection {
public:
    explicit FakeConnection(MqttOptions o) : options(std::move(o)) {}
    Expected<void> start() override {
        started = true;
        return {};
    }
    Expected<int> publish(const std::string& topic, const std::string& payload, int,
                          bool retain) override {
        if (!up)
            return failure("not connected");
        sent.push_back({topic, payload, retain, ++lastMid});
        if (acknowledgeAtOnce)
            QMetaObject::invokeMethod(
                qApp, [this, mid = lastMid] { onPublished(mid); }, Qt::QueuedConnection);
        else
            unacknowledged.push_back(lastMid);
        return lastMid;
    }
    void stop() override { up = false; }
    bool connected() const override { return up; }

    void connect() {
        up = true;
        onConnected();
    }
    void drop() {
        up = false;
        onDisconnected("the connection was lost");
    }
    void acknowledgeAll() {
        auto mids = std::move(unacknowledged);
        unacknowledged.clear();
        for (int mid : mids)
            onPublished(mid);
    }
    std::vector<std::uint64_t> recordSequences() const {
        std::vector<std::uint64_t> v;
        for (const Sent& s : sent)
            if (s.topic.ends_with("/state"))
                v.push_back(QJsonDocument::fromJson(QByteArray::fromStdString(s.payload))
                                .object()
                                .value("sequence")
                                .toInteger());
        return v;
    }

    MqttOptions options;
    bool started = false;
    bool up = false;
    bool acknowledgeAtOnce = false; // as a broker does, from the event loop
    int lastMid = 0;
    std::vector<Sent> sent;
    std::vector<int> unacknowledged;
};

struct Site {
    platform::SimulatedHidPlatform bus;
    sim::Cabinet cabinet{[] {
        sim::CabinetOptions o;
        o.randomDoor = false;
        return o;
    }()};
    sim::CabinetHidDevice device{bus, cabinet};
    QTemporaryDir root;
    std::unique_ptr<FleetPoller> poller;
    std::unique_ptr<Publisher> publisher;
    FakeConnection* connection = nullptr;

    void start(int window = 64) {
        device.plug();
        PollerOptions po;
        po.historyRoot = root.path();
        po.interval = std::chrono::milliseconds(20);
        poller = std::make_unique<FleetPoller>(bus, po);
        PublisherOptions o;
        o.connection.host = "127.0.0.1";
        o.connection.clientId = "test";
        o.topicPrefix = "site";
        o.window = window;
        publisher = std::make_unique<Publisher>(*poller, o, [this](const MqttOptions& mo) {
            auto c = std::make_unique<FakeConnection>(mo);
            connection = c.get();
            return c;
        });
        poller->onCabinet = [this](const CabinetSnapshot& c) { publisher->cabinetChanged(c); };
        poller->onRecord = [this](const CabinetSnapshot& c, const PolledRecord& r) {
            publisher->recordStored(c, r);
        };
        QVERIFY(poller->start());
        QTRY_VERIFY_WITH_TIMEOUT(connection != nullptr, kWait);
    }
    std::uint64_t records() const {
        const CabinetSnapshot* s = poller->snapshot("12345678");
        return s ? s->records : 0;
    }
    void restart(int window = 64) {
        publisher->stop(std::chrono::milliseconds(0));
        publisher.reset();
        poller.reset();
        connection = nullptr;
        device.unplug();
        start(window);
    }
};

std::vector<std::uint64_t> range(std::uint64_t from, std::uint64_t to) {
    std::vector<std::uint64_t> v;
    for (auto i = from; i < to; ++i)
        v.push_back(i);
    return v;
}

} // namespace

class TestPublisher : public QObject {
    Q_OBJECT
private slots:
    void recordsWaitForTheBrokerAndComeInOrder() {
        Site s;
        s.start();
        QVERIFY(s.connection->started);
        QCOMPARE(s.connection->options.clientId, std::string("test-12345678"));
        QCOMPARE(s.connection->options.willTopic, std::string("site/12345678/availability"));
        QCOMPARE(s.connection->options.willPayload, std::string("offline"));
        QVERIFY(s.connection->options.willRetain);
        QTRY_VERIFY_WITH_TIMEOUT(s.records() >= 10, kWait); // the broker is away meanwhile
        QVERIFY(s.connection->sent.empty());
        s.connection->connect();
        // Announcements first: six discovery messages and "online", all retained.
        QVERIFY(s.connection->sent.size() >= 7);
        for (int i = 0; i < 7; ++i)
            QVERIFY(s.connection->sent[std::size_t(i)].retain);
        QCOMPARE(s.connection->sent[6].topic, std::string("site/12345678/availability"));
        QCOMPARE(s.connection->sent[6].payload, std::string("online"));
        QTRY_VERIFY_WITH_TIMEOUT(s.connection->recordSequences().size() >= 10, kWait);
        const auto seqs = s.connection->recordSequences();
        QCOMPARE(seqs, range(0, seqs.size()));
        for (const Sent& m : s.connection->sent)
            if (m.topic == "site/12345678/state")
                QVERIFY(!m.retain);
    }

    void noMoreThanTheWindowIsUnacknowledged() {
        Site s;
        s.start(4);
        QTRY_VERIFY_WITH_TIMEOUT(s.records() >= 12, kWait);
        s.connection->connect();
        QCOMPARE(s.connection->recordSequences().size(), 4u);
        QTest::qWait(100);
        QCOMPARE(s.connection->recordSequences().size(), 4u);
        s.connection->acknowledgeAll();
        QCOMPARE(s.connection->recordSequences().size(), 8u);
        QCOMPARE(s.publisher->brokerState("12345678")->connected, true);
        QVERIFY(s.publisher->brokerState("12345678")->backlog >= 4);
    }

    void leavingCabinetIsAnnouncedOffline() {
        Site s;
        s.start();
        s.connection->connect();
        QTRY_VERIFY_WITH_TIMEOUT(!s.connection->recordSequences().empty(), kWait);
        s.device.unplug();
        QTRY_VERIFY_WITH_TIMEOUT(s.connection->sent.back().payload == "offline", kWait);
        QCOMPARE(s.connection->sent.back().topic, std::string("site/12345678/availability"));
        QVERIFY(s.connection->sent.back().retain);
        s.device.plug();
        QTRY_VERIFY_WITH_TIMEOUT(s.connection->sent.back().payload == "online" ||
                                     s.connection->recordSequences().size() > 3,
                                 kWait);
    }

    // After a restart the records the broker had not acknowledged come again, and nothing the
    // broker had taken.
    void restartOffersWhatWasNotAcknowledged() {
        Site s;
        s.start();
        s.connection->connect();
        QTRY_VERIFY_WITH_TIMEOUT(s.connection->recordSequences().size() >= 5, kWait);
        s.connection->acknowledgeAll();
        const auto acked = s.connection->recordSequences();
        QTRY_VERIFY_WITH_TIMEOUT(s.connection->recordSequences().size() > acked.size() + 2, kWait);
        s.connection->drop(); // these stay unacknowledged
        const std::uint64_t firstNotAcked = acked.size();
        s.restart();
        QTRY_VERIFY_WITH_TIMEOUT(s.records() >= 3, kWait);
        s.connection->connect();
        QTRY_VERIFY_WITH_TIMEOUT(!s.connection->recordSequences().empty(), kWait);
        QCOMPARE(s.connection->recordSequences().front(), firstNotAcked);
        const auto again = s.connection->recordSequences();
        QCOMPARE(again, range(firstNotAcked, firstNotAcked + again.size()));
    }

    void stopAnnouncesOfflineAndSavesThePosition() {
        Site s;
        s.start();
        s.connection->connect();
        QTRY_VERIFY_WITH_TIMEOUT(s.connection->recordSequences().size() >= 3, kWait);
        s.connection->acknowledgeAll();
        s.publisher->stop(std::chrono::milliseconds(50));
        const auto& last = s.connection->sent.back();
        QCOMPARE(last.topic, std::string("site/12345678/availability"));
        QCOMPARE(last.payload, std::string("offline"));
        QVERIFY(!s.connection->connected());
        QDir dir(s.poller->directoryOf("12345678"));
        const QStringList files = dir.entryList({"mqtt-*.position"}, QDir::Files);
        QCOMPARE(files.size(), 1);
    }

    // Records stored while the broker was away are still in the outbox when the publisher is
    // stopped right after it came back: they go out before "offline", not at the next start.
    void stopHandsOnTheWaitingRecordsFirst() {
        Site s;
        s.start(2);
        QTRY_VERIFY_WITH_TIMEOUT(s.records() >= 6, kWait);
        s.poller->stopPolling();
        s.connection->acknowledgeAtOnce = true;
        s.connection->connect();
        s.publisher->stop(std::chrono::seconds(5));
        QCoreApplication::processEvents();
        QCOMPARE(s.connection->recordSequences(), range(0, s.records()));
        QCOMPARE(s.connection->sent.back().payload, std::string("offline"));
    }
};

QTEST_GUILESS_MAIN(TestPublisher)
#include "test_publisher.moc"
