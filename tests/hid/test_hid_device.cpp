#include "hid_test_support.h"

#include <mutex>
#include <stdexcept>

using namespace hq;
using namespace hqtest;
using hq::platform::SimulatedHidFunction;

namespace {

// A device whose serial string and language list the test sets.
class SerialFunction : public SimulatedHidFunction {
public:
    std::optional<std::u16string> serial;
    std::vector<std::uint16_t> languages;
    platform::HidAttributes attributes() const override { return {12, 0x04D8, 0x003F, 1}; }
    platform::HidCaps caps() const override { return {0, 0, 65, 65, 0}; }
    std::optional<std::u16string> productString() const override { return u"HQ3746"; }
    std::optional<std::u16string> serialString() const override { return serial; }
    std::vector<std::uint16_t> languageIds() const override { return languages; }
    std::vector<std::vector<std::uint8_t>> onOutputReport(std::span<const std::uint8_t>) override {
        return {};
    }
};

struct Fixture {
    SimulatedHidPlatform bus;
    std::unique_ptr<HidDeviceController> controller;
    std::unique_ptr<HidDevice> dev;

    bool claim(std::shared_ptr<SimulatedHidFunction> f,
               platform::SimulatedPlugOptions options = {}) {
        bus.plug(std::move(f), std::move(options));
        controller = std::make_unique<HidDeviceController>(bus);
        settle();
        return controller->ClaimAt(dev, 0, true);
    }
    ~Fixture() {
        dev.reset();
        controller.reset();
    }
};

} // namespace

class TestHidDevice : public QObject {
    Q_OBJECT

private slots:
    void constructionFailures_data() {
        QTest::addColumn<bool>("refuseAll");
        QTest::addColumn<bool>("failAttributes");
        QTest::addColumn<QString>("message");
        QTest::addColumn<uint>("code");
        QTest::newRow("cannot open") << true << false << "device cannot be opened" << 13u;
        QTest::newRow("cannot identify") << false << true << "device cannot be identified" << 5u;
    }
    void constructionFailures() {
        QFETCH(bool, refuseAll);
        QFETCH(bool, failAttributes);
        QFETCH(QString, message);
        QFETCH(uint, code);
        SimulatedHidPlatform bus;
        const auto id = bus.plug(makeFunction(1, 2), at("x", [&](auto& o) {
                                     o.refuseAllOpens = refuseAll;
                                     o.failAttributes = failAttributes;
                                 }));
        const auto info = bus.enumerate().at(0);
        try {
            HidDevice dev(bus, std::make_unique<HidPnpInfo>(info), nullptr);
            QFAIL("construction succeeded");
        } catch (const ControllerError& e) {
            QCOMPARE(QString(e.what()), message);
            QCOMPARE(uint(e.code()), code);
        }
        QCOMPARE(bus.openHandleCount(id), 0); // nothing left open
    }

    void queryOnlyDeviceKeepsTheOpenError() {
        Fixture f;
        QVERIFY(f.claim(makeFunction(0x04D8, 0x003F),
                        at("ro", [](auto& o) { o.refuseReadWrite = true; })));
        QVERIFY(!f.dev->canReadWrite());
        QCOMPARE(f.dev->openError(), platform::simerr::kPermissionDenied);
        QCOMPARE(QString::fromStdString(f.dev->openErrorText()), QString("Permission denied"));
        QCOMPARE(f.dev->QueryProductText(), QString("Device")); // queries work query-only
        f.dev->SetReportHandler(
            [](HidDevice*, std::uint8_t, const std::uint8_t*, std::uint16_t) {});
        QVERIFY(!f.dev->reader()); // no read thread without read-write access
        std::uint32_t written = 99;
        const std::uint8_t report[65] = {};
        QVERIFY(!f.dev->SendReport(report, 65, written));
        QCOMPARE(written, 0u);
    }

    void setSleepTime_data() {
        QTest::addColumn<int>("value");
        QTest::addColumn<int>("expected");
        QTest::newRow("below") << 9 << 100;
        QTest::newRow("lowest") << 10 << 10;
        QTest::newRow("highest") << 10000 << 10000;
        QTest::newRow("above") << 10001 << 100;
        QTest::newRow("negative") << -5 << 100;
    }
    void setSleepTime() {
        QFETCH(int, value);
        QFETCH(int, expected);
        Fixture f;
        QVERIFY(f.claim(makeFunction(1, 1)));
        f.dev->SetSleepTime(value);
        QCOMPARE(f.dev->sleepTime(), expected);
    }

    void querySerialText_data() {
        QTest::addColumn<QString>("serial"); // "<none>": no serial string
        QTest::addColumn<QList<int>>("languages");
        QTest::addColumn<bool>("noIndexedStrings");
        QTest::addColumn<QString>("expected");
        QTest::newRow("plain") << "HQ0012345678" << QList<int>{0x0409} << false << "HQ0012345678";
        QTest::newRow("equals language list")
            << QString(QChar(0x0409)) << QList<int>{0x0409} << false << "";
        QTest::newRow("starts with language list")
            << QString("%1%2AB").arg(QChar(0x0409), QChar(0x0407)) << QList<int>{0x0409, 0x0407}
            << false << "";
        QTest::newRow("differs in second unit")
            << QString("%1X").arg(QChar(0x0409)) << QList<int>{0x0409, 0x0407} << false
            << QString("%1X").arg(QChar(0x0409));
        QTest::newRow("list ends with zero unit")
            << QString("%1X").arg(QChar(0x0409)) << QList<int>{0x0409, 0} << false << "";
        QTest::newRow("no language list") << "HQ0012345678" << QList<int>{} << false << "";
        QTest::newRow("platform without indexed strings")
            << "HQ0012345678" << QList<int>{} << true << "HQ0012345678";
        QTest::newRow("no serial string") << "<none>" << QList<int>{0x0409} << false << "";
    }
    void querySerialText() {
        QFETCH(QString, serial);
        QFETCH(QList<int>, languages);
        QFETCH(bool, noIndexedStrings);
        QFETCH(QString, expected);
        auto fn = std::make_shared<SerialFunction>();
        if (serial != "<none>")
            fn->serial = serial.toStdU16String();
        for (int l : languages)
            fn->languages.push_back(static_cast<std::uint16_t>(l));
        Fixture f;
        QVERIFY(f.claim(fn, at("cab", [&](auto& o) { o.noIndexedStrings = noIndexedStrings; })));
        QCOMPARE(f.dev->QuerySerialText(), expected);
        // A refused query is asked again; an accepted one is cached.
        fn->serial = u"LATER";
        fn->languages = {0x0409};
        QCOMPARE(f.dev->QuerySerialText(), expected.isEmpty() ? QString("LATER") : expected);
        QCOMPARE(f.bus.openHandleCount(1), 0);
    }

    void textsAreCachedAcrossUnplug() {
        Fixture f;
        QVERIFY(f.claim(makeFunction(0x04D8, 0x003F, u"HQ3746")));
        QCOMPARE(f.dev->QueryProductText(), QString("HQ3746"));
        f.bus.unplug(1);
        settle();
        QVERIFY(!f.dev->plugged());
        QCOMPARE(f.dev->QueryProductText(), QString("HQ3746"));
        QCOMPARE(f.dev->QuerySerialText(), QString()); // never fetched
        QVERIFY(!f.dev->OpenControl());
    }

    void readCaps() {
        Fixture f;
        QVERIFY(f.claim(makeFunction(1, 1, u"x", u"s", 33, 17)));
        auto caps = f.dev->ReadCaps();
        QCOMPARE(caps.inputReportByteLength, std::uint16_t(33));
        QCOMPARE(caps.outputReportByteLength, std::uint16_t(17));
        QCOMPARE(f.bus.openHandleCount(1), 0);

        Fixture g;
        QVERIFY(g.claim(makeFunction(1, 1), at("np", [](auto& o) { o.noPreparsedData = true; })));
        caps = g.dev->ReadCaps();
        QCOMPARE(caps.inputReportByteLength, std::uint16_t(0));
        QCOMPARE(caps.outputReportByteLength, std::uint16_t(0));
    }

    void sendReport() {
        auto fn = makeFunction(0x04D8, 0x003F);
        SimulatedHidPlatform bus;
        const auto id = bus.plug(fn);
        HidDeviceController c(bus);
        std::vector<std::uint8_t> report(65, 0);
        report[1] = 'v';
        std::uint32_t written = 0;
        bool inArrival = false;
        c.setOnArrival([&](HidDevice* d) { inArrival = d->SendReport(report, written); });
        settle();
        QVERIFY(inArrival); // a free device is reachable inside its arrival event
        HidDevice* free = c.devices().at(0);
        QCOMPARE(bus.openHandleCount(id), 1); // a write leaves the handle open
        free->CloseControl();
        QVERIFY(!free->SendReport(report, written)); // free, outside an event
        QCOMPARE(bus.writeCount(id), 1);

        std::unique_ptr<HidDevice> dev;
        QVERIFY(c.ClaimByIds(dev, 0x04D8, 0x003F));
        QVERIFY(dev->SendReport(report, written));
        QCOMPARE(written, 65u);
        QCOMPARE(fn->writtenReports().back(), report);
        bus.failWrites(id, 1);
        QVERIFY(!dev->SendReport(report, written));
        QCOMPARE(bus.lastError(), platform::simerr::kIoError);
        QVERIFY(dev->SendReport(report, written));
        QCOMPARE(fn->writtenReports().size(), std::size_t(3));
    }

    void markUnpluggedOnce() {
        Fixture f;
        QVERIFY(f.claim(makeFunction(1, 1)));
        int calls = 0;
        f.dev->setUnplugHandler([&](HidDevice* d) {
            ++calls;
            QVERIFY(!d->plugged());
        });
        QVERIFY(f.dev->OpenControl());
        QCOMPARE(f.bus.openHandleCount(1), 1);
        f.dev->MarkUnplugged();
        QCOMPARE(f.bus.openHandleCount(1), 0);
        f.dev->MarkUnplugged();
        QCOMPARE(calls, 1);
        QVERIFY(!f.dev->unplugHandler());
    }

    // The unplug handler is called, then cleared: whatever it does meanwhile, it fires once and
    // no handler is left behind.
    void unplugHandlerIsClearedAfterItsCall_data() {
        QTest::addColumn<QString>("during");
        QTest::newRow("sets another handler") << "set";
        QTest::newRow("marks the device unplugged again") << "again";
        QTest::newRow("raises") << "raise";
    }
    void unplugHandlerIsClearedAfterItsCall() {
        QFETCH(QString, during);
        Fixture f;
        QVERIFY(f.claim(makeFunction(1, 1)));
        int calls = 0, replacementCalls = 0;
        f.dev->setUnplugHandler([&](HidDevice* d) {
            ++calls;
            if (during == "set")
                d->setUnplugHandler([&](HidDevice*) { ++replacementCalls; });
            else if (during == "again")
                d->MarkUnplugged();
            else
                throw std::runtime_error("handler failed");
        });
        bool raised = false;
        try {
            f.dev->MarkUnplugged();
        } catch (const std::runtime_error&) {
            raised = true;
        }
        QCOMPARE(raised, during == "raise");
        QCOMPARE(calls, 1);
        QVERIFY(!f.dev->unplugHandler());
        f.dev->MarkUnplugged();
        QCOMPARE(calls, 1);
        QCOMPARE(replacementCalls, 0);
    }

    void handlerComparison() {
        struct R {
            void a(HidDevice*) {}
            void b(HidDevice*) {}
        } r1, r2;
        auto l1 = [](HidDevice*) {};
        auto l2 = [](HidDevice*) {};
        QVERIFY(HidPlugEvent::bind(&r1, &R::a) == HidPlugEvent::bind(&r2, &R::a));
        QVERIFY(!(HidPlugEvent::bind(&r1, &R::a) == HidPlugEvent::bind(&r1, &R::b)));
        QVERIFY(HidPlugEvent(l1) == HidPlugEvent(l1));
        QVERIFY(!(HidPlugEvent(l1) == HidPlugEvent(l2)));
        QVERIFY(HidPlugEvent() == HidPlugEvent(nullptr));
        QVERIFY(!(HidPlugEvent() == HidPlugEvent(l1)));
    }
};

QTEST_GUILESS_MAIN(TestHidDevice)
#include "test_hid_device.moc"
