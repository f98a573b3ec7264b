// hq3746ctl's cabinet commands in process against simulated cabinets on a simulated HID bus.
#include "cli_test_support.h"
#include "history/archive_reader.h"
#include "history/archive_writer.h"

#include "platform/hid_simulated.h"
#include "service/csv_row.h"
#include "sim/cabinet.h"
#include "sim/cabinet_hid_device.h"

#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <atomic>
#include <memory>

using namespace hq;
using namespace hq::cli;
using namespace hq::cli::test;
using namespace std::chrono_literals;

namespace {

// A bus the test owns; each run of the tool borrows it.
class BorrowedBus : public DeviceBackend {
public:
    explicit BorrowedBus(platform::SimulatedHidPlatform& bus) : bus_(bus) {}
    platform::HidPlatform& platform() override { return bus_; }

private:
    platform::SimulatedHidPlatform& bus_;
};

// One or more simulated cabinets on a bus, pumped by a timer while the tool runs.
struct World {
    platform::SimulatedHidPlatform bus;
    std::vector<std::unique_ptr<sim::Cabinet>> cabinets;
    std::vector<std::unique_ptr<sim::CabinetHidDevice>> devices;
    QTimer pump;
    std::atomic<bool> interrupt{false};
    bool simulateAsked = false;

    World() {
        QObject::connect(&pump, &QTimer::timeout, [this] {
            for (auto& d : devices)
                d->pump();
        });
        pump.start(20);
    }
    ~World() {
        devices.clear();
        cabinets.clear();
    }
    sim::Cabinet& add(sim::CabinetOptions o = {}) {
        o.randomDoor = false;
        cabinets.push_back(std::make_unique<sim::Cabinet>(o));
        devices.push_back(std::make_unique<sim::CabinetHidDevice>(bus, *cabinets.back()));
        devices.back()->plug();
        return *cabinets.back();
    }
    // A device with the cabinet's identity that never answers.
    platform::SimulatedDeviceId addSilent(platform::SimulatedPlugOptions options = {}) {
        platform::FixedHidFunction::Identity id;
        id.attributes = {12, 0x04D8, 0x003F, 0x0100};
        id.caps = {1, 0xFF00, 65, 65, 0};
        id.product = u"HQ3746";
        id.serial = u"SILENT";
        silent = std::make_shared<platform::FixedHidFunction>(id);
        return bus.plug(silent, options);
    }
    // The command codes the silent device received, in order.
    QString silentReceived() const {
        QString codes;
        for (const auto& r : silent->writtenReports())
            codes += r.size() > 1 ? QChar(r[1]) : QChar(u'?');
        return codes;
    }
    std::shared_ptr<platform::FixedHidFunction> silent;
    Environment env() {
        Environment e;
        e.backend = [this](bool simulate) -> std::unique_ptr<DeviceBackend> {
            simulateAsked = simulate;
            return std::make_unique<BorrowedBus>(bus);
        };
        e.now = [] { return std::chrono::system_clock::now(); };
        e.interrupt = &interrupt;
        return e;
    }
    Outcome run(const QStringList& args) { return runCli(args, env()); }
};

QJsonObject jsonObject(const QString& text) {
    return QJsonDocument::fromJson(text.toUtf8()).object();
}

// A simulated cabinet on the bus whose first answer to the command codes in lose is lost (as
// when a report is dropped on the way); it notes every command code it receives.
class Lossy : public platform::SimulatedHidFunction {
public:
    explicit Lossy(std::string lose) : lose_(std::move(lose)) {}
    QString received;

    platform::HidAttributes attributes() const override {
        return {12, cabinet::kVendorId, cabinet::kProductId, 0x0100};
    }
    platform::HidCaps caps() const override { return {0x0001, 0xFF00, 65, 65, 0}; }
    std::optional<std::u16string> productString() const override { return u"HQ3746"; }
    std::optional<std::u16string> serialString() const override { return u"LOSSY"; }
    std::vector<std::vector<std::uint8_t>>
    onOutputReport(std::span<const std::uint8_t> report) override {
        const char code = report.size() > 1 ? static_cast<char>(report[1]) : '?';
        received += QChar::fromLatin1(code);
        std::vector<std::vector<std::uint8_t>> answers;
        for (const auto& data : cabinet_.handleOutputReport(report)) {
            std::vector<std::uint8_t> answer(1 + data.size(), 0);
            std::copy(data.begin(), data.end(), answer.begin() + 1);
            answers.push_back(std::move(answer));
        }
        if (const auto at = lose_.find(code); at != std::string::npos && !answers.empty()) {
            lose_.erase(at, 1);
            answers.clear();
        }
        return answers;
    }

private:
    std::string lose_;
    sim::Cabinet cabinet_{[] {
        sim::CabinetOptions o;
        o.randomDoor = false;
        return o;
    }()};
};

sim::CabinetOptions withSerial(const std::string& serialString, std::uint16_t doorSeconds) {
    sim::CabinetOptions o;
    o.serialString = serialString;
    o.doorAlarmSeconds = doorSeconds;
    return o;
}

} // namespace

class TestCliDevice : public QObject {
    Q_OBJECT
private slots:
    void listShowsCabinetsOnly();
    void listWithoutCabinet();
    void serialChoosesAmongSeveral();
    void statusPrintsPaneLinesAndHumidity();
    void statusJson();
    void configShowsWhatTheWindowShows_data();
    void configShowsWhatTheWindowShows();
    void setWritesSettings_data();
    void setWritesSettings();
    void clockReadAndSet();
    void maintenanceCommands();
    void failures_data();
    void failures();
    void lostAnswersAreAskedAgain_data();
    void lostAnswersAreAskedAgain();
    void setWithReturnAirWaitsForNothing();
    void goneWhileWaiting();
    void interruptedWait();
    void watchEndsCleanlyOnCtrlC();
    void watchFollowsTheCabinet_data();
    void watchFollowsTheCabinet();
    void recordWritesRowsAndMarksGap_data();
    void recordWritesRowsAndMarksGap();
    void recordKeepsTheInterval_data();
    void recordKeepsTheInterval();
    void recordRefusesForeignFile();
    void recordAppendsToOwnFile();
    void recordHistoryWritesTheStoredHistory();
};

void TestCliDevice::listShowsCabinetsOnly() {
    World w;
    w.add(withSerial("HQ0000000001", 300));
    platform::FixedHidFunction::Identity other;
    other.attributes = {12, 0x046D, 0xC52B, 1};
    other.product = u"Keyboard";
    w.bus.plug(std::make_shared<platform::FixedHidFunction>(other));
    const Outcome o = w.run({"list", "--simulate"});
    QCOMPARE(o.code, 0);
    QVERIFY(w.simulateAsked);
    const QStringList lines = o.out.split(u'\n', Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), 1);
    const QStringList cols = lines[0].split(u'\t');
    QCOMPARE(cols.size(), 4);
    QCOMPARE(cols[0], QStringLiteral("04D8:003F"));
    QCOMPARE(cols[1], QStringLiteral("HQ3746"));
    QCOMPARE(cols[2], QStringLiteral("HQ0000000001"));
    QCOMPARE(cols[3], QString::fromStdString(w.bus.interfacePathOf(w.devices[0]->deviceId())));

    const Outcome j = w.run({"list", "--json"});
    QVERIFY(!w.simulateAsked);
    const QJsonArray a = QJsonDocument::fromJson(j.out.toUtf8()).array();
    QCOMPARE(a.size(), 1);
    QCOMPARE(a[0]["vendorId"].toString(), QStringLiteral("04D8"));
    QCOMPARE(a[0]["serial"].toString(), QStringLiteral("HQ0000000001"));
    QCOMPARE(a[0]["readWrite"].toBool(), true);
}

void TestCliDevice::listWithoutCabinet() {
    World w;
    const Outcome o = w.run({"list"});
    QCOMPARE(o.code, 2);
    QCOMPARE(o.out, QString());
    QCOMPARE(o.err, QStringLiteral("hq3746ctl: no cabinet attached\n"));
    QCOMPARE(w.run({"status"}).code, 2);
}

void TestCliDevice::serialChoosesAmongSeveral() {
    World w;
    w.add(withSerial("HQ-A", 300));
    w.add(withSerial("HQ-B", 1200));
    QCOMPARE(w.run({"list"}).out.count(u'\n'), 2);

    const Outcome ambiguous = w.run({"config"});
    QCOMPARE(ambiguous.code, 2);
    QVERIFY(ambiguous.err.contains(QStringLiteral("--serial")));
    QVERIFY(ambiguous.err.contains(QStringLiteral("HQ-A")) && ambiguous.err.contains("HQ-B"));

    const Outcome b = w.run({"config", "--serial", "HQ-B"});
    QCOMPARE(b.code, 0);
    QVERIFY2(b.out.startsWith(QStringLiteral("Door alarm time: 20 min\n")), qPrintable(b.out));
    const Outcome a = w.run({"--serial=HQ-A", "config"});
    QVERIFY2(a.out.startsWith(QStringLiteral("Door alarm time: 5 min\n")), qPrintable(a.out));

    const Outcome none = w.run({"config", "--serial", "HQ-C"});
    QCOMPARE(none.code, 2);
    QVERIFY(none.err.contains(QStringLiteral("HQ-C")));

    // list narrows to the cabinet asked for.
    const Outcome listB = w.run({"list", "--serial", "HQ-B"});
    QCOMPARE(listB.code, 0);
    QCOMPARE(listB.out.count(u'\n'), 1);
    QCOMPARE(listB.out.section(u'\t', 2, 2), QStringLiteral("HQ-B"));
    const Outcome listC = w.run({"list", "--serial", "HQ-C"});
    QCOMPARE(listC.code, 2);
    QCOMPARE(listC.out, QString());
}

void TestCliDevice::statusPrintsPaneLinesAndHumidity() {
    World w;
    sim::Cabinet& c = w.add();
    const Outcome o = w.run({"status"});
    QCOMPARE(o.code, 0);
    const QStringList lines = o.out.split(u'\n', Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), 23);
    QVERIFY(lines[0].startsWith(QStringLiteral("Aktoren: ")));
    QCOMPARE(lines[18], QStringLiteral("255.255.255.0")); // second address, dotted
    QVERIFY(lines[19].startsWith(QStringLiteral("IntTimer: ")));
    // The humidity the cabinet reports, to one decimal.
    const QRegularExpression top(QStringLiteral("^Humidity top: (\\d+\\.\\d) % r\\.H\\.$"));
    const auto m = top.match(lines[20]);
    QVERIFY2(m.hasMatch(), qPrintable(lines[20]));
    QVERIFY(std::abs(m.captured(1).toDouble() - c.humidityTop() / 10.0) <= 0.5);
    QVERIFY(lines[21].startsWith(QStringLiteral("Humidity bottom: ")));
    QCOMPARE(lines[22], QStringLiteral("Address: 192.168.1.20"));
}

void TestCliDevice::statusJson() {
    World w;
    sim::CabinetOptions o;
    o.ipAddress = {10, 0, 0, 7};
    w.add(o).raiseError(7);
    const Outcome r = w.run({"status", "--json"});
    QCOMPARE(r.code, 0);
    const QJsonObject j = jsonObject(r.out);
    QCOMPARE(j["fehler"].toInt(), 7);
    QCOMPARE(j["cabinetAddress"].toString(), QStringLiteral("10.0.0.7"));
    QCOMPARE(j["lines"].toArray().size(), 20);
    QCOMPARE(j["lines"].toArray()[1].toString(), QStringLiteral("FEHLER: 7"));
    const QJsonObject rec = j["record"].toObject();
    QCOMPARE(j["humidityTop"].toDouble(), rec["humidityTop"].toInt() / 10.0);
    QCOMPARE(j["humidityBottom"].toDouble(), rec["humidityBottom"].toInt() / 10.0);
    // The configuration was read first: the firmware version is known.
    QCOMPARE(j["firmwareVersion"].toDouble(), 1.003);
    QVERIFY(!j["timeStamp"].toString().isEmpty());

    const Outcome t = w.run({"status"});
    QVERIFY(t.out.contains(QStringLiteral("\nFehler: 7\n")));
}

void TestCliDevice::configShowsWhatTheWindowShows_data() {
    QTest::addColumn<int>("doorSeconds");
    QTest::addColumn<int>("restartSeconds");
    QTest::addColumn<int>("minor");
    QTest::addColumn<bool>("returnAir");
    QTest::addColumn<QString>("webText");
    QTest::addColumn<QString>("expected");
    QTest::newRow("defaults") << 300 << 600 << 3 << true << "Version_MPFS=1.003;"
                              << "Door alarm time: 5 min\nRestart delay: 10 min\n"
                                 "Return-air monitoring: on (not shown by the monitor for this "
                                 "firmware)\nV.:1.003\nN#12345678\nMAC:00:04:A3:37:46:01\n"
                                 "MPFS: 1.003\n";
    QTest::newRow("120 s shows the minimum 5")
        << 120 << 0 << 12 << false << "Version_MPFS=1.012;"
        << "Door alarm time: 5 min (cabinet: 120 s)\nRestart delay: 0 min\n"
           "Return-air monitoring: off\nV.:1.012\nN#12345678\nMAC:00:04:A3:37:46:01\n"
           "MPFS: 1.012\n";
    QTest::newRow("older web image, firmware 1.010")
        << 3600 << 4000 << 10 << true << "Version_MPFS = 1.002 ;"
        << "Door alarm time: 60 min\nRestart delay: 60 min (cabinet: 4000 s)\n"
           "Return-air monitoring: on (not shown by the monitor for this firmware)\nV.:1.01\n"
           "N#12345678\nMAC:00:04:A3:37:46:01\nMPFS: 1.002 (older than the firmware)\n";
    // 1128 / 1000.0 < 1 + 128 / 1000.0 as doubles: equal versions must not read as older.
    QTest::newRow("web image as new as firmware 1.128")
        << 300 << 600 << 128 << true << "Version_MPFS=1.128;"
        << "Door alarm time: 5 min\nRestart delay: 10 min\nReturn-air monitoring: on\n"
           "V.:1.128\nN#12345678\nMAC:00:04:A3:37:46:01\nMPFS: 1.128\n";
    QTest::newRow("web image version not a number: nothing compared")
        << 300 << 600 << 12 << true << "Version_MPFS=beta;"
        << "Door alarm time: 5 min\nRestart delay: 10 min\nReturn-air monitoring: on\n"
           "V.:1.012\nN#12345678\nMAC:00:04:A3:37:46:01\nMPFS: beta\n";
}

void TestCliDevice::configShowsWhatTheWindowShows() {
    QFETCH(int, doorSeconds);
    QFETCH(int, restartSeconds);
    QFETCH(int, minor);
    QFETCH(bool, returnAir);
    QFETCH(QString, webText);
    QFETCH(QString, expected);
    World w;
    sim::CabinetOptions o;
    o.doorAlarmSeconds = static_cast<std::uint16_t>(doorSeconds);
    o.restartDelaySeconds = static_cast<std::uint16_t>(restartSeconds);
    o.firmwareMinor = static_cast<std::uint8_t>(minor);
    o.returnAirMonitoring = returnAir;
    o.webImageText = webText.toStdString();
    w.add(o);
    const Outcome r = w.run({"config"});
    QCOMPARE(r.err, QString());
    QCOMPARE(r.code, 0);
    QCOMPARE(r.out, expected);

    const QJsonObject j = jsonObject(w.run({"config", "--json"}).out);
    QCOMPARE(j["record"].toObject()["doorAlarmTime"].toInt(), doorSeconds);
    QCOMPARE(j["returnAirMonitoring"].toBool(), returnAir);
    QCOMPARE(j["returnAirMonitoringShown"].toBool(), minor >= 12);
    QCOMPARE(j["serialNumber"].toInt(), 12345678);
    const bool older = expected.contains(QStringLiteral("older than the firmware"));
    const bool compared = !expected.contains(QStringLiteral("MPFS: beta"));
    QCOMPARE(j["webImageOlderThanFirmware"].isNull(), !compared);
    if (compared)
        QCOMPARE(j["webImageOlderThanFirmware"].toBool(), older);
    const QString mpfs =
        expected.section(QStringLiteral("MPFS: "), 1).section(u'\n', 0, 0).section(u' ', 0, 0);
    QCOMPARE(j["webImageVersionText"].toString(), mpfs);
}

void TestCliDevice::setWritesSettings_data() {
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<bool>("cabinetReturnAir");
    QTest::addColumn<int>("door");
    QTest::addColumn<int>("restart");
    QTest::addColumn<bool>("returnAir");
    QTest::newRow("keeps return-air on")
        << QStringList{"set", "--door-alarm", "10", "--restart-delay", "5"} << true << 600 << 300
        << true;
    QTest::newRow("keeps return-air off")
        << QStringList{"set", "--door-alarm", "60", "--restart-delay", "0"} << false << 3600 << 0
        << false;
    QTest::newRow("switches return-air off")
        << QStringList{"set", "--door-alarm", "5", "--restart-delay", "60", "--return-air", "off"}
        << true << 300 << 3600 << false;
    QTest::newRow("switches return-air on")
        << QStringList{"set", "--door-alarm", "7", "--restart-delay", "1", "--return-air", "on"}
        << false << 420 << 60 << true;
}

void TestCliDevice::setWritesSettings() {
    QFETCH(QStringList, args);
    QFETCH(bool, cabinetReturnAir);
    QFETCH(int, door);
    QFETCH(int, restart);
    QFETCH(bool, returnAir);
    World w;
    sim::CabinetOptions o;
    o.returnAirMonitoring = cabinetReturnAir;
    sim::Cabinet& c = w.add(o);
    const Outcome r = w.run(args);
    QCOMPARE(r.err, QString());
    QCOMPARE(r.code, 0);
    QVERIFY(w.run({"status"}).code == 0); // the settings write has been handled by now
    QCOMPARE(int(c.doorAlarmSeconds()), door);
    QCOMPARE(int(c.restartDelaySeconds()), restart);
    QCOMPARE(c.returnAirMonitoring(), returnAir);
}

void TestCliDevice::clockReadAndSet() {
    World w;
    sim::Cabinet& c = w.add();
    Environment env = w.env();
    const QDateTime at(QDate(2024, 3, 6), QTime(9, 5, 7));
    env.now = [at] {
        return std::chrono::system_clock::time_point(
            std::chrono::milliseconds(at.toMSecsSinceEpoch()));
    };
    const Outcome set = runCli({"clock", "--set"}, env);
    QCOMPARE(set.code, 0);
    QCOMPARE(set.out, QStringLiteral("Clock set to 06.03.2024 09:05:07\n"));
    // The cabinet keeps the civil time it was given (returned as if it were UTC).
    const auto cabinetSeconds =
        std::chrono::duration_cast<std::chrono::seconds>(c.cabinetTime().time_since_epoch())
            .count();
    const qint64 expected =
        QDateTime(QDate(2024, 3, 6), QTime(9, 5, 7), QTimeZone::utc()).toSecsSinceEpoch();
    QVERIFY2(std::abs(cabinetSeconds - expected) <= 2,
             qPrintable(QString::number(cabinetSeconds - expected)));

    const Outcome read = runCli({"clock"}, env);
    QCOMPARE(read.code, 0);
    const QStringList lines = read.out.split(u'\n', Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), 4);
    QVERIFY(lines[0].startsWith(QStringLiteral("Read RTC: ")));
    QVERIFY2(lines[1].startsWith(QStringLiteral("TR Zeit: 06.03.2024 09:05:0")),
             qPrintable(lines[1]));
    QCOMPARE(lines[2], QStringLiteral("PC Zeit: 06.03.2024 09:05:07"));
    QVERIFY2(lines[3].startsWith(QStringLiteral("Cabinet ahead of PC: ")), qPrintable(lines[3]));

    // A PC clock outside the cabinet's years is refused rather than sent wrapped.
    env.now = [] {
        return std::chrono::system_clock::time_point(std::chrono::milliseconds(
            QDateTime(QDate(2100, 1, 1), QTime(0, 0, 1)).toMSecsSinceEpoch()));
    };
    const Outcome late = runCli({"clock", "--set"}, env);
    QCOMPARE(late.code, 4);
    QVERIFY(late.err.contains(QStringLiteral("2100")));
}

void TestCliDevice::maintenanceCommands() {
    World w;
    sim::CabinetOptions quick;
    quick.resetDuration = 200ms;
    sim::Cabinet& c = w.add(quick);
    Outcome r = w.run({"serial", "424242"});
    QCOMPARE(r.code, 0);
    QCOMPARE(r.out, QStringLiteral("Serial number 424242 sent\n"));
    QCOMPARE(w.run({"config"}).out.contains(QStringLiteral("\nN#424242\n")), true);
    QCOMPARE(c.serialNumber(), 424242);
    QCOMPARE(w.run({"disp-ldr"}).code, 0);
    QVERIFY(c.present());

    // Reset and the watchdog test take the controller off the bus until it has restarted.
    for (const char* command : {"reset", "wdt-test"}) {
        const Outcome sent = w.run({command, "--json"});
        QCOMPARE(sent.code, 0);
        QCOMPARE(jsonObject(sent.out)["frame"].toString(),
                 QLatin1String(command) == QLatin1String("reset") ? "FF" : "FD");
        QCOMPARE(c.presence(), sim::CabinetPresence::Resetting);
        QCOMPARE(w.run({"status"}).code, 2);
        QTRY_VERIFY(c.present());
        QTest::qWait(100);
        QCOMPARE(w.run({"status"}).code, 0);
    }

    QCOMPARE(w.run({"bootloader"}).code, 0);
    QCOMPARE(c.presence(), sim::CabinetPresence::Bootloader);
    QTest::qWait(400);
    QCOMPARE(w.run({"status"}).code, 2); // stays in the bootloader
}

void TestCliDevice::failures_data() {
    QTest::addColumn<QString>("kind");
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("sent"); // what a silent cabinet received: asked once more
    QTest::newRow("no answer: timeout") << "silent" << QStringList{"status", "--timeout", "0.3"}
                                        << 3 << "no answer to \"@\" within 0.3 s"
                                        << "@@";
    QTest::newRow("no answer to clock read")
        << "silent" << QStringList{"clock", "--timeout", "0.2"} << 3 << "\"3\""
        << "33";
    QTest::newRow("set without --return-air reads the configuration first, never writes")
        << "silent"
        << QStringList{"set", "--door-alarm", "5", "--restart-delay", "5", "--timeout", "0.2"} << 3
        << "no answer to \"@\" within 0.2 s"
        << "@@";
    QTest::newRow("config waits for the web image version too")
        << "silent" << QStringList{"config", "--timeout", "0.2"} << 3 << "\"@\""
        << "@@";
    QTest::newRow("no read-write access")
        << "readonly" << QStringList{"status"} << 4 << "cannot be opened for reading and writing"
        << "";
    QTest::newRow("write fails") << "writefail"
                                 << QStringList{"set", "--door-alarm", "5", "--restart-delay",
                                                "5",   "--return-air", "on"}
                                 << 4 << "sending the settings failed"
                                 << "";
    QTest::newRow("write fails for reset")
        << "writefail" << QStringList{"reset"} << 4 << "sending reset failed"
        << "";
    QTest::newRow("no HID support")
        << "unavailable" << QStringList{"list"} << 4 << "HID support is not available"
        << "";
}

void TestCliDevice::failures() {
    QFETCH(QString, kind);
    QFETCH(QStringList, args);
    QFETCH(int, code);
    QFETCH(QString, message);
    World w;
    if (kind == QLatin1String("silent")) {
        w.addSilent();
    } else if (kind == QLatin1String("readonly")) {
        platform::SimulatedPlugOptions o;
        o.refuseReadWrite = true;
        w.addSilent(o);
    } else if (kind == QLatin1String("writefail")) {
        w.add();
        w.bus.failWrites(w.devices[0]->deviceId(), 100);
    } else if (kind == QLatin1String("unavailable")) {
        w.bus.setAvailable(false);
    }
    QElapsedTimer clock;
    clock.start();
    const Outcome r = w.run(args);
    QCOMPARE(r.code, code);
    QVERIFY2(r.err.contains(message), qPrintable(r.err));
    QCOMPARE(r.err.count(u'\n'), 1);
    QVERIFY(clock.elapsed() < 1900); // the time limit is the one given, not the default
    QFETCH(QString, sent);
    if (kind == QLatin1String("silent"))
        QCOMPARE(w.silentReceived(), sent);
}

void TestCliDevice::lostAnswersAreAskedAgain_data() {
    QTest::addColumn<QString>("lose"); // the codes whose first answer is lost
    QTest::addColumn<QString>("received");
    QTest::newRow("nothing lost: asked once") << ""
                                              << "@u";
    QTest::newRow("first web image version lost") << "u"
                                                  << "@uu";
    QTest::newRow("first configuration lost") << "@"
                                              << "@@u";
    QTest::newRow("both lost once") << "@u"
                                    << "@@uu";
}

// config gets the configuration and the web image version although the first answer to either
// is lost: each is asked once more, within the time limit.
void TestCliDevice::lostAnswersAreAskedAgain() {
    QFETCH(QString, lose);
    QFETCH(QString, received);
    World w;
    auto cabinet = std::make_shared<Lossy>(lose.toStdString());
    w.bus.plug(cabinet);
    QElapsedTimer clock;
    clock.start();
    const Outcome r = w.run({"config", "--timeout", "0.4"});
    QCOMPARE(r.err, QString());
    QCOMPARE(r.code, 0);
    QVERIFY2(r.out.contains("N#12345678\n"), qPrintable(r.out));
    QVERIFY2(r.out.contains("MPFS: 1.003\n"), qPrintable(r.out));
    QCOMPARE(cabinet->received, received);
    QVERIFY(clock.elapsed() < 1500);
}

void TestCliDevice::setWithReturnAirWaitsForNothing() {
    // With every setting given the frame is written at once; the cabinet need not answer.
    World w;
    w.addSilent();
    QElapsedTimer clock;
    clock.start();
    const Outcome r = w.run({"set", "--door-alarm", "5", "--restart-delay", "0", "--return-air",
                             "off", "--json", "--timeout", "10"});
    QCOMPARE(r.err, QString());
    QCOMPARE(r.code, 0);
    QCOMPARE(jsonObject(r.out)["frame"].toString(),
             QStringLiteral("41 32 32 1E 2C 01 00 00 00 00 00 00 00 02"));
    QVERIFY(clock.elapsed() < 5000);
}

void TestCliDevice::goneWhileWaiting() {
    World w;
    const auto id = w.addSilent();
    QTimer::singleShot(150, [&] { w.bus.unplug(id); });
    QElapsedTimer clock;
    clock.start();
    const Outcome r = w.run({"status", "--timeout", "10"});
    QCOMPARE(r.code, 4);
    QVERIFY2(r.err.contains(QStringLiteral("went away")), qPrintable(r.err));
    QVERIFY(clock.elapsed() < 5000);
}

void TestCliDevice::interruptedWait() {
    World w;
    w.addSilent();
    QTimer::singleShot(150, [&] { w.interrupt = true; });
    QElapsedTimer clock;
    clock.start();
    const Outcome r = w.run({"clock", "--timeout", "10"});
    QCOMPARE(r.code, 130);
    QVERIFY(clock.elapsed() < 5000);
}

void TestCliDevice::watchEndsCleanlyOnCtrlC() {
    World w;
    w.add();
    QTimer::singleShot(450, [&] { w.interrupt = true; });
    const Outcome r = w.run({"status", "--watch", "--interval", "0.1", "--json"});
    QCOMPARE(r.code, 0);
    const QStringList lines = r.out.split(u'\n', Qt::SkipEmptyParts);
    QVERIFY2(lines.size() >= 2 && lines.size() <= 6, qPrintable(r.out));
    for (const QString& l : lines)
        QVERIFY(jsonObject(l).contains(QStringLiteral("humidityTop")));
}

namespace {

// How the cabinet is interrupted while status --watch or record polls it.
enum class Interruption { Unplugged, WritesFail, FirstWriteFails };

void interruptCabinet(World& w, Interruption kind) {
    switch (kind) {
    case Interruption::Unplugged: // unplugged for a while, then back
        QTimer::singleShot(400, [&w] { w.devices[0]->unplug(); });
        QTimer::singleShot(900, [&w] { w.devices[0]->plug(); });
        break;
    case Interruption::WritesFail: // on the bus, but four polls cannot be written
        QTimer::singleShot(400, [&w] { w.bus.failWrites(w.devices[0]->deviceId(), 4); });
        break;
    case Interruption::FirstWriteFails: // the first "@" is lost
        w.bus.failWrites(w.devices[0]->deviceId(), 1);
        break;
    }
}

} // namespace

void TestCliDevice::watchFollowsTheCabinet_data() {
    QTest::addColumn<Interruption>("kind");
    QTest::addColumn<QStringList>("notes");
    QTest::newRow("unplugged and back")
        << Interruption::Unplugged << QStringList{"went away", "is back"};
    QTest::newRow("first configuration request lost")
        << Interruption::FirstWriteFails << QStringList{"writing to the cabinet failed"};
}

void TestCliDevice::watchFollowsTheCabinet() {
    QFETCH(Interruption, kind);
    QFETCH(QStringList, notes);
    World w;
    w.add();
    interruptCabinet(w, kind);
    QTimer::singleShot(1400, [&] { w.interrupt = true; });
    const Outcome r = w.run({"status", "--watch", "--interval", "0.1", "--json"});
    QCOMPARE(r.code, 0);
    for (const QString& note : notes)
        QVERIFY2(r.err.contains(note), qPrintable(r.err));
    const QStringList lines = r.out.split(u'\n', Qt::SkipEmptyParts);
    QVERIFY2(lines.size() >= 4, qPrintable(r.out));
    qint64 previous = 0, longest = 0;
    for (const QString& l : lines) {
        const QJsonObject j = jsonObject(l);
        // Every record is decoded knowing the firmware version (it decides the layout).
        QCOMPARE(j["firmwareVersion"].toDouble(), 1.003);
        const qint64 t =
            QDateTime::fromString(j["timeStamp"].toString(), Qt::ISODateWithMs).toMSecsSinceEpoch();
        if (previous)
            longest = std::max(longest, t - previous);
        previous = t;
    }
    // Records before and after the unplugged stretch.
    if (kind == Interruption::Unplugged)
        QVERIFY2(longest >= 300, qPrintable(QString::number(longest)));
}

void TestCliDevice::recordWritesRowsAndMarksGap_data() {
    QTest::addColumn<Interruption>("kind");
    QTest::addColumn<QStringList>("notes");
    QTest::newRow("unplugged and back")
        << Interruption::Unplugged << QStringList{"went away", "is back"};
    QTest::newRow("polls cannot be written")
        << Interruption::WritesFail << QStringList{"writing to the cabinet failed"};
}

void TestCliDevice::recordWritesRowsAndMarksGap() {
    QFETCH(Interruption, kind);
    QFETCH(QStringList, notes);
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("rec.csv"));
    World w;
    w.add();
    interruptCabinet(w, kind);
    const Outcome r = w.run({"record", "--csv", file, "--interval", "0.1", "--duration", "1.6"});
    QCOMPARE(r.code, 0);
    for (const QString& note : notes)
        QVERIFY2(r.err.contains(note), qPrintable(r.err));
    QFile f(file);
    QVERIFY(f.open(QIODevice::ReadOnly));
    const QByteArray content = f.readAll();
    QVERIFY(content.endsWith('\n'));
    const QList<QByteArray> lines = content.split('\n');
    QCOMPARE(lines.first(), QByteArray::fromStdString(service::csvHeader()));
    const qsizetype columns = lines.first().count(',');
    int rows = 0, gaps = 0, gapAt = -1;
    for (qsizetype i = 1; i < lines.size() - 1; ++i) {
        if (lines[i].startsWith("# gap from ")) {
            ++gaps;
            gapAt = static_cast<int>(i);
            continue;
        }
        QCOMPARE(lines[i].count(','), columns);
        ++rows;
    }
    QCOMPARE(gaps, 1);
    // Records before and after the gap; the gap spans from the last record before it to the
    // first after it.
    QVERIFY2(gapAt >= 2 && gapAt < lines.size() - 2, qPrintable(QString::fromUtf8(content)));
    const QByteArray before = lines[gapAt - 1].left(lines[gapAt - 1].indexOf(','));
    const QByteArray after = lines[gapAt + 1].left(lines[gapAt + 1].indexOf(','));
    QCOMPARE(lines[gapAt], "# gap from " + before + " to " + after);
    QVERIFY2(rows >= 4 && rows <= 17, qPrintable(QString::number(rows)));
    QVERIFY(r.err.contains(QStringLiteral("%1 records written").arg(rows)));
}

void TestCliDevice::recordKeepsTheInterval_data() {
    QTest::addColumn<QString>("interval");
    QTest::addColumn<QString>("duration");
    QTest::addColumn<int>("expectedRows");
    QTest::newRow("0.1 s for 0.5 s") << "0.1"
                                     << "0.5" << 5;
    QTest::newRow("0.25 s for 1 s") << "0.25"
                                    << "1" << 4;
    QTest::newRow("longer than the duration") << "5"
                                              << "0.3" << 1;
}

void TestCliDevice::recordKeepsTheInterval() {
    QFETCH(QString, interval);
    QFETCH(QString, duration);
    QFETCH(int, expectedRows);
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("rec.csv"));
    World w;
    w.add();
    QElapsedTimer clock;
    clock.start();
    const Outcome r =
        w.run({"record", "--csv", file, "--interval", interval, "--duration", duration, "--json"});
    QCOMPARE(r.code, 0);
    // It ends when the duration is over, not at the next poll.
    QVERIFY(clock.elapsed() < duration.toDouble() * 1000 + 1000);
    // A poll delayed by a loaded machine beyond its slot is skipped, not caught up.
    const int rows = jsonObject(r.out)["records"].toInt();
    QVERIFY2(rows <= expectedRows && rows >= std::max(1, expectedRows - 1), qPrintable(r.out));
    QFile f(file);
    QVERIFY(f.open(QIODevice::ReadOnly));
    QList<QByteArray> lines = f.readAll().split('\n');
    lines.removeFirst(); // header
    lines.removeLast();  // after the last line end
    QCOMPARE(lines.size(), rows);
    // One record per interval: consecutive time stamps are an interval apart.
    qint64 previous = -1;
    for (const QByteArray& l : lines) {
        const qint64 t =
            QDateTime::fromString(QString::fromLatin1(l.left(l.indexOf(','))), Qt::ISODateWithMs)
                .toMSecsSinceEpoch();
        if (previous >= 0)
            QVERIFY2(t - previous >= interval.toDouble() * 1000 * 0.7, l.constData());
        previous = t;
    }
}

void TestCliDevice::recordRefusesForeignFile() {
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("notes.txt"));
    {
        QFile f(file);
        QVERIFY(f.open(QIODevice::WriteOnly));
        f.write("my notes\n");
    }
    World w;
    w.add();
    const Outcome r = w.run({"record", "--csv", file, "--duration", "0.3"});
    QCOMPARE(r.code, 4);
    QVERIFY(r.err.contains(QStringLiteral("something else")));
    QFile f(file);
    QVERIFY(f.open(QIODevice::ReadOnly));
    QCOMPARE(f.readAll(), QByteArray("my notes\n"));

    const Outcome bad =
        w.run({"record", "--csv", dir.filePath("missing/dir/x.csv"), "--duration", "0.3"});
    QCOMPARE(bad.code, 4);
}

void TestCliDevice::recordAppendsToOwnFile() {
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("rec.csv"));
    World w;
    w.add();
    QCOMPARE(w.run({"record", "--csv", file, "--interval", "0.1", "--duration", "0.25"}).code, 0);
    {
        // A line cut off by someone else is ended before new records follow.
        QFile f(file);
        QVERIFY(f.open(QIODevice::Append));
        f.write("2026-01-01T00:00:00.000+00:00,1,2");
    }
    QCOMPARE(w.run({"record", "--csv", file, "--interval", "0.1", "--duration", "0.25"}).code, 0);
    QFile f(file);
    QVERIFY(f.open(QIODevice::ReadOnly));
    const QList<QByteArray> lines = f.readAll().split('\n');
    QCOMPARE(lines.count(QByteArray::fromStdString(service::csvHeader())), 1);
    QVERIFY(lines.contains("2026-01-01T00:00:00.000+00:00,1,2"));
    QVERIFY(lines.size() >= 6);
}

void TestCliDevice::recordHistoryWritesTheStoredHistory() {
    QTemporaryDir root;
    qputenv("HQ3746_HISTORY_DIR", root.path().toLocal8Bit());
    World w;
    w.add();
    const Outcome o = w.run({"record", "--history", "--interval", "0.1", "--duration", "0.45"});
    QVERIFY2(o.code == 0, qPrintable(o.err));
    QVERIFY(o.err.contains(QStringLiteral("storing the history in")));
    const QString folder = root.path() + QStringLiteral("/12345678");
    {
        auto reader = history::ArchiveReader::open(folder);
        QVERIFY(reader.ok());
        QVERIFY(reader->recordCount() >= 3);
        QVERIFY(reader->problems().empty());
    }
    // While another program writes the same cabinet's history, recording is refused.
    std::vector<std::string> notices;
    auto other = history::ArchiveWriter::open(folder, "12345678", {}, notices);
    QVERIFY(other.ok());
    const Outcome refused =
        w.run({"record", "--history", "--interval", "0.1", "--duration", "0.3"});
    QCOMPARE(refused.code, 4);
    QVERIFY2(refused.err.contains(QStringLiteral("is already being written by")),
             qPrintable(refused.err));
    qunsetenv("HQ3746_HISTORY_DIR");
}

QTEST_GUILESS_MAIN(TestCliDevice)
#include "test_cli_device.moc"
