#include "hid_test_support.h"

#include "protocol/command_frame.h"
#include "sim/cabinet_hid_device.h"

using namespace hq;
using namespace hqtest;
using namespace std::chrono;

class TestCabinetHidDevice : public QObject {
    Q_OBJECT

    struct World {
        system_clock::time_point now{system_clock::time_point() + hours(24 * 365 * 50)};
        sim::Clock clock{[this] { return now; }};
        SimulatedHidPlatform bus;
        sim::Cabinet cabinet{{}, clock};
        sim::CabinetHidDevice adapter{bus, cabinet, clock};
        HidDeviceController controller{bus};
        std::unique_ptr<HidDevice> dev;
        QStringList log;
        std::vector<QByteArray> reports;

        World() {
            controller.setOnArrival([this](HidDevice* d) {
                log << "arrival";
                if (!dev && d->hidAttributes().vendorId == 0x04D8 &&
                    d->hidAttributes().productId == 0x003F && d->canReadWrite())
                    controller.ClaimByIds(dev, 0x04D8, 0x003F);
                if (dev)
                    dev->SetReportHandler([this](HidDevice*, std::uint8_t id,
                                                 const std::uint8_t* data, std::uint16_t size) {
                        QByteArray r(1, char(id));
                        r.append(reinterpret_cast<const char*>(data), size);
                        reports.push_back(r);
                    });
            });
            controller.setOnRemoval([this](HidDevice* d) {
                log << "removal";
                if (d == dev.get())
                    dev.reset();
            });
        }
        bool send(std::uint8_t code) {
            std::vector<std::uint8_t> report(65, 0);
            report[1] = code;
            std::uint32_t written = 0;
            return dev && dev->SendReport(report, written) && written == 65;
        }
    };

private slots:
    void identityAndStatusAnswer() {
        World w;
        w.adapter.plug();
        settle();
        QVERIFY(w.dev);
        QCOMPARE(w.dev->QueryProductText(), QString("HQ3746"));
        QCOMPARE(w.dev->QuerySerialText(), QString("HQ0012345678"));
        QCOMPARE(w.dev->ReadCaps().outputReportByteLength, std::uint16_t(65));
        QVERIFY(w.send(protocol::command::kStatus));
        QVERIFY(waitFor([&] { return w.reports.size() == 1; }));
        QCOMPARE(w.reports[0].size(), 65);
        QCOMPARE(std::uint8_t(w.reports[0][0]), std::uint8_t(0));
        QCOMPARE(std::uint8_t(w.reports[0][1]), protocol::command::kStatus);
    }

    void resetUnplugsAndReplugsAfterResetDuration() {
        World w;
        w.adapter.plug();
        settle();
        const auto firstInstance = w.dev->pnpRecord().DevInst;
        w.log.clear();
        QVERIFY(w.send(protocol::command::kReset));
        QVERIFY(!w.adapter.plugged());
        settle();
        QCOMPARE(w.log, QStringList{"removal"});
        QVERIFY(!w.dev);

        w.now += milliseconds(1000);
        w.adapter.pump();
        settle();
        QVERIFY(!w.adapter.plugged()); // still resetting
        w.now += milliseconds(600);
        w.adapter.pump();
        settle();
        QCOMPARE(w.log, (QStringList{"removal", "arrival"}));
        QVERIFY(w.dev);
        QVERIFY(w.dev->pnpRecord().DevInst != firstInstance);
        QVERIFY(w.send(protocol::command::kStatus));
        QVERIFY(waitFor([&] { return w.reports.size() == 1; }));
    }

    void bootloaderUnplugsUntilItIsLeft() {
        World w;
        w.adapter.plug();
        settle();
        QVERIFY(w.send(protocol::command::kBootloader));
        settle();
        QVERIFY(!w.dev);
        w.now += hours(1);
        w.adapter.pump();
        QVERIFY(!w.adapter.plugged());
        w.cabinet.leaveBootloader();
        w.adapter.pump();
        settle();
        QVERIFY(w.adapter.plugged());
        QVERIFY(w.dev);
    }

    void unsolicitedReportsArriveThroughPump() {
        World w;
        w.adapter.plug();
        settle();
        w.cabinet.requestI2cScan({0x48, 0x50});
        w.adapter.pump();
        QVERIFY(waitFor([&] { return w.reports.size() == 1; }));
        QCOMPARE(w.reports[0].size(), 65);
    }
};

QTEST_GUILESS_MAIN(TestCabinetHidDevice)
#include "test_cabinet_hid_device.moc"
