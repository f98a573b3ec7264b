// The site tools' poller over the simulated HID bus: every cabinet that arrives is polled into
// its own stored history, a record is on disk before anyone hears of it, cabinets come and go,
// a cabinet whose history another program writes is left to it, and --serial picks one.
#include "fleet/fleet_poller.h"

#include "history/archive_location.h"
#include "history/archive_reader.h"
#include "platform/hid_simulated.h"
#include "sim/cabinet.h"
#include "sim/cabinet_hid_device.h"

#include <QTemporaryDir>
#include <QTest>

#include <map>

using namespace hq;
using namespace hq::fleet;

namespace {

constexpr int kWait = 5000;

struct Bench {
    platform::SimulatedHidPlatform bus;
    std::vector<std::unique_ptr<sim::Cabinet>> cabinets;
    std::vector<std::unique_ptr<sim::CabinetHidDevice>> devices;
    QTemporaryDir root;
    std::unique_ptr<FleetPoller> poller;
    std::map<std::string, std::vector<std::uint64_t>> sequences; // per cabinet, as handed on
    std::map<std::string, bool> storedFirst;                     // each record was on disk
    QStringList notices;

    sim::CabinetHidDevice& add(std::int32_t serial) {
        sim::CabinetOptions o;
        o.serialNumber = serial;
        o.serialString = "HQ00" + std::to_string(serial);
        o.randomDoor = false;
        cabinets.push_back(std::make_unique<sim::Cabinet>(o));
        devices.push_back(std::make_unique<sim::CabinetHidDevice>(bus, *cabinets.back()));
        devices.back()->plug();
        return *devices.back();
    }
    void start(const QString& only = {}) {
        PollerOptions o;
        o.historyRoot = root.path();
        o.interval = std::chrono::milliseconds(50);
        o.lockRetry = std::chrono::milliseconds(100);
        o.only = only;
        poller = std::make_unique<FleetPoller>(bus, o);
        poller->onNotice = [this](const QString& n) { notices << n; };
        poller->onRecord = [this](const CabinetSnapshot& c, const PolledRecord& r) {
            sequences[c.key].push_back(r.sequence);
            // The record is in the journal already.
            auto reader = history::ArchiveReader::open(poller->directoryOf(c.key));
            bool found = reader.ok() && reader->recordCount() == r.sequence + 1 &&
                         !reader->tail().empty() && reader->tail().back() == r.row;
            storedFirst.try_emplace(c.key, true);
            storedFirst[c.key] = storedFirst[c.key] && found;
        };
        QVERIFY(poller->start());
    }
    std::uint64_t records(const std::string& key) const {
        const CabinetSnapshot* s = poller ? poller->snapshot(key) : nullptr;
        return s ? s->records : 0;
    }
};

bool contiguous(const std::vector<std::uint64_t>& v) {
    for (std::size_t i = 1; i < v.size(); ++i)
        if (v[i] != v[i - 1] + 1)
            return false;
    return !v.empty() && v.front() == 0;
}

} // namespace

class TestFleetPoller : public QObject {
    Q_OBJECT
private slots:
    void everyCabinetIsPolledIntoItsOwnHistory() {
        Bench b;
        b.add(12345678);
        b.add(12345679);
        b.start();
        QTRY_VERIFY_WITH_TIMEOUT(b.records("12345678") >= 5 && b.records("12345679") >= 5, kWait);
        const CabinetSnapshot* s = b.poller->snapshot("12345679");
        QVERIFY(s && s->attached && s->answering);
        QCOMPARE(s->usbSerial, std::string("HQ0012345679"));
        QVERIFY(s->firmware.has_value());
        QVERIFY(s->last.has_value());
        QVERIFY(contiguous(b.sequences["12345678"]));
        QVERIFY(contiguous(b.sequences["12345679"]));
        QVERIFY(b.storedFirst["12345678"] && b.storedFirst["12345679"]);
        b.poller.reset(); // closes both histories
        for (const char* key : {"12345678", "12345679"}) {
            auto reader =
                history::ArchiveReader::open(history::cabinetDirectory(b.root.path(), key));
            QVERIFY(reader.ok());
            QCOMPARE(reader->recordCount(), std::uint64_t(b.sequences[key].size()));
            QVERIFY(reader->tail().empty()); // sealed on closing
        }
    }

    // Unplugged, the cabinet is not attached and not answering; back, it goes on where its
    // history ended. A cabinet that arrives later is taken up too.
    void cabinetsComeAndGo() {
        Bench b;
        sim::CabinetHidDevice& first = b.add(12345678);
        b.start();
        QTRY_VERIFY_WITH_TIMEOUT(b.records("12345678") >= 3, kWait);
        std::vector<bool> attachedSeen;
        b.poller->onCabinet = [&](const CabinetSnapshot& c) {
            if (c.key == "12345678")
                attachedSeen.push_back(c.attached);
        };
        first.unplug();
        QTRY_VERIFY_WITH_TIMEOUT(!b.poller->snapshot("12345678")->attached, kWait);
        QVERIFY(!b.poller->snapshot("12345678")->answering);
        const std::uint64_t before = b.records("12345678");
        QTest::qWait(200);
        QCOMPARE(b.records("12345678"), before);
        first.plug();
        b.add(12345680);
        QTRY_VERIFY_WITH_TIMEOUT(b.records("12345678") >= before + 3 && b.records("12345680") >= 3,
                                 kWait);
        QCOMPARE(attachedSeen.front(), false);
        QCOMPARE(attachedSeen.back(), true);
        QVERIFY(contiguous(b.sequences["12345678"])); // no number used twice, none left out
        QCOMPARE(b.poller->claimedCount(), 2u);
    }

    // The monitor (or another hq3746ctl) writes this cabinet's history: the poller lets it be,
    // and takes it up once that program has ended.
    void cabinetWrittenByAnotherProgramIsLeftToIt() {
        Bench b;
        b.add(12345678);
        std::vector<std::string> notices;
        auto other = history::ArchiveWriter::open(
            history::cabinetDirectory(b.root.path(), "12345678"), "12345678", {}, notices);
        QVERIFY(other.ok());
        b.start();
        QTRY_VERIFY_WITH_TIMEOUT(b.notices.join('\n').contains("polled by another program"), kWait);
        QTest::qWait(300);
        QCOMPARE(b.records("12345678"), 0u);
        QCOMPARE(b.poller->claimedCount(), 0u);
        QVERIFY((*other)->close().ok());
        other.value().reset();
        QTRY_VERIFY_WITH_TIMEOUT(b.records("12345678") >= 3, kWait);
    }

    void onlyTheCabinetAskedFor_data() {
        QTest::addColumn<QString>("only");
        QTest::newRow("by USB serial string") << "HQ0012345679";
        QTest::newRow("by serial number") << "12345679";
    }
    void onlyTheCabinetAskedFor() {
        QFETCH(QString, only);
        Bench b;
        b.add(12345678);
        b.add(12345679);
        b.start(only);
        QTRY_VERIFY_WITH_TIMEOUT(b.records("12345679") >= 3, kWait);
        QCOMPARE(b.records("12345678"), 0u);
        QVERIFY(!b.poller->snapshot("12345678"));
        QCOMPARE(b.poller->claimedCount(), 1u);
        QVERIFY(!QDir(history::cabinetDirectory(b.root.path(), "12345678")).exists());
    }
};

QTEST_GUILESS_MAIN(TestFleetPoller)
#include "test_fleet_poller.moc"
