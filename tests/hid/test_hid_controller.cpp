#include "hid_test_support.h"

#include <algorithm>
#include <stdexcept>

using namespace hq;
using namespace hqtest;
using hq::platform::SimulatedPlugOptions;

class TestHidController : public QObject {
    Q_OBJECT

    // Records events as "arrival:<path>", "removal:<path>", "unplug:<path>", "change".
    struct Recorder {
        QStringList log;
        void attach(HidDeviceController& c) {
            c.setOnArrival([this](HidDevice* d) { log << "arrival:" + pathOf(d); });
            c.setOnRemoval([this](HidDevice* d) { log << "removal:" + pathOf(d); });
            c.setLoading(true);
            c.setOnDeviceChange([this](HidDeviceController*) { log << "change"; });
            c.setLoading(false);
        }
    };

private slots:
    void startupWithoutDevices() {
        SimulatedHidPlatform bus;
        HidDeviceController c(bus);
        Recorder r;
        r.attach(c);
        QVERIFY(r.log.isEmpty()); // no scan before the event loop runs
        settle();
        QCOMPARE(r.log, QStringList{"change"});
    }

    void startupReportsEveryInterfaceInScanOrder() {
        SimulatedHidPlatform bus;
        bus.plug(makeFunction(0x046D, 0xC077), at("mouse"));
        bus.plug(makeFunction(0x04D8, 0x003F), at("cabinet"));
        bus.plug(makeFunction(0x1234, 0x0001),
                 at("locked", [](auto& o) { o.refuseAllOpens = true; }));
        bus.plug(makeFunction(0x1234, 0x0002),
                 at("anon", [](auto& o) { o.failAttributes = true; }));
        HidDeviceController c(bus);
        Recorder r;
        r.attach(c);
        settle();
        QCOMPARE(r.log, (QStringList{"arrival:mouse", "arrival:cabinet", "change"}));
        QCOMPARE(c.devices().size(), std::size_t(2));
        // Finished free devices hold no open handle.
        QCOMPARE(bus.openHandleCount(1) + bus.openHandleCount(2), 0);
    }

    void unchangedBusRaisesNothingAndKeepsObjects() {
        SimulatedHidPlatform bus;
        bus.plug(makeFunction(0x04D8, 0x003F), at("cabinet"));
        HidDeviceController c(bus);
        Recorder r;
        r.attach(c);
        settle();
        HidDevice* before = c.devices().at(0);
        r.log.clear();
        bus.notifyChange();
        settle();
        QVERIFY(r.log.isEmpty());
        QCOMPARE(c.devices().at(0), before);
    }

    void unplugAndReplug() {
        SimulatedHidPlatform bus;
        const auto a = bus.plug(makeFunction(1, 1), at("a"));
        bus.plug(makeFunction(2, 2), at("b"));
        const auto cab = bus.plug(makeFunction(0x04D8, 0x003F), at("cabinet"));
        HidDeviceController c(bus);
        Recorder r;
        r.attach(c);
        settle();
        std::unique_ptr<HidDevice> claimed;
        QVERIFY(c.ClaimByIds(claimed, 0x04D8, 0x003F));
        claimed->setUnplugHandler([&](HidDevice* d) { r.log << "unplug:" + pathOf(d); });
        r.log.clear();

        // Both vanish before the first scan runs: removals from the last position to the
        // first. The second notification's scan reports the kept claimed device again.
        bus.unplug(a);
        bus.unplug(cab);
        settle();
        QCOMPARE(r.log, (QStringList{"unplug:cabinet", "removal:cabinet", "removal:a", "change",
                                     "removal:cabinet", "change"}));
        QVERIFY(!claimed->plugged());
        // The free one is gone; the claimed one stays listed until its owner destroys it.
        QCOMPARE(c.devices().size(), std::size_t(2));

        // The owner keeps it: every later scan reports its removal again, without the unplug
        // handler.
        r.log.clear();
        bus.notifyChange();
        settle();
        QCOMPARE(r.log, (QStringList{"removal:cabinet", "change"}));
        r.log.clear();
        bus.notifyChange();
        settle();
        QCOMPARE(r.log, (QStringList{"removal:cabinet", "change"}));

        // Destroying it after the unplug removes its entry.
        claimed.reset();
        QCOMPARE(c.devices().size(), std::size_t(1));

        // Replugging gives a new entry and an arrival.
        r.log.clear();
        bus.plug(makeFunction(0x04D8, 0x003F), at("cabinet"));
        settle();
        QCOMPARE(r.log, (QStringList{"arrival:cabinet", "change"}));
        QCOMPARE(c.devices().size(), std::size_t(2));
    }

    void removalHandlerMayDestroyTheClaimedDevice() {
        SimulatedHidPlatform bus;
        const auto cab = bus.plug(makeFunction(0x04D8, 0x003F), at("cabinet"));
        HidDeviceController c(bus);
        std::unique_ptr<HidDevice> current;
        QStringList log;
        c.setOnArrival([&](HidDevice*) {
            if (!current)
                c.ClaimByIds(current, 0x04D8, 0x003F);
        });
        c.setOnRemoval([&](HidDevice* d) {
            log << "removal";
            if (d == current.get())
                current.reset();
        });
        settle();
        QVERIFY(current);
        current->SetReportHandler(
            [](HidDevice*, std::uint8_t, const std::uint8_t*, std::uint16_t) {});
        QVERIFY(current->reader());
        bus.unplug(cab);
        settle();
        QCOMPARE(log, QStringList{"removal"});
        QVERIFY(!current);
        QVERIFY(c.devices().empty());
    }

    void claimByIds_data() {
        QTest::addColumn<int>("vendor");
        QTest::addColumn<int>("product");
        QTest::addColumn<bool>("claimFirst");
        QTest::addColumn<QString>("expected"); // empty: no claim
        QTest::newRow("exact") << 0x04D8 << 0x003F << false << "cabinet";
        QTest::newRow("absent") << 0x04D8 << 0x0040 << false << "";
        QTest::newRow("any product") << 0x04D8 << -1 << false << "pic";
        QTest::newRow("any product, first claimed") << 0x04D8 << -1 << true << "cabinet";
        QTest::newRow("no vendor wildcard") << -1 << -1 << false << "";
        QTest::newRow("only match claimed") << 0x04D8 << 0x000A << true << "";
    }
    void claimByIds() {
        QFETCH(int, vendor);
        QFETCH(int, product);
        QFETCH(bool, claimFirst);
        QFETCH(QString, expected);
        SimulatedHidPlatform bus;
        bus.plug(makeFunction(0x046D, 0xC077), at("mouse"));
        bus.plug(makeFunction(0x04D8, 0x000A), at("pic"));
        bus.plug(makeFunction(0x04D8, 0x003F), at("cabinet"));
        HidDeviceController c(bus);
        settle();
        std::unique_ptr<HidDevice> first;
        if (claimFirst)
            QVERIFY(c.ClaimByIds(first, 0x04D8, 0x000A));
        std::unique_ptr<HidDevice> dev;
        const bool ok = c.ClaimByIds(dev, vendor, product);
        QCOMPARE(ok, !expected.isEmpty());
        QCOMPARE(dev != nullptr, ok);
        if (ok) {
            QCOMPARE(pathOf(dev.get()), expected);
            QVERIFY(dev->claimed());
        }
    }

    void claimAtLeavesOutDeviceOnFailure() {
        SimulatedHidPlatform bus;
        bus.plug(makeFunction(1, 1));
        HidDeviceController c(bus);
        settle();
        std::unique_ptr<HidDevice> dev;
        QVERIFY(!c.ClaimAt(dev, 0, false));
        QVERIFY(!c.ClaimAt(dev, 5, true));
        QVERIFY(!dev);
        QVERIFY(c.ClaimAt(dev, 0, true));
        HidDevice* held = dev.get();
        std::unique_ptr<HidDevice> other;
        QVERIFY(!c.ClaimAt(other, 0, true));
        QVERIFY(!other);
        QCOMPARE(dev.get(), held);
    }

    // A claimed device still held in the out-parameter of a claim stays claimed and keeps
    // reading; the controller destroys it when its interface goes. ClaimByIds lets go of it
    // before it looks for a device; ClaimAt, called directly, only once it has one.
    void claimKeepsTheDeviceTheCallerHeld_data() {
        QTest::addColumn<bool>("secondCabinet");
        QTest::addColumn<bool>("atIndex"); // the second claim by ClaimAt, else by ClaimByIds
        QTest::newRow("another cabinet claimed") << true << false;
        QTest::newRow("nothing left to claim") << false << false;
        QTest::newRow("another cabinet claimed at its index") << true << true;
    }
    void claimKeepsTheDeviceTheCallerHeld() {
        QFETCH(bool, secondCabinet);
        QFETCH(bool, atIndex);
        SimulatedHidPlatform bus;
        const auto first = bus.plug(makeFunction(0x04D8, 0x003F), at("first"));
        if (secondCabinet)
            bus.plug(makeFunction(0x04D8, 0x003F), at("second"));
        HidDeviceController c(bus);
        settle();
        std::unique_ptr<HidDevice> dev;
        QVERIFY(c.ClaimByIds(dev, 0x04D8, 0x003F));
        HidDevice* const held = dev.get();
        int reports = 0, removals = 0;
        dev->SetReportHandler(
            [&](HidDevice*, std::uint8_t, const std::uint8_t*, std::uint16_t) { ++reports; });
        if (atIndex) {
            const auto second = std::find_if(c.devices().begin(), c.devices().end(),
                                             [](HidDevice* d) { return pathOf(d) == "second"; });
            QVERIFY(second != c.devices().end());
            const auto index = static_cast<std::int32_t>(second - c.devices().begin());
            QVERIFY(c.ClaimAt(dev, index, true));
        } else {
            QCOMPARE(c.ClaimByIds(dev, 0x04D8, 0x003F), secondCabinet);
        }
        QCOMPARE(dev != nullptr, secondCabinet);
        if (dev)
            QCOMPARE(pathOf(dev.get()), QString("second"));
        // The first cabinet is still claimed and alive: the same object is listed for it (a
        // destroyed claim would have left a free device in its place), and it reads.
        const auto listed = std::find_if(c.devices().begin(), c.devices().end(),
                                         [](HidDevice* d) { return pathOf(d) == "first"; });
        QVERIFY(listed != c.devices().end());
        QCOMPARE(*listed, held);
        QVERIFY(held->claimed());
        QVERIFY(held->reader());
        bus.queueInputReport(first, {0, 1});
        QVERIFY(waitFor([&] { return reports == 1; }));

        c.setOnRemoval([&](HidDevice* d) { removals += d == held; });
        bus.unplug(first);
        QVERIFY(waitFor([&] { return removals == 1; }));
        // Destroyed by the controller: a claimed device nobody destroyed would stay listed.
        QVERIFY(std::none_of(c.devices().begin(), c.devices().end(),
                             [](HidDevice* d) { return pathOf(d) == "first"; }));
    }

    void destroyingClaimedPluggedDeviceLeavesReplacement() {
        SimulatedHidPlatform bus;
        bus.plug(makeFunction(1, 1), at("a"));
        bus.plug(makeFunction(0x04D8, 0x003F), at("cabinet"));
        bus.plug(makeFunction(2, 2), at("b"));
        HidDeviceController c(bus);
        QStringList log;
        c.setOnArrival([&](HidDevice* d) { log << "arrival:" + pathOf(d); });
        settle();
        log.clear();
        std::unique_ptr<HidDevice> dev;
        QVERIFY(c.ClaimByIds(dev, 0x04D8, 0x003F));
        int reports = 0;
        auto report = [&](HidDevice*, std::uint8_t, const std::uint8_t*, std::uint16_t) {
            ++reports;
        };
        dev->SetReportHandler(report);
        dev->setUnplugHandler([&](HidDevice*) { log << "unplug"; });
        dev->SetSleepTime(250);
        const auto devInst = dev->pnpRecord().DevInst;
        dev.reset();

        QCOMPARE(c.devices().size(), std::size_t(3));
        HidDevice* r = c.devices().at(1);
        QCOMPARE(QString::fromStdString(r->pnpRecord().InterfacePath), QString("cabinet"));
        QCOMPARE(r->pnpRecord().DevInst, devInst);
        QCOMPARE(r->hidAttributes().vendorId, std::uint16_t(0x04D8));
        QCOMPARE(r->hidAttributes().productId, std::uint16_t(0x003F));
        QVERIFY(!r->claimed());
        QCOMPARE(r->sleepTime(), 250);
        QVERIFY(r->reportHandler() == HidDataEvent(report));
        QVERIFY(r->unplugHandler());
        QVERIFY(!r->reader());
        QVERIFY(log.isEmpty()); // no arrival for the replacement

        // It can be claimed again, and its reader then starts.
        QVERIFY(c.ClaimByIds(dev, 0x04D8, 0x003F));
        QCOMPARE(dev.get(), r);
        QVERIFY(dev->reader());
    }

    void replacementThatCannotBeOpenedDropsTheEntry() {
        SimulatedHidPlatform bus;
        const auto id = bus.plug(makeFunction(0x04D8, 0x003F), at("cabinet"));
        HidDeviceController c(bus);
        QStringList log;
        c.setOnArrival([&](HidDevice* d) { log << "arrival:" + pathOf(d); });
        settle();
        std::unique_ptr<HidDevice> dev;
        QVERIFY(c.ClaimByIds(dev, 0x04D8, 0x003F));
        // The interface vanishes without a scan noticing: the device still counts as plugged.
        bus.unplug(id);
        QVERIFY(dev->plugged());
        dev.reset(); // must neither crash nor leak (checked under ASan)
        QVERIFY(c.devices().empty());
        // When it is back, the next scan announces it anew.
        log.clear();
        bus.plug(makeFunction(0x04D8, 0x003F), at("cabinet"));
        settle();
        QCOMPARE(log, QStringList{"arrival:cabinet"});
    }

    void handlerRaisingInsideScan() {
        SimulatedHidPlatform bus;
        bus.plug(makeFunction(1, 1), at("a"));
        bus.plug(makeFunction(2, 2), at("b"));
        HidDeviceController c(bus);
        QStringList log;
        bool raise = true;
        HidDevice* seen = nullptr;
        c.setOnArrival([&](HidDevice* d) {
            log << "arrival:" + pathOf(d);
            seen = d;
            if (raise)
                throw std::runtime_error("handler failed");
        });
        bool caught = false;
        try {
            c.notifyDeviceChange(-1);
        } catch (const std::runtime_error&) {
            caught = true;
        }
        QVERIFY(caught);
        QVERIFY(!c.inDeviceChange());
        QVERIFY(seen && !seen->inEvent());
        QCOMPARE(log, QStringList{"arrival:a"});
        // The next notification is handled: the interface left out gets its arrival.
        raise = false;
        log.clear();
        c.notifyDeviceChange(0);
        QCOMPARE(log, QStringList{"arrival:b"});
        QCOMPARE(c.devices().size(), std::size_t(2));
        settle(); // the queued start-up notification finds nothing new
        QCOMPARE(log, QStringList{"arrival:b"});
    }

    void notificationDuringScanStartsNoSecondScan() {
        SimulatedHidPlatform bus;
        bus.plug(makeFunction(1, 1), at("a"));
        HidDeviceController c(bus);
        int arrivals = 0;
        c.setOnArrival([&](HidDevice*) {
            ++arrivals;
            bus.plug(makeFunction(2, 2), at("b"));
            c.notifyDeviceChange(0); // nested: ignored
        });
        c.notifyDeviceChange(-1);
        QCOMPARE(arrivals, 1);
        QCOMPARE(c.devices().size(), std::size_t(1));
    }

    void runEnumeration() {
        SimulatedHidPlatform bus;
        HidDeviceController c(bus);
        settle();
        QCOMPARE(c.RunEnumeration(), 0);
        const auto a = bus.plug(makeFunction(1, 1), at("a"));
        bus.plug(makeFunction(2, 2), at("b"));
        bus.plug(makeFunction(3, 3), at("c"));
        settle();
        QCOMPARE(c.RunEnumeration(), 1); // unset handler: stops at the first
        QCOMPARE(bus.openHandleCount(a), 0);

        QStringList seen;
        c.setOnEnumerate([&](HidDevice* d, std::int32_t idx) {
            seen << QString("%1@%2").arg(pathOf(d)).arg(idx);
            // The handler may open the device; the controller closes it again.
            d->QueryProductText();
            d->OpenControl();
            return idx < 1;
        });
        QCOMPARE(c.RunEnumeration(), 2);
        QCOMPARE(seen, (QStringList{"a@0", "b@1"}));
        QCOMPARE(bus.openHandleCount(a), 0);
        QCOMPARE(bus.openHandleCount(a + 1), 0);
    }

    void devThreadSleepTime() {
        SimulatedHidPlatform bus;
        bus.plug(makeFunction(1, 1));
        bus.plug(makeFunction(2, 2));
        HidDeviceController c(bus);
        settle();
        c.devices().at(1)->SetSleepTime(300);
        c.setDevThreadSleepTime(5);
        QCOMPARE(c.devThreadSleepTime(), 5);
        QCOMPARE(c.devices().at(0)->sleepTime(), 100); // 5 is out of range
        c.setDevThreadSleepTime(50);
        QCOMPARE(c.devices().at(0)->sleepTime(), 100); // none had 5
        c.setDevThreadSleepTime(100);
        c.setDevThreadSleepTime(40);
        QCOMPARE(c.devices().at(0)->sleepTime(), 40);
        QCOMPARE(c.devices().at(1)->sleepTime(), 300); // its own value stays
        bus.plug(makeFunction(3, 3));
        settle();
        QCOMPARE(c.devices().at(2)->sleepTime(), 100); // new devices start at 100
    }

    void defaultHandlersFollowTheController() {
        struct Receiver {
            int calls = 0;
            void data(HidDevice*, std::uint8_t, const std::uint8_t*, std::uint16_t) { ++calls; }
            void other(HidDevice*, std::uint8_t, const std::uint8_t*, std::uint16_t) {}
        } r1, r2;
        SimulatedHidPlatform bus;
        bus.plug(makeFunction(1, 1));
        bus.plug(makeFunction(2, 2));
        HidDeviceController c(bus);
        c.setOnDeviceData(HidDataEvent::bind(&r1, &Receiver::data));
        settle();
        HidDevice* d0 = c.devices().at(0);
        HidDevice* d1 = c.devices().at(1);
        QVERIFY(d0->reportHandler() == HidDataEvent::bind(&r2, &Receiver::data));
        d1->SetReportHandler(HidDataEvent::bind(&r1, &Receiver::other));
        // The same function on another receiver counts as unchanged: nothing is replaced.
        c.setOnDeviceData(HidDataEvent::bind(&r2, &Receiver::data));
        QVERIFY(d0->reportHandler() == HidDataEvent::bind(&r1, &Receiver::data));
        auto lambda = [](HidDevice*, std::uint8_t, const std::uint8_t*, std::uint16_t) {};
        c.setOnDeviceData(lambda);
        QVERIFY(d0->reportHandler() == HidDataEvent(lambda));
        QVERIFY(d1->reportHandler() == HidDataEvent::bind(&r1, &Receiver::other));

        int unplugs = 0;
        c.setOnDeviceUnplug([&](HidDevice*) { ++unplugs; });
        c.setOnDeviceDataError([](HidDevice*, std::uint32_t) {});
        QVERIFY(d0->unplugHandler() && d1->readErrorHandler());
    }

    void destroyingControllerKeepsClaimedDevice() {
        SimulatedHidPlatform bus;
        bus.plug(makeFunction(0x04D8, 0x003F));
        bus.plug(makeFunction(1, 1));
        std::unique_ptr<HidDevice> dev;
        int unplugs = 0;
        {
            HidDeviceController c(bus);
            settle();
            QVERIFY(c.ClaimByIds(dev, 0x04D8, 0x003F));
            dev->setUnplugHandler([&](HidDevice*) { ++unplugs; });
        }
        QCOMPARE(unplugs, 1);
        QVERIFY(!dev->plugged());
        QVERIFY(dev->controller() == nullptr);
        QCOMPARE(dev->QueryProductText(), QString()); // never fetched; unreachable now
        dev.reset();                                  // touches no list
    }

    void unavailablePlatformNeverScans() {
        SimulatedHidPlatform bus;
        bus.plug(makeFunction(1, 1));
        bus.setAvailable(false);
        HidDeviceController c(bus);
        QStringList log;
        c.setOnArrival([&](HidDevice*) { log << "arrival"; });
        c.setLoading(true);
        c.setOnDeviceChange([&](HidDeviceController*) { log << "change"; });
        settle();
        bus.notifyChange();
        settle();
        QVERIFY(log.isEmpty());
        QVERIFY(c.devices().empty());
    }

    void versionIsFixed() {
        SimulatedHidPlatform bus;
        HidDeviceController c(bus);
        c.setVersion("2.0");
        QCOMPARE(c.version(), QString("1.0.0"));
    }
};

QTEST_GUILESS_MAIN(TestHidController)
#include "test_hid_controller.moc"
