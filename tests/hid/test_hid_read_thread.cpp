#include "hid_test_support.h"

#include "hid/hid_read_thread.h"

#include <QThread>

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <random>
#include <stdexcept>
#include <thread>

using namespace hq;
using namespace hqtest;

namespace {

struct Delivery {
    std::uint8_t reportId;
    QByteArray data;
    std::uint16_t size;
};

// A claimed cabinet with a report handler that records what it gets.
struct Reading {
    SimulatedHidPlatform bus;
    platform::SimulatedDeviceId id = 0;
    std::unique_ptr<HidDeviceController> controller;
    std::unique_ptr<HidDevice> dev;
    std::vector<Delivery> reports;
    std::vector<std::uint32_t> errors;
    bool offMainThread = false;

    explicit Reading(std::uint16_t inputLength = 65, int sleepTime = 20) {
        id = bus.plug(makeFunction(0x04D8, 0x003F, u"HQ3746", u"S", inputLength));
        controller = std::make_unique<HidDeviceController>(bus);
        settle();
        controller->ClaimByIds(dev, 0x04D8, 0x003F);
        dev->SetSleepTime(sleepTime);
        dev->setReadErrorHandler([this](HidDevice*, std::uint32_t e) {
            offMainThread |= QThread::currentThread() != qApp->thread();
            errors.push_back(e);
        });
        dev->SetReportHandler(recorder());
    }
    HidDataEvent recorder() {
        return [this](HidDevice*, std::uint8_t rid, const std::uint8_t* data, std::uint16_t size) {
            offMainThread |= QThread::currentThread() != qApp->thread();
            reports.push_back({rid, QByteArray(reinterpret_cast<const char*>(data), size), size});
        };
    }
    ~Reading() {
        dev.reset();
        controller.reset();
    }
};

// Queues reports from a thread of its own until destroyed.
class Feeder {
public:
    Feeder(SimulatedHidPlatform& bus, platform::SimulatedDeviceId id, int periodUs)
        : thread_([this, &bus, id, periodUs] {
              std::uint8_t n = 0;
              while (running_.load()) {
                  bus.queueInputReport(id, {0, n++});
                  std::this_thread::sleep_for(std::chrono::microseconds(periodUs));
              }
          }) {}
    ~Feeder() {
        running_ = false;
        thread_.join();
    }

private:
    std::atomic<bool> running_{true};
    std::thread thread_;
};

// A device that answers every output report at once, inside the write, with the report
// itself: no time for a read handle to be opened after the write.
class Echo : public platform::SimulatedHidFunction {
public:
    platform::HidAttributes attributes() const override { return {12, 0x04D8, 0x003F, 1}; }
    platform::HidCaps caps() const override { return {0, 0, 65, 65, 0}; }
    std::optional<std::u16string> productString() const override { return u"HQ3746"; }
    std::optional<std::u16string> serialString() const override { return u"E1"; }
    std::vector<std::vector<std::uint8_t>>
    onOutputReport(std::span<const std::uint8_t> report) override {
        return {{report.begin(), report.end()}};
    }
};

// The simulated bus, seen through a platform that holds every read thread back at its first
// read-side call (opening a read handle or starting a read) until release(): whatever the read
// thread would do, it cannot have done it before release().
class HeldReadThreads : public platform::HidPlatform {
public:
    HeldReadThreads(SimulatedHidPlatform& bus, platform::SimulatedDeviceId watched)
        : bus_(bus), watched_(watched), mainThread_(std::this_thread::get_id()) {}

    void release() {
        std::lock_guard g(lock_);
        released_ = true;
        changed_.notify_all();
    }
    // The read handles of the watched device that were open when a read thread first called
    // in; -1 while none has.
    int handlesAtFirstCall() const {
        std::lock_guard g(lock_);
        return handlesAtFirstCall_;
    }

    bool available() const override { return bus_.available(); }
    std::vector<platform::HidInterfaceInfo> enumerate() override { return bus_.enumerate(); }
    std::unique_ptr<platform::HidControlHandle> openControl(const std::string& path,
                                                            platform::HidAccess access) override {
        return bus_.openControl(path, access);
    }
    std::unique_ptr<platform::HidReadHandle> openRead(const std::string& path) override {
        hold();
        auto handle = bus_.openRead(path);
        if (!handle)
            return nullptr;
        return std::make_unique<Handle>(*this, std::move(handle));
    }
    platform::ErrorCode lastError() const override { return bus_.lastError(); }
    std::string errorText(platform::ErrorCode code) const override { return bus_.errorText(code); }
    std::unique_ptr<platform::HidChangeNotifier>
    watchDeviceChanges(std::function<void()> onChange) override {
        return bus_.watchDeviceChanges(std::move(onChange));
    }

private:
    class Handle : public platform::HidReadHandle {
    public:
        Handle(HeldReadThreads& owner, std::unique_ptr<platform::HidReadHandle> inner)
            : owner_(owner), inner_(std::move(inner)) {}
        bool startRead(std::span<std::uint8_t> buffer) override {
            owner_.hold();
            return inner_->startRead(buffer);
        }
        bool waitForCompletion(std::chrono::milliseconds slice) override {
            return inner_->waitForCompletion(slice);
        }
        bool takeReadCount(std::uint32_t& count) override { return inner_->takeReadCount(count); }
        void cancel() override { inner_->cancel(); }

    private:
        HeldReadThreads& owner_;
        std::unique_ptr<platform::HidReadHandle> inner_;
    };

    // On any thread but the main thread: notes the open handles at the first call, then waits
    // for release().
    void hold() {
        if (std::this_thread::get_id() == mainThread_)
            return;
        std::unique_lock g(lock_);
        if (handlesAtFirstCall_ < 0)
            handlesAtFirstCall_ = bus_.readHandleCount(watched_);
        changed_.wait(g, [this] { return released_; });
    }

    SimulatedHidPlatform& bus_;
    const platform::SimulatedDeviceId watched_;
    const std::thread::id mainThread_;
    mutable std::mutex lock_;
    std::condition_variable changed_;
    bool released_ = false;
    int handlesAtFirstCall_ = -1;
};

// Releases the held read threads when it goes (before the devices whose threads they are).
struct ReleaseAtEnd {
    HeldReadThreads& platform;
    ~ReleaseAtEnd() { platform.release(); }
};

bool writeCommand(HidDevice& dev, std::uint8_t code) {
    std::vector<std::uint8_t> report(65, 0);
    report[1] = code;
    std::uint32_t written = 0;
    return dev.SendReport(report, written);
}

std::vector<std::uint8_t> bytes(std::size_t n, std::uint8_t first) {
    std::vector<std::uint8_t> r(n);
    for (std::size_t i = 0; i < n; ++i)
        r[i] = static_cast<std::uint8_t>(first + i);
    return r;
}

} // namespace

class TestHidReadThread : public QObject {
    Q_OBJECT

private slots:
    void reportSizes_data() {
        QTest::addColumn<int>("length");
        QTest::addColumn<int>("expectedSize"); // -1: nothing delivered
        QTest::newRow("one byte") << 1 << 0;
        QTest::newRow("full report") << 65 << 64;
        QTest::newRow("zero bytes") << 0 << -1;
        QTest::newRow("longer than the input length") << 80 << 64;
    }
    void reportSizes() {
        QFETCH(int, length);
        QFETCH(int, expectedSize);
        Reading r;
        QVERIFY(r.dev->reader());
        r.bus.queueInputReport(r.id, bytes(static_cast<std::size_t>(length), 7));
        r.bus.queueInputReport(r.id, {0, 0xEE}); // marker after it
        QVERIFY(waitFor([&] { return !r.reports.empty() && r.reports.back().size == 1; }));
        QVERIFY(!r.offMainThread);
        QVERIFY(r.errors.empty());
        if (expectedSize < 0) {
            QCOMPARE(r.reports.size(), std::size_t(1));
            return;
        }
        QCOMPARE(r.reports.size(), std::size_t(2));
        const auto& d = r.reports.front();
        QCOMPARE(d.reportId, std::uint8_t(7));
        QCOMPARE(int(d.size), expectedSize);
        const auto expected = bytes(static_cast<std::size_t>(expectedSize) + 1, 7);
        QCOMPARE(d.data,
                 QByteArray(reinterpret_cast<const char*>(expected.data()) + 1, expectedSize));
    }

    // The answer to a command written right after the claim reaches the handler: the read
    // handle is open before the first write, whichever way the reader was started. The read
    // thread is held back at its first read-side call until both answers have come, so the
    // handle must have been opened by the claim or the handler, not by the thread.
    void firstAnswerAfterTheClaimIsRead_data() {
        QTest::addColumn<bool>("controllerDefault");
        QTest::newRow("handler set after the claim") << false;
        QTest::newRow("controller's default handler, started by the claim") << true;
    }
    void firstAnswerAfterTheClaimIsRead() {
        QFETCH(bool, controllerDefault);
        SimulatedHidPlatform bus;
        const auto id = bus.plug(std::make_shared<Echo>());
        HeldReadThreads platform(bus, id);
        HidDeviceController c(platform);
        std::vector<std::uint8_t> got;
        const HidDataEvent handler = [&](HidDevice*, std::uint8_t, const std::uint8_t* data,
                                         std::uint16_t) { got.push_back(data[0]); };
        if (controllerDefault)
            c.setOnDeviceData(handler);
        settle();
        std::unique_ptr<HidDevice> dev;
        ReleaseAtEnd releaseAtEnd{platform};
        QVERIFY(c.ClaimByIds(dev, 0x04D8, 0x003F));
        if (!controllerDefault)
            dev->SetReportHandler(handler);
        QVERIFY(dev->reader());
        QCOMPARE(bus.readHandleCount(id), 1);
        QVERIFY(writeCommand(*dev, 'v'));
        QVERIFY(writeCommand(*dev, '@'));
        // Both answers wait in the handle's queue; the thread has read nothing yet.
        QCOMPARE(bus.pendingInputReports(id), std::size_t(2));
        QVERIFY(waitFor([&] { return platform.handlesAtFirstCall() >= 0; }));
        QCOMPARE(platform.handlesAtFirstCall(), 1);
        QVERIFY(got.empty());
        platform.release();
        QVERIFY(waitFor([&] { return got.size() == 2; }));
        QCOMPARE(got, (std::vector<std::uint8_t>{'v', '@'}));
        QCOMPARE(bus.lostInputReports(id), std::size_t(0));
    }

    void readHandleThatCannotBeOpenedIsAReadError() {
        SimulatedHidPlatform bus;
        const auto id = bus.plug(std::make_shared<Echo>());
        HidDeviceController c(bus);
        settle();
        std::unique_ptr<HidDevice> dev;
        QVERIFY(c.ClaimByIds(dev, 0x04D8, 0x003F));
        std::vector<std::uint32_t> errors;
        int reports = 0;
        dev->setReadErrorHandler([&](HidDevice*, std::uint32_t e) { errors.push_back(e); });
        // The open when the reader starts and the first read's second try fail.
        bus.refuseReadOpens(id, 2, platform::simerr::kPermissionDenied);
        dev->SetReportHandler(
            [&](HidDevice*, std::uint8_t, const std::uint8_t*, std::uint16_t) { ++reports; });
        QVERIFY(waitFor([&] { return bus.readOutstanding(id); }));
        QCOMPARE(errors, (std::vector<std::uint32_t>{platform::simerr::kPermissionDenied}));
        QVERIFY(writeCommand(*dev, 'v'));
        QVERIFY(waitFor([&] { return reports == 1; }));
    }

    // A handler that runs while StopReader waits for the thread and sets a report handler
    // again must not start a second thread, least of all while the device is destroyed.
    void handlerSetDuringTheStopStartsNoSecondThread_data() {
        QTest::addColumn<bool>("destroy");
        QTest::newRow("handler cleared") << false;
        QTest::newRow("device destroyed") << true;
    }
    void handlerSetDuringTheStopStartsNoSecondThread() {
        QFETCH(bool, destroy);
        Reading r;
        int late = 0;
        bool inner = false;
        r.dev->SetReportHandler(
            [&](HidDevice* d, std::uint8_t, const std::uint8_t*, std::uint16_t) {
                if (inner)
                    return;
                inner = true;
                d->SetReportHandler(nullptr);
                d->SetReportHandler(
                    [&](HidDevice*, std::uint8_t, const std::uint8_t*, std::uint16_t) { ++late; });
            });
        r.bus.queueInputReport(r.id, {0, 1});
        // The thread takes the report and waits in the hand-over (the event loop does not run
        // meanwhile); the stop below runs it.
        for (int i = 0; i < 200 && r.bus.pendingInputReports(r.id) > 0; ++i)
            QThread::msleep(5);
        QCOMPARE(r.bus.pendingInputReports(r.id), std::size_t(0));
        QThread::msleep(20);
        QVERIFY(!inner);
        const int startsBefore = r.bus.readStartCount(r.id);
        if (destroy) {
            r.dev.reset();
        } else {
            r.dev->SetReportHandler(nullptr);
            QVERIFY(!r.dev->reader());
        }
        QVERIFY(inner);
        r.bus.queueInputReport(r.id, {0, 2});
        QTest::qWait(100);
        QCOMPARE(late, 0);
        QCOMPARE(r.bus.readStartCount(r.id), startsBefore);
        QVERIFY(!r.bus.readOutstanding(r.id));
    }

    // As many reports as the platform queues for a handle, sent faster than they are handed
    // over: none is lost, none reordered.
    void burstArrivesInOrder() {
        Reading r;
        for (int i = 0; i < 64; ++i)
            r.bus.queueInputReport(r.id, {0, std::uint8_t(i), std::uint8_t(i >> 8)});
        QVERIFY(waitFor([&] { return r.reports.size() == 64; }));
        QCOMPARE(r.bus.lostInputReports(r.id), std::size_t(0));
        for (int i = 0; i < 64; ++i)
            QCOMPARE(std::uint8_t(r.reports[std::size_t(i)].data[0]), std::uint8_t(i));
    }

    void refusedStartIsReportedAndRetried() {
        Reading r;
        // Let the first read start, then have the next two starts refused.
        QVERIFY(waitFor([&] { return r.bus.readOutstanding(r.id); }));
        r.bus.refuseReadStarts(r.id, 2, platform::simerr::kIoError);
        r.bus.queueInputReport(r.id, {0, 1});
        r.bus.queueInputReport(r.id, {0, 2});
        QVERIFY(waitFor([&] { return r.reports.size() == 2; }));
        QCOMPARE(r.errors, (std::vector<std::uint32_t>{5, 5}));
        QCOMPARE(r.reports[1].data[0], char(2));
    }

    void failedReadDeliversNothing() {
        Reading r;
        QVERIFY(waitFor([&] { return r.bus.readOutstanding(r.id); }));
        r.bus.failReads(r.id, 3);
        QVERIFY(waitFor([&] { return r.bus.readStartCount(r.id) >= 4; }));
        r.bus.queueInputReport(r.id, {0, 9});
        QVERIFY(waitFor([&] { return r.reports.size() == 1; }));
        QVERIFY(r.errors.empty());
        QCOMPARE(r.reports[0].data[0], char(9));
    }

    void handlerOnFreeDeviceStartsNoThread() {
        SimulatedHidPlatform bus;
        const auto id = bus.plug(makeFunction(0x04D8, 0x003F));
        HidDeviceController c(bus);
        settle();
        int got = 0;
        HidDevice* free = c.devices().at(0);
        free->SetReportHandler(
            [&](HidDevice*, std::uint8_t, const std::uint8_t*, std::uint16_t) { ++got; });
        QVERIFY(!free->reader());
        std::unique_ptr<HidDevice> dev;
        QVERIFY(c.ClaimByIds(dev, 0x04D8, 0x003F));
        QVERIFY(dev->reader());
        bus.queueInputReport(id, {0, 1});
        QVERIFY(waitFor([&] { return got == 1; }));
    }

    void replacingTheHandlerKeepsTheThread() {
        Reading r;
        const auto* reader = r.dev->reader();
        int second = 0;
        r.dev->SetReportHandler(
            [&](HidDevice*, std::uint8_t, const std::uint8_t*, std::uint16_t) { ++second; });
        QCOMPARE(r.dev->reader(), reader);
        r.bus.queueInputReport(r.id, {0, 1});
        QVERIFY(waitFor([&] { return second == 1; }));
        QVERIFY(r.reports.empty());
    }

    void stopWhileHandOverIsPending() {
        Reading r;
        r.bus.queueInputReport(r.id, {0, 42});
        // The read thread takes the report and blocks in the hand-over; the event loop does not
        // run meanwhile.
        for (int i = 0; i < 200 && r.bus.pendingInputReports(r.id) > 0; ++i)
            QThread::msleep(5);
        QCOMPARE(r.bus.pendingInputReports(r.id), std::size_t(0));
        QThread::msleep(20);
        QVERIFY(r.reports.empty());
        r.dev->SetReportHandler(nullptr); // must run the pending call, not deadlock
        QVERIFY(!r.dev->reader());
        QCOMPARE(r.reports.size(), std::size_t(1));
        QCOMPARE(r.reports[0].data[0], char(42));
        settle(); // the queued hand-over event is gone with its thread
        QCOMPARE(r.reports.size(), std::size_t(1));
    }

    void stopWithinOneSlice() {
        Reading r(65, 400);
        QVERIFY(waitFor([&] { return r.bus.readOutstanding(r.id); }));
        QElapsedTimer t;
        t.start();
        r.dev->SetReportHandler(nullptr);
        QVERIFY2(t.elapsed() < 800, qPrintable(QString::number(t.elapsed())));
        QVERIFY(!r.bus.readOutstanding(r.id)); // the outstanding read was cancelled
    }

    void handlerThatRaisesEndsTheThread() {
        Reading r;
        int calls = 0;
        r.dev->SetReportHandler([&](HidDevice*, std::uint8_t, const std::uint8_t*, std::uint16_t) {
            ++calls;
            throw std::runtime_error("decoder failed");
        });
        r.bus.queueInputReport(r.id, {0, 1});
        QVERIFY(waitFor([&] { return r.dev->reader()->finished(); }));
        r.bus.queueInputReport(r.id, {0, 2});
        QTest::qWait(60);
        QCOMPARE(calls, 1);
        QVERIFY(r.dev->claimed());
        QVERIFY(r.dev->reader()); // kept until the handler is cleared and set again
        r.dev->SetReportHandler(nullptr);
        r.dev->SetReportHandler(r.recorder());
        QVERIFY(waitFor([&] { return r.reports.size() == 1; }));
        QCOMPARE(r.reports[0].data[0], char(2));
    }

    void handlerMayDestroyItsDevice() {
        Reading r;
        r.dev->SetReportHandler(
            [&](HidDevice*, std::uint8_t, const std::uint8_t*, std::uint16_t) { r.dev.reset(); });
        r.bus.queueInputReport(r.id, {0, 1});
        QVERIFY(waitFor([&] { return !r.dev; }));
        settle(); // the ended thread is joined from the event loop
        // The interface is still there: a fresh free device took its place.
        QCOMPARE(r.controller->devices().size(), std::size_t(1));
        QVERIFY(!r.controller->devices().at(0)->claimed());
    }

    void unplugWhileReadOutstanding() {
        Reading r;
        QVERIFY(waitFor([&] { return r.bus.readOutstanding(r.id); }));
        bool removed = false;
        r.controller->setOnRemoval([&](HidDevice*) { removed = true; });
        // The interface goes away; the read ends without data. Until the scan marks the
        // device unplugged, refused starts are read errors with the platform's code.
        r.bus.unplug(r.id);
        QVERIFY(waitFor([&] { return removed; }));
        QVERIFY(!r.dev->plugged());
        QVERIFY(r.reports.empty());
        // After the unplug every pass reports a read error without touching the platform.
        const auto before = r.errors.size();
        QVERIFY(waitFor([&] { return r.errors.size() > before + 3; }));
        // The code is the platform's last one on the read thread: the failed completion of the
        // outstanding read (device gone or cancelled by the unplug).
        for (auto e : r.errors)
            QVERIFY2(e == platform::simerr::kNoSuchDevice || e == platform::simerr::kCancelled,
                     qPrintable(QString::number(e)));
        r.dev.reset(); // stops the thread
        QVERIFY(r.controller->devices().empty());
    }

    // The controller marks a claimed device unplugged while the interface stays on the bus (its
    // destruction does so): the read handle is closed under a running read thread.
    void markUnpluggedUnderRunningReads() {
        std::mt19937 random(7);
        for (int round = 0; round < 40; ++round) {
            Reading r(65, 10);
            Feeder feeder(r.bus, r.id, 200);
            const int delay = std::uniform_int_distribution<int>(0, 3000)(random);
            QElapsedTimer t;
            t.start();
            while (t.nsecsElapsed() < delay * 1000)
                QCoreApplication::processEvents();
            r.controller.reset(); // MarkUnplugged on the claimed device
            const auto startsAfterUnplug = r.bus.readStartCount(r.id);
            const auto delivered = r.reports.size();
            QTest::qWait(20);
            // Nothing is read from the closed handle any more; only a report read before the
            // unplug may still be handed over.
            QCOMPARE(r.bus.readStartCount(r.id), startsAfterUnplug);
            QVERIFY(r.reports.size() <= delivered + 1);
            r.dev.reset();
            QCOMPARE(r.bus.openHandleCount(r.id), 0);
        }
    }

    void unplugRacingTheReadLoop() {
        std::mt19937 random(11);
        for (int round = 0; round < 40; ++round) {
            Reading r(65, 10);
            Feeder feeder(r.bus, r.id, 300);
            const int delay = std::uniform_int_distribution<int>(0, 3000)(random);
            bool removed = false;
            r.controller->setOnRemoval([&](HidDevice* d) {
                removed = true;
                if (d == r.dev.get())
                    r.dev.reset();
            });
            std::thread unplugger([&] {
                std::this_thread::sleep_for(std::chrono::microseconds(delay));
                r.bus.unplug(r.id);
            });
            const bool seen = waitFor([&] { return removed; });
            unplugger.join();
            QVERIFY(seen);
            QVERIFY(!r.dev);
        }
    }
};

QTEST_GUILESS_MAIN(TestHidReadThread)
#include "test_hid_read_thread.moc"
