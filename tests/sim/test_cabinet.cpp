#include <QTest>

#include <atomic>
#include <memory>
#include <thread>

#include "protocol/decoder.h"
#include "protocol/output_report.h"
#include "sim/cabinet.h"
#include "sim/encoder.h"
#include "sim/random.h"

using namespace hq;
using namespace std::chrono;
using protocol::ReplyDecoder;

namespace {

// A clock the test moves by hand.
struct ManualClock {
    std::shared_ptr<system_clock::time_point> now =
        std::make_shared<system_clock::time_point>(seconds(1709715907)); // 2024-03-06 09:05:07 UTC
    sim::Clock clock() const {
        auto p = now;
        return [p] { return *p; };
    }
    void step(system_clock::duration d) const { *now += d; }
};

std::vector<sim::InputData> send(sim::Cabinet& c, const protocol::CommandFrame& f) {
    const auto r = protocol::frameOutputReport(f, 65);
    return c.handleOutputReport(r.bytes);
}

// Sends a command that the cabinet answers with one report and decodes that report.
protocol::DecodeResult ask(sim::Cabinet& c, ReplyDecoder& d, const protocol::CommandFrame& f) {
    const auto answers = send(c, f);
    if (answers.size() != 1)
        return {};
    return d.decode(answers.front());
}

template <typename R>
R askRecord(sim::Cabinet& c, ReplyDecoder& d, const protocol::CommandFrame& f) {
    const auto r = ask(c, d, f);
    if (!std::holds_alternative<R>(r.record)) {
        qWarning("unexpected answer");
        return R{};
    }
    return std::get<R>(r.record);
}

sim::CabinetOptions quietOptions() {
    sim::CabinetOptions o;
    o.randomDoor = false;
    return o;
}

} // namespace

class TestCabinet : public QObject {
    Q_OBJECT
private slots:
    void settingsRoundTrip_data() {
        QTest::addColumn<int>("doorMinutes");
        QTest::addColumn<int>("restartMinutes");
        QTest::addColumn<bool>("returnAir");
        QTest::newRow("5, 0, off") << 5 << 0 << false;
        QTest::newRow("60, 60, on") << 60 << 60 << true;
        QTest::newRow("17, 3, on") << 17 << 3 << true;
    }
    void settingsRoundTrip() {
        QFETCH(int, doorMinutes);
        QFETCH(int, restartMinutes);
        QFETCH(bool, returnAir);
        ManualClock mc;
        sim::Cabinet cab(quietOptions(), mc.clock());
        ReplyDecoder d;
        QVERIFY(send(cab, protocol::settingsWriteFrame(doorMinutes, restartMinutes, returnAir))
                    .empty());
        const auto r = ask(cab, d, protocol::configRequest());
        const auto& c = std::get<protocol::ConfigRecord>(r.record);
        QCOMPARE(int(c.doorAlarmTime), doorMinutes * 60);
        QCOMPARE(int(c.restartDelay), restartMinutes * 60);
        QCOMPARE(c.returnAirMonitoringOn(), returnAir);
        QCOMPARE(int(c.regenHumidity), 50);
        QCOMPARE(int(c.reduction1Humidity), 50);
        QCOMPARE(int(c.reduction2Humidity), 30);
        QCOMPARE(c.serialNumber, cab.options().serialNumber);
        QCOMPARE(c.macAddress, cab.options().mac);
        QCOMPARE(r.firmwareVersion.thousandths(), 1003);
        QVERIFY(r.followUp && *r.followUp == protocol::webImageVersionRequest());
        QCOMPARE(int(cab.doorAlarmSeconds()), doorMinutes * 60);
        QCOMPARE(cab.returnAirMonitoring(), returnAir);

        // the follow-up gets the web image version
        const auto w = ask(cab, d, *r.followUp);
        QCOMPARE(std::get<protocol::WebImageVersion>(w.record).version, std::optional(1.003));
    }

    void clockRoundTrip_data() {
        QTest::addColumn<int>("year");
        QTest::addColumn<int>("month");
        QTest::addColumn<int>("day");
        QTest::addColumn<int>("hour");
        QTest::addColumn<int>("minute");
        QTest::addColumn<int>("second");
        QTest::addColumn<int>("elapsed");
        QTest::addColumn<QList<int>>("expected"); // h m s day month year-2000
        QTest::newRow("plain") << 2024 << 3 << 6 << 9 << 5 << 7 << 65
                               << QList<int>{9, 6, 12, 6, 3, 24};
        QTest::newRow("into a leap day")
            << 2024 << 2 << 28 << 23 << 59 << 30 << 40 << QList<int>{0, 0, 10, 29, 2, 24};
        QTest::newRow("into a new year")
            << 2030 << 12 << 31 << 23 << 59 << 59 << 1 << QList<int>{0, 0, 0, 1, 1, 31};
        QTest::newRow("a day later")
            << 2001 << 1 << 1 << 12 << 0 << 0 << 86400 << QList<int>{12, 0, 0, 2, 1, 1};
    }
    void clockRoundTrip() {
        QFETCH(int, year);
        QFETCH(int, month);
        QFETCH(int, day);
        QFETCH(int, hour);
        QFETCH(int, minute);
        QFETCH(int, second);
        QFETCH(int, elapsed);
        QFETCH(QList<int>, expected);
        ManualClock mc;
        sim::Cabinet cab(quietOptions(), mc.clock());
        ReplyDecoder d;
        const auto f = protocol::clockSetFrame({year, month, day, hour, minute, second, 0});
        QVERIFY(f);
        QVERIFY(send(cab, *f).empty());
        mc.step(seconds(elapsed));
        const auto r = ask(cab, d, protocol::clockReadRequest());
        const auto& c = std::get<protocol::ClockRecord>(r.record);
        QCOMPARE((QList<int>{c.hours, c.minutes, c.seconds, c.day, c.month, c.year}), expected);
        QCOMPARE(r.lines, std::vector<std::string>{"Read RTC: 0"});
    }

    void impossibleClockIsRefused() {
        ManualClock mc;
        sim::Cabinet cab(quietOptions(), mc.clock());
        const auto before = cab.cabinetTime();
        auto f = *protocol::clockSetFrame({2024, 3, 6, 9, 5, 7, 3});
        std::vector<std::uint8_t> b(f.bytes().begin(), f.bytes().end());
        b[3] = 0x6A; // not a BCD digit
        QVERIFY(send(cab, *protocol::CommandFrame::fromBytes(b)).empty());
        b[3] = 0x07;
        b[6] = 0x30; // 30 February
        b[8] = 0x02;
        QVERIFY(send(cab, *protocol::CommandFrame::fromBytes(b)).empty());
        QVERIFY(cab.cabinetTime() == before);
        b[6] = 0x29; // 29 February 2024 exists
        send(cab, *protocol::CommandFrame::fromBytes(b));
        QVERIFY(cab.cabinetTime() != before);
    }

    void serialRoundTrip_data() {
        QTest::addColumn<int>("serial");
        QTest::newRow("12345678") << 12345678;
        QTest::newRow("-1") << -1;
        QTest::newRow("0") << 0;
        QTest::newRow("max") << std::numeric_limits<int>::max();
    }
    void serialRoundTrip() {
        QFETCH(int, serial);
        ManualClock mc;
        sim::Cabinet cab(quietOptions(), mc.clock());
        ReplyDecoder d;
        QVERIFY(send(cab, protocol::serialNumberWriteFrame(serial)).empty());
        QCOMPARE(cab.serialNumber(), serial);
        QCOMPARE(askRecord<protocol::ConfigRecord>(cab, d, protocol::configRequest()).serialNumber,
                 serial);
    }

    void resetAndComeBack_data() {
        QTest::addColumn<int>("code");
        QTest::newRow("reset") << int(protocol::command::kReset);
        QTest::newRow("watchdog test") << int(protocol::command::kWdtTest);
    }
    void resetAndComeBack() {
        QFETCH(int, code);
        ManualClock mc;
        auto o = quietOptions();
        o.resetDuration = milliseconds(1500);
        sim::Cabinet cab(o, mc.clock());
        ReplyDecoder d;
        mc.step(seconds(100));
        QCOMPARE(askRecord<protocol::StatusRecord>(cab, d, protocol::statusRequest()).intTimer,
                 std::uint16_t(100));
        const std::uint8_t frame[1] = {std::uint8_t(code)};
        QVERIFY(send(cab, *protocol::CommandFrame::fromBytes(frame)).empty());
        QCOMPARE(cab.presence(), sim::CabinetPresence::Resetting);
        QVERIFY(send(cab, protocol::statusRequest()).empty());
        mc.step(milliseconds(1499));
        QVERIFY(!cab.present());
        mc.step(milliseconds(1));
        QVERIFY(cab.present());
        const auto s = askRecord<protocol::StatusRecord>(cab, d, protocol::statusRequest());
        QVERIFY(s.intTimer < 5);
        QCOMPARE(s.programmphase, std::uint8_t(sim::Cabinet::StartUp));
        mc.step(seconds(10));
        QCOMPARE(askRecord<protocol::StatusRecord>(cab, d, protocol::statusRequest()).programmphase,
                 std::uint8_t(sim::Cabinet::Drying));
    }

    void bootloader() {
        ManualClock mc;
        sim::Cabinet cab(quietOptions(), mc.clock());
        ReplyDecoder d;
        QVERIFY(send(cab, protocol::bootloaderEntryCommand()).empty());
        QCOMPARE(cab.presence(), sim::CabinetPresence::Bootloader);
        mc.step(hours(1));
        QCOMPARE(cab.presence(), sim::CabinetPresence::Bootloader);
        QVERIFY(send(cab, protocol::configRequest()).empty());
        cab.leaveBootloader();
        QVERIFY(cab.present());
        QCOMPARE(ask(cab, d, protocol::configRequest()).code, protocol::reply::kConfig);
    }

    void commandsWithoutAnswer() {
        ManualClock mc;
        sim::Cabinet cab(quietOptions(), mc.clock());
        QVERIFY(send(cab, protocol::dispLdrCommand()).empty());
        QVERIFY(cab.present());
    }

    void malformedOutputReports_data() {
        QTest::addColumn<QByteArray>("report");
        QTest::newRow("empty") << QByteArray();
        QTest::newRow("report id only") << QByteArray(1, '\0');
        QTest::newRow("report id 1") << QByteArray::fromHex("0176");
        QTest::newRow("short settings") << QByteArray::fromHex("004132321E");
        QTest::newRow("short clock set") << QByteArray::fromHex("0032200107");
        QTest::newRow("short serial") << QByteArray::fromHex("007801");
        QTest::newRow("unknown command") << QByteArray::fromHex("00AA");
    }
    void malformedOutputReports() {
        QFETCH(QByteArray, report);
        ManualClock mc;
        sim::Cabinet cab(quietOptions(), mc.clock());
        const auto before = cab.cabinetTime();
        QVERIFY(cab.handleOutputReport(
                       std::span(reinterpret_cast<const std::uint8_t*>(report.constData()),
                                 std::size_t(report.size())))
                    .empty());
        QCOMPARE(cab.doorAlarmSeconds(), cab.options().doorAlarmSeconds);
        QCOMPARE(cab.serialNumber(), cab.options().serialNumber);
        QVERIFY(cab.cabinetTime() == before);
        QVERIFY(cab.present());
    }

    // okTimer travels in the layout of the configured firmware, and the decoder picks the
    // right one once it has seen the configuration.
    void okTimerLayout_data() {
        QTest::addColumn<int>("minor");
        QTest::addColumn<bool>("wide");
        QTest::newRow("1.002") << 2 << false;
        QTest::newRow("1.003") << 3 << true;
    }
    void okTimerLayout() {
        QFETCH(int, minor);
        QFETCH(bool, wide);
        ManualClock mc;
        auto o = quietOptions();
        o.firmwareMinor = std::uint8_t(minor);
        sim::Cabinet cab(o, mc.clock());
        ReplyDecoder d;
        ask(cab, d, protocol::configRequest());
        mc.step(seconds(400)); // 395 s of drying after the start-up
        const auto s = askRecord<protocol::StatusRecord>(cab, d, protocol::statusRequest());
        QCOMPARE(int(s.programmphase), int(sim::Cabinet::Drying));
        if (wide) {
            QCOMPARE(int(s.okTimer), 395);
            QCOMPARE(s.okTimer, s.t1_2);
        } else {
            QCOMPARE(int(s.okTimer), 255);
        }
    }

    void statusShowsTheWorld() {
        ManualClock mc;
        auto o = quietOptions();
        o.temperatureTenths = -185;
        o.doorAlarmSeconds = 120;
        o.ipAddress = {10, 1, 2, 3};
        sim::Cabinet cab(o, mc.clock());
        ReplyDecoder d;
        mc.step(seconds(30));
        auto s = askRecord<protocol::StatusRecord>(cab, d, protocol::statusRequest());
        QCOMPARE(s.humidityTop, cab.humidityTop());
        QCOMPARE(s.humidityBottom, cab.humidityBottom());
        QCOMPARE(s.temperatureTop, cab.temperatureTop());
        QVERIFY(s.temperatureTop < -150 && s.temperatureBottom < -150);
        QCOMPARE(s.cabinetAddress, (std::array<std::uint8_t, 4>{10, 1, 2, 3}));
        QVERIFY(!s.doorOpen());
        QCOMPARE(s.fehler, std::uint8_t(0));

        cab.setDoorOpen(true);
        mc.step(seconds(119));
        s = askRecord<protocol::StatusRecord>(cab, d, protocol::statusRequest());
        QVERIFY(s.doorOpen());
        QCOMPARE(s.programmphase, std::uint8_t(sim::Cabinet::DoorOpen));
        QCOMPARE(s.fehler, std::uint8_t(0));
        mc.step(seconds(1));
        s = askRecord<protocol::StatusRecord>(cab, d, protocol::statusRequest());
        QCOMPARE(s.fehler, o.doorAlarmError);
        QCOMPARE(cab.errorNumber(), o.doorAlarmError);

        cab.setDoorOpen(false);
        s = askRecord<protocol::StatusRecord>(cab, d, protocol::statusRequest());
        QVERIFY(!s.doorOpen());
        QCOMPARE(s.fehler, std::uint8_t(0));
        QCOMPARE(s.programmphase, std::uint8_t(sim::Cabinet::RestartWait));

        cab.raiseError(7);
        QCOMPARE(askRecord<protocol::StatusRecord>(cab, d, protocol::statusRequest()).fehler,
                 std::uint8_t(7));
        cab.raiseError(0);
        QCOMPARE(askRecord<protocol::StatusRecord>(cab, d, protocol::statusRequest()).fehler,
                 std::uint8_t(0));
    }

    // A day of simulated life: humidity stays in range, the door opens now and then, the
    // cartridge is regenerated.
    void aDayInTheLife() {
        ManualClock mc;
        sim::CabinetOptions o;
        o.seed = 42;
        sim::Cabinet cab(o, mc.clock());
        ReplyDecoder d;
        int doorSeen = 0, heatingSeen = 0, coolingSeen = 0, alarmSeen = 0;
        int minH = 1000, maxH = 0;
        for (int i = 0; i < 24 * 60; ++i) {
            mc.step(seconds(60));
            const auto s = askRecord<protocol::StatusRecord>(cab, d, protocol::statusRequest());
            minH = std::min({minH, int(s.humidityTop), int(s.humidityBottom)});
            maxH = std::max({maxH, int(s.humidityTop), int(s.humidityBottom)});
            doorSeen += s.doorOpen();
            heatingSeen += s.programmphase == sim::Cabinet::Heating;
            coolingSeen += s.programmphase == sim::Cabinet::Cooling;
            alarmSeen += s.fehler == o.doorAlarmError;
        }
        QVERIFY2(minH >= 20 && maxH <= 80, qPrintable(QString("%1..%2").arg(minH).arg(maxH)));
        QVERIFY(maxH > minH);
        QVERIFY(doorSeen > 0);
        QVERIFY(heatingSeen > 0);
        QVERIFY(coolingSeen > 0);
        QVERIFY(alarmSeen > 0);
    }

    void deterministicFromSeed() {
        const auto run = [](std::uint64_t seed) {
            ManualClock mc;
            sim::CabinetOptions o;
            o.seed = seed;
            sim::Cabinet cab(o, mc.clock());
            std::vector<sim::InputData> all;
            for (int i = 0; i < 600; ++i) {
                mc.step(seconds(7));
                for (auto& r : send(cab, protocol::statusRequest()))
                    all.push_back(r);
            }
            return all;
        };
        QVERIFY(run(5) == run(5));
        QVERIFY(run(5) != run(6));
    }

    void i2cScanOnDemand() {
        ManualClock mc;
        sim::Cabinet cab(quietOptions(), mc.clock());
        ReplyDecoder d;
        QVERIFY(cab.takeUnsolicited().empty());
        cab.requestI2cScan({0xA0, 0xD0});
        cab.requestI2cScan({});
        const auto reports = cab.takeUnsolicited();
        QCOMPARE(reports.size(), std::size_t(2));
        QVERIFY(cab.takeUnsolicited().empty());
        QCOMPARE(d.decode(reports[0]).lines.size(), std::size_t(4));
        QCOMPARE(d.decode(reports[1]).lines, std::vector<std::string>{"KEine I2C Geräte gefunden"});
    }

    void webImageText_data() {
        QTest::addColumn<QString>("text");
        QTest::addColumn<double>("version");
        QTest::newRow("1.010") << "Version_MPFS=1.010;" << 1.01;
        QTest::newRow("none") << "" << -1.0;
        QTest::newRow("longer than 61") << QString(50, 'x') + "Version_MPFS=1.010;" << -1.0;
    }
    void webImageText() {
        QFETCH(QString, text);
        QFETCH(double, version);
        ManualClock mc;
        auto o = quietOptions();
        o.webImageText = text.toStdString();
        sim::Cabinet cab(o, mc.clock());
        ReplyDecoder d;
        const auto w =
            askRecord<protocol::WebImageVersion>(cab, d, protocol::webImageVersionRequest());
        QCOMPARE(w.version.has_value(), version >= 0);
        if (version >= 0)
            QCOMPARE(*w.version, version);
        QCOMPARE(QString::fromStdString(w.text), text.left(61));
    }

    // The encoder and the decoder agree on every field.
    void encoderDecoderAgree() {
        sim::SplitMix64 rng(99);
        const auto u8 = [&] { return std::uint8_t(rng.next()); };
        const auto u16 = [&] { return std::uint16_t(rng.next()); };
        for (int i = 0; i < 200; ++i) {
            protocol::StatusRecord s{u8(),
                                     u8(),
                                     u16(),
                                     0,
                                     u8(),
                                     u8(),
                                     u16(),
                                     u16(),
                                     u16(),
                                     u16(),
                                     u16(),
                                     u16(),
                                     u16(),
                                     u16(),
                                     u8(),
                                     u8(),
                                     u8(),
                                     u8(),
                                     u8(),
                                     u16(),
                                     std::int16_t(u16()),
                                     u8(),
                                     u16(),
                                     std::int16_t(u16()),
                                     {u8(), u8(), u8(), u8()},
                                     {u8(), u8(), u8(), u8()},
                                     u16()};
            const bool wide = i % 2;
            if (wide) {
                s.okTimer = s.t1_2;
            } else {
                s.okTimer = u8();
            }
            const auto decoded = protocol::decodeStatusRecord(
                sim::encodeStatus(s, wide), protocol::FirmwareVersion{1, wide ? 3 : 2});
            QCOMPARE(decoded, s);

            protocol::ConfigRecord c{u8(),  u8(),  u8(),
                                     u16(), u16(), u16(),
                                     false, u16(), std::int32_t(rng.next()),
                                     u8(),  u8(),  {u8(), u8(), u8(), u8(), u8(), u8()},
                                     u8()};
            c.showReturnAir = (c.extraTime1 & 0x40) != 0;
            QCOMPARE(protocol::decodeConfigRecord(sim::encodeConfig(c)), c);

            const protocol::ClockRecord k{u8(), u8(), u8(), u8(), u8(), u8(), u8()};
            QCOMPARE(protocol::decodeClockRecord(sim::encodeClock(k)), k);

            std::vector<std::uint8_t> a(rng.below(70));
            for (auto& x : a)
                x = u8();
            const auto scan = protocol::decodeI2cScanRecord(sim::encodeI2cScan(a));
            a.resize(std::min<std::size_t>(a.size(), 62));
            QCOMPARE(scan.addresses, a);
            QCOMPARE(std::size_t(scan.count), a.size());
        }
    }

    // The monitor's read thread and the window's thread use the cabinet at the same time.
    void concurrentUse() {
        sim::Cabinet cab(quietOptions());
        std::atomic<bool> stop{false};
        std::atomic<int> taken{0};
        std::thread reader([&] {
            while (!stop)
                taken += int(cab.takeUnsolicited().size());
        });
        int answers = 0;
        for (int i = 0; i < 2000; ++i) {
            answers += int(send(cab, protocol::statusRequest()).size());
            if (i % 100 == 0)
                cab.requestI2cScan({0x10});
        }
        stop = true;
        reader.join();
        taken += int(cab.takeUnsolicited().size());
        QCOMPARE(answers, 2000);
        QCOMPARE(taken.load(), 20);
    }
};

QTEST_GUILESS_MAIN(TestCabinet)
#include "test_cabinet.moc"
