#include "platform/hid_simulated.h"

#include <QTest>

#include <atomic>
#include <thread>

using namespace hq::platform;
using namespace std::chrono_literals;

namespace {

std::shared_ptr<FixedHidFunction> device(std::uint16_t vid, std::uint16_t pid) {
    FixedHidFunction::Identity id;
    id.attributes.vendorId = vid;
    id.attributes.productId = pid;
    id.caps.inputReportByteLength = 65;
    id.caps.outputReportByteLength = 65;
    id.product = u"Product";
    id.serial = u"Serial";
    return std::make_shared<FixedHidFunction>(id);
}

SimulatedPlugOptions path(std::string p) {
    SimulatedPlugOptions o;
    o.interfacePath = std::move(p);
    return o;
}

} // namespace

class TestHidSimulated : public QObject {
    Q_OBJECT

private slots:
    void enumerationAndIdentity() {
        SimulatedHidPlatform bus;
        std::atomic<int> changes{0};
        auto notifier = bus.watchDeviceChanges([&] { ++changes; });
        QVERIFY(notifier);
        QCOMPARE(notifier->pollDescriptor(), -1);
        const auto a = bus.plug(device(1, 2), path("a"));
        const auto b = bus.plug(device(3, 4));
        QCOMPARE(changes.load(), 2);
        auto list = bus.enumerate();
        QCOMPARE(list.size(), std::size_t(2));
        QCOMPARE(list[0].interfacePath, std::string("a"));
        QCOMPARE(list[1].interfacePath, bus.interfacePathOf(b));
        QCOMPARE(list[0].devInst, bus.devInstOf(a));
        // A replugged interface gets a new device instance.
        const auto before = bus.devInstOf(a);
        bus.unplug(a);
        QCOMPARE(changes.load(), 3);
        const auto again = bus.plug(device(1, 2), path("a"));
        QVERIFY(bus.devInstOf(again) != before);
        notifier.reset();
        bus.unplug(again);
        QCOMPARE(changes.load(), 4); // no callback after the notifier is gone
        bus.setAvailable(false);
        QVERIFY(bus.enumerate().empty());
    }

    void opens_data() {
        QTest::addColumn<bool>("refuseReadWrite");
        QTest::addColumn<bool>("refuseAll");
        QTest::addColumn<bool>("readWrite");
        QTest::addColumn<bool>("queryOnly");
        QTest::addColumn<bool>("read");
        QTest::newRow("open") << false << false << true << true << true;
        QTest::newRow("read-write refused") << true << false << false << true << false;
        QTest::newRow("all refused") << false << true << false << false << false;
    }
    void opens() {
        QFETCH(bool, refuseReadWrite);
        QFETCH(bool, refuseAll);
        QFETCH(bool, readWrite);
        QFETCH(bool, queryOnly);
        QFETCH(bool, read);
        SimulatedHidPlatform bus;
        auto o = path("x");
        o.refuseReadWrite = refuseReadWrite;
        o.refuseAllOpens = refuseAll;
        const auto id = bus.plug(device(1, 2), o);
        QCOMPARE(bus.openControl("x", HidAccess::ReadWrite) != nullptr, readWrite);
        if (!readWrite)
            QCOMPARE(bus.lastError(), simerr::kPermissionDenied);
        QCOMPARE(bus.openControl("x", HidAccess::QueryOnly) != nullptr, queryOnly);
        QCOMPARE(bus.openRead("x") != nullptr, read);
        QVERIFY(!bus.openControl("nowhere", HidAccess::QueryOnly));
        QCOMPARE(bus.lastError(), simerr::kNotFound);
        QCOMPARE(bus.openHandleCount(id), 0); // every handle above was closed again
    }

    void queriesAndWrites() {
        SimulatedHidPlatform bus;
        auto fn = device(0x04D8, 0x003F);
        const auto id = bus.plug(fn, path("x"));
        auto h = bus.openControl("x", HidAccess::ReadWrite);
        HidAttributes a;
        QVERIFY(h->getAttributes(a));
        QCOMPARE(a.vendorId, std::uint16_t(0x04D8));
        std::array<char16_t, 4> small{};
        QVERIFY(h->getProductString(small)); // truncated, still terminated
        QCOMPARE(std::u16string(small.data()), std::u16string(u"Pro"));
        std::array<char16_t, 8> langs;
        langs.fill(0xFFFF);
        QCOMPARE(h->getIndexedString(0, langs), IndexedStringResult::Filled);
        QCOMPARE(langs[0], char16_t(0x0409));
        QCOMPARE(langs[1], char16_t(0xFFFF));
        auto pre = h->getPreparsedData();
        h.reset();
        HidCaps caps;
        QVERIFY(pre && pre->getCaps(caps)); // valid after the handle was closed
        QCOMPARE(caps.outputReportByteLength, std::uint16_t(65));

        auto q = bus.openControl("x", HidAccess::QueryOnly);
        std::uint32_t written = 7;
        const std::uint8_t report[3] = {0, 'v', 0};
        QVERIFY(!q->write(report, written)); // query-only handles cannot write
        auto w = bus.openControl("x", HidAccess::ReadWrite);
        QVERIFY(w->write(report, written));
        QCOMPARE(written, 3u);
        bus.failWrites(id, 1, simerr::kIoError);
        QVERIFY(!w->write(report, written));
        QCOMPARE(bus.lastError(), simerr::kIoError);
        QCOMPARE(fn->writtenReports().size(), std::size_t(1));
        bus.unplug(id);
        QVERIFY(!w->write(report, written));
        QCOMPARE(bus.lastError(), simerr::kNoSuchDevice);
        QVERIFY(!w->getAttributes(a));
    }

    void reads_data() {
        QTest::addColumn<int>("length");
        QTest::addColumn<bool>("fail");
        QTest::addColumn<bool>("ok");
        QTest::addColumn<int>("count");
        QTest::newRow("report") << 65 << false << true << 65;
        QTest::newRow("truncated to the buffer") << 80 << false << true << 65;
        QTest::newRow("zero bytes") << 0 << false << true << 0;
        QTest::newRow("failed read") << 65 << true << false << 0;
    }
    void reads() {
        QFETCH(int, length);
        QFETCH(bool, fail);
        QFETCH(bool, ok);
        QFETCH(int, count);
        SimulatedHidPlatform bus;
        const auto id = bus.plug(device(1, 2), path("x"));
        auto r = bus.openRead("x");
        std::vector<std::uint8_t> buffer(65);
        QVERIFY(r->startRead(buffer));
        QVERIFY(!r->startRead(buffer)); // one outstanding read
        QCOMPARE(bus.lastError(), simerr::kBusy);
        QVERIFY(!r->waitForCompletion(5ms));
        if (fail)
            bus.failReads(id, 1);
        else
            bus.queueInputReport(id, std::vector<std::uint8_t>(std::size_t(length), 0xAB));
        QVERIFY(r->waitForCompletion(1s));
        std::uint32_t n = 99;
        QCOMPARE(r->takeReadCount(n), ok);
        if (ok) {
            QCOMPARE(int(n), count);
            QCOMPARE(buffer[0], std::uint8_t(count ? 0xAB : 0));
        }
    }

    void cancelFromAnotherThreadEndsTheWait() {
        SimulatedHidPlatform bus;
        const auto id = bus.plug(device(1, 2), path("x"));
        auto r = bus.openRead("x");
        std::vector<std::uint8_t> buffer(65);
        QVERIFY(r->startRead(buffer));
        std::thread canceller([&] {
            std::this_thread::sleep_for(20ms);
            r->cancel();
        });
        const auto t0 = std::chrono::steady_clock::now();
        const bool done = r->waitForCompletion(5s);
        canceller.join();
        QVERIFY(done);
        QVERIFY(std::chrono::steady_clock::now() - t0 < 2s);
        std::uint32_t n = 0;
        QVERIFY(!r->takeReadCount(n));
        QCOMPARE(bus.lastError(), simerr::kCancelled);
        QVERIFY(!bus.readOutstanding(id));
    }

    void unplugEndsOutstandingReadAndRefusesStarts() {
        SimulatedHidPlatform bus;
        const auto id = bus.plug(device(1, 2), path("x"));
        auto r = bus.openRead("x");
        std::vector<std::uint8_t> buffer(65);
        bus.refuseReadStarts(id, 1, simerr::kIoError);
        QVERIFY(!r->startRead(buffer));
        QCOMPARE(bus.lastError(), simerr::kIoError);
        QVERIFY(r->startRead(buffer));
        bus.unplug(id);
        QVERIFY(r->waitForCompletion(1s));
        std::uint32_t n = 0;
        QVERIFY(!r->takeReadCount(n));
        QCOMPARE(bus.lastError(), simerr::kNoSuchDevice);
        QVERIFY(!r->startRead(buffer));
        QCOMPARE(bus.lastError(), simerr::kNoSuchDevice);
    }

    // Input reports are queued per open read handle, as hidraw and the Windows HID class driver
    // do: what arrives while no handle is open is gone, and a full queue drops by its rule.
    void inputQueues_data() {
        QTest::addColumn<int>("capacity");
        QTest::addColumn<bool>("dropOldest");
        QTest::addColumn<int>("sent");
        QTest::addColumn<int>("firstKept"); // the report number the first read returns
        QTest::addColumn<int>("kept");
        QTest::newRow("within the queue") << 64 << false << 10 << 0 << 10;
        QTest::newRow("hidraw: 64, the newest is dropped") << 64 << false << 70 << 0 << 64;
        QTest::newRow("Windows: 32, the oldest is dropped") << 32 << true << 40 << 8 << 32;
    }
    void inputQueues() {
        QFETCH(int, capacity);
        QFETCH(bool, dropOldest);
        QFETCH(int, sent);
        QFETCH(int, firstKept);
        QFETCH(int, kept);
        SimulatedHidPlatform bus;
        auto options = path("x");
        options.inputBuffers = std::size_t(capacity);
        options.overflow = dropOldest ? InputOverflow::DropOldest : InputOverflow::DropNewest;
        const auto id = bus.plug(device(1, 2), options);

        bus.queueInputReport(id, {0, 0xEE}); // no read handle is open: lost
        QCOMPARE(bus.lostInputReports(id), std::size_t(1));
        auto first = bus.openRead("x");
        auto second = bus.openRead("x");
        for (int i = 0; i < sent; ++i)
            bus.queueInputReport(id, {0, std::uint8_t(i)});
        QCOMPARE(bus.pendingInputReports(id), std::size_t(kept));
        QCOMPARE(bus.lostInputReports(id), std::size_t(1 + 2 * (sent - kept)));

        // Each handle reads its own copy of every kept report, in order.
        for (auto* handle : {first.get(), second.get()}) {
            std::vector<std::uint8_t> buffer(65);
            for (int i = 0; i < kept; ++i) {
                QVERIFY(handle->startRead(buffer));
                QVERIFY(handle->waitForCompletion(1s));
                std::uint32_t n = 0;
                QVERIFY(handle->takeReadCount(n));
                QCOMPARE(int(n), 2);
                QCOMPARE(int(buffer[1]), firstKept + i);
            }
            QVERIFY(handle->startRead(buffer));
            QVERIFY(!handle->waitForCompletion(5ms)); // nothing else waits
            handle->cancel();
        }
        // A handle opened later gets only what arrives after it.
        auto late = bus.openRead("x");
        bus.queueInputReport(id, {0, 0x55});
        std::vector<std::uint8_t> buffer(65);
        QVERIFY(late->startRead(buffer));
        QVERIFY(late->waitForCompletion(1s));
        std::uint32_t n = 0;
        QVERIFY(late->takeReadCount(n));
        QCOMPARE(int(buffer[1]), 0x55);
    }

    void answersReachOnlyOpenReadHandles() {
        // A device that answers every write at once, before the writer could open a read
        // handle afterwards.
        class Echo : public SimulatedHidFunction {
        public:
            HidAttributes attributes() const override { return {12, 1, 2, 1}; }
            HidCaps caps() const override { return {0, 0, 65, 65, 0}; }
            std::optional<std::u16string> productString() const override { return u"E"; }
            std::optional<std::u16string> serialString() const override { return u"1"; }
            std::vector<std::vector<std::uint8_t>>
            onOutputReport(std::span<const std::uint8_t> report) override {
                return {{report.begin(), report.end()}};
            }
        };
        SimulatedHidPlatform bus;
        const auto id = bus.plug(std::make_shared<Echo>(), path("x"));
        auto control = bus.openControl("x", HidAccess::ReadWrite);
        const std::vector<std::uint8_t> report{0, 'v'};
        std::uint32_t written = 0;
        QVERIFY(control->write(report, written));
        auto reader = bus.openRead("x");
        std::vector<std::uint8_t> buffer(65);
        QVERIFY(reader->startRead(buffer));
        QVERIFY(!reader->waitForCompletion(20ms)); // the answer came before the handle
        QCOMPARE(bus.lostInputReports(id), std::size_t(1));
        QVERIFY(control->write(report, written));
        QVERIFY(reader->waitForCompletion(1s));
        std::uint32_t n = 0;
        QVERIFY(reader->takeReadCount(n));
        QCOMPARE(buffer[1], std::uint8_t('v'));
    }

    void lastErrorIsPerThread() {
        SimulatedHidPlatform bus;
        QVERIFY(!bus.openRead("none"));
        ErrorCode other = 1;
        std::thread t([&] { other = bus.lastError(); });
        t.join();
        QCOMPARE(other, ErrorCode(0));
        QCOMPARE(bus.lastError(), simerr::kNotFound);
        QCOMPARE(QString::fromStdString(bus.errorText(simerr::kPermissionDenied)),
                 QString("Permission denied"));
    }
};

QTEST_APPLESS_MAIN(TestHidSimulated)
#include "test_hid_simulated.moc"
