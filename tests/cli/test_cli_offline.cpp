// hq3746ctl commands that need no cabinet: frame, decode, help, and the argument checks.
#include "cli_test_support.h"
#include "fleet/mqtt_connection.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtTest>

using namespace hq::cli;
using namespace hq::cli::test;

namespace {

QList<QJsonObject> jsonLines(const QString& text) {
    QList<QJsonObject> list;
    for (const QString& l : text.split(u'\n', Qt::SkipEmptyParts)) {
        QJsonParseError e;
        const QJsonDocument d = QJsonDocument::fromJson(l.toUtf8(), &e);
        if (e.error != QJsonParseError::NoError)
            qWarning() << "not JSON:" << l;
        list << d.object();
    }
    return list;
}

QString sixtyThreeZeros() {
    QStringList z;
    for (int i = 0; i < 63; ++i)
        z << QStringLiteral("00");
    return z.join(u' ');
}

} // namespace

class TestCliOffline : public QObject {
    Q_OBJECT
private slots:
    void frames_data();
    void frames();
    void frameJson();
    void frameClockWithoutAtUsesPcClock();
    void decodeLines_data();
    void decodeLines();
    void decodeJsonRecords_data();
    void decodeJsonRecords();
    void decodeCarriesFirmwareVersion_data();
    void decodeCarriesFirmwareVersion();
    void decodeWebImageAndUnknownCode();
    void decodeFromStandardInput();
    void badArguments_data();
    void badArguments();
    void help();
};

void TestCliOffline::frames_data() {
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<QString>("expected");
    QTest::newRow("settings 5/0 off")
        << QStringList{"frame",           "settings", "--door-alarm", "5",
                       "--restart-delay", "0",        "--return-air", "off"}
        << "41 32 32 1E 2C 01 00 00 00 00 00 00 00 02";
    QTest::newRow("settings 10/5 off, inline values")
        << QStringList{"frame", "settings", "--door-alarm=10", "--restart-delay=5",
                       "--return-air=off"}
        << "41 32 32 1E 58 02 2C 01 00 00 00 00 00 02";
    QTest::newRow("settings 60/60 on")
        << QStringList{"frame",           "settings", "--door-alarm", "60",
                       "--restart-delay", "60",       "--return-air", "on"}
        << "41 32 32 1E 10 0E 10 0E 00 00 00 00 00 01";
    QTest::newRow("clock Wednesday 2024-03-06 09:05:07")
        << QStringList{"frame", "clock", "--at", "2024-03-06T09:05:07"}
        << "32 20 01 07 05 09 06 03 03 24 01 01 01 01 01 01 01 00";
    QTest::newRow("clock Sunday 2024-03-10 12:00:00: weekday 0")
        << QStringList{"frame", "clock", "--at", "2024-03-10T12:00:00"}
        << "32 20 01 00 00 12 10 00 03 24 01 01 01 01 01 01 01 00";
    QTest::newRow("clock Thursday 2099-12-31 23:59:59")
        << QStringList{"frame", "clock", "--at", "2099-12-31T23:59:59"}
        << "32 20 01 59 59 23 31 04 12 99 01 01 01 01 01 01 01 00";
    QTest::newRow("serial 12345678")
        << QStringList{"frame", "serial", "12345678"} << "78 4E 61 BC 00";
    QTest::newRow("serial -1 two's complement")
        << QStringList{"frame", "serial", "-1"} << "78 FF FF FF FF";
    QTest::newRow("raw v") << QStringList{"frame", "raw", "v"} << "76";
    QTest::newRow("raw @") << QStringList{"frame", "raw", "@"} << "40";
    QTest::newRow("raw 3 is the character") << QStringList{"frame", "raw", "3"} << "33";
    QTest::newRow("raw 0xFE") << QStringList{"frame", "raw", "0xFE"} << "FE";
    QTest::newRow("raw v in 65-byte report")
        << QStringList{"frame", "raw", "v", "--report", "65"} << "00 76 " + sixtyThreeZeros();
    QTest::newRow("settings in 16-byte report: zero after the frame")
        << QStringList{"--report",        "16", "frame",        "settings", "--door-alarm", "5",
                       "--restart-delay", "0",  "--return-air", "off"}
        << "00 41 32 32 1E 2C 01 00 00 00 00 00 00 00 02 00";
}

void TestCliOffline::frames() {
    QFETCH(QStringList, args);
    QFETCH(QString, expected);
    const Outcome o = runCli(args, offlineEnvironment());
    QCOMPARE(o.err, QString());
    QCOMPARE(o.code, 0);
    QCOMPARE(o.out, expected + u'\n');
}

void TestCliOffline::frameJson() {
    const Outcome o = runCli({"frame", "serial", "12345678", "--json"}, offlineEnvironment());
    QCOMPARE(o.code, 0);
    const QJsonObject j = QJsonDocument::fromJson(o.out.toUtf8()).object();
    QCOMPARE(j["hex"].toString(), QStringLiteral("78 4E 61 BC 00"));
    QCOMPARE(j["bytes"].toArray(), (QJsonArray{0x78, 0x4E, 0x61, 0xBC, 0x00}));
}

void TestCliOffline::frameClockWithoutAtUsesPcClock() {
    Environment env = offlineEnvironment();
    // 2024-03-06 09:05:07 local time
    const QDateTime t(QDate(2024, 3, 6), QTime(9, 5, 7));
    env.now = [t] {
        return std::chrono::system_clock::time_point(
            std::chrono::milliseconds(t.toMSecsSinceEpoch()));
    };
    const Outcome o = runCli({"frame", "clock"}, env);
    QCOMPARE(o.code, 0);
    QCOMPARE(o.out, QStringLiteral("32 20 01 07 05 09 06 03 03 24 01 01 01 01 01 01 01 00\n"));
}

void TestCliOffline::decodeLines_data() {
    QTest::addColumn<QString>("report");
    QTest::addColumn<QStringList>("expectedLines"); // lines that must appear, in order
    QTest::addColumn<int>("lineCount");
    QTest::newRow("status: fehler 0, aktoren 0x81, hytRetO 0x0A")
        << reportHex(
               {{0, 0x76}, {1, 0x81}, {2, 0}, {28, 0x0A}, {42, 192}, {43, 168}, {44, 1}, {45, 20}})
        << QStringList{"Aktoren: 10000001", "FEHLER: 0", "HytRetO: 0A", "192.168.1.20"} << 20;
    QTest::newRow("status in order")
        << reportHex({{0, 0x76}, {3, 0x34}, {4, 0x12}, {24, 5}, {25, 3}, {46, 0xFF}, {47, 0xFF}})
        << QStringList{"L1 UPs: 4660", "STATUS: 00000101", "Programmphase: 3", "IntTimer: 65535"}
        << 20;
    QTest::newRow("configuration") << reportHex({{0, 0x40}}) << QStringList{"WR_T6"} << 1;
    QTest::newRow("clock") << reportHex({{0, 0x33}, {1, 7}}) << QStringList{"Read RTC: 7"} << 1;
    QTest::newRow("I2C count 0") << reportHex({{0, 0x3A}})
                                 << QStringList{QString::fromUtf8("KEine I2C Geräte gefunden")}
                                 << 1;
    QTest::newRow("I2C count 2") << reportHex({{0, 0x3A}, {1, 2}, {2, 0xA0}, {3, 0x40}})
                                 << QStringList{QString::fromUtf8("I2C Geräte gefunden"),
                                                "     8Bit       7Bit     8Bit Dec.",
                                                " 1: 0xA0 Write 0x50 I2C 160 Dez. ",
                                                " 2: 0x40 Write 0x20 I2C 64 Dez. "}
                                 << 4;
    QTest::newRow("short report reads as zero-filled")
        << QStringLiteral("76 81") << QStringList{"Aktoren: 10000001", "IntTimer: 0"} << 20;
}

void TestCliOffline::decodeLines() {
    QFETCH(QString, report);
    QFETCH(QStringList, expectedLines);
    QFETCH(int, lineCount);
    const Outcome o = runCli({"decode", report}, offlineEnvironment());
    QCOMPARE(o.code, 0);
    const QStringList lines = o.out.split(u'\n', Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), lineCount);
    qsizetype at = 0;
    for (const QString& expected : expectedLines) {
        const qsizetype found = lines.indexOf(expected, at);
        QVERIFY2(found >= 0, qPrintable("missing or out of order: " + expected));
        at = found + 1;
    }
}

void TestCliOffline::decodeJsonRecords_data() {
    QTest::addColumn<QString>("report");
    QTest::addColumn<QString>("field");
    QTest::addColumn<double>("value");
    // Temperatures are 16-bit two's complement, as the reply decoder reads them.
    QTest::newRow("temperatureTop FF FF is -1")
        << reportHex({{0, 0x76}, {31, 0xFF}, {32, 0xFF}}) << "temperatureTop" << -1.0;
    QTest::newRow("temperatureTop FF 7F is 32767")
        << reportHex({{0, 0x76}, {31, 0xFF}, {32, 0x7F}}) << "temperatureTop" << 32767.0;
    QTest::newRow("temperatureBottom 38 FF is -200")
        << reportHex({{0, 0x76}, {36, 0x38}, {37, 0xFF}}) << "temperatureBottom" << -200.0;
    QTest::newRow("serial 4E 61 BC 00")
        << reportHex({{0, 0x40}, {13, 0x4E}, {14, 0x61}, {15, 0xBC}, {16, 0x00}}) << "serialNumber"
        << 12345678.0;
    QTest::newRow("serial FF FF FF FF is -1")
        << reportHex({{0, 0x40}, {13, 0xFF}, {14, 0xFF}, {15, 0xFF}, {16, 0xFF}}) << "serialNumber"
        << -1.0;
    QTest::newRow("firmware 1.01")
        << reportHex({{0, 0x40}, {17, 10}, {18, 1}}) << "firmwareVersion" << 1.01;
    QTest::newRow("door alarm seconds")
        << reportHex({{0, 0x40}, {4, 0x2C}, {5, 0x01}}) << "doorAlarmTime" << 300.0;
}

void TestCliOffline::decodeJsonRecords() {
    QFETCH(QString, report);
    QFETCH(QString, field);
    QFETCH(double, value);
    const Outcome o = runCli({"--json", "decode", report}, offlineEnvironment());
    QCOMPARE(o.code, 0);
    const auto objects = jsonLines(o.out);
    QCOMPARE(objects.size(), 1);
    const QJsonObject record = objects[0]["record"].toObject();
    QVERIFY2(record.contains(field), qPrintable(o.out));
    QCOMPARE(record[field].toDouble(), value);
}

void TestCliOffline::decodeCarriesFirmwareVersion_data() {
    QTest::addColumn<int>("minor");
    QTest::addColumn<int>("major");
    QTest::addColumn<int>("okTimer");
    // Status with byte 5 = 0x11 and bytes 18-19 = 0x0234.
    QTest::newRow("1.003: wide okTimer") << 3 << 1 << 0x0234;
    QTest::newRow("1.002: byte 5") << 2 << 1 << 0x11;
    QTest::newRow("2.000: wide okTimer") << 0 << 2 << 0x0234;
}

void TestCliOffline::decodeCarriesFirmwareVersion() {
    QFETCH(int, minor);
    QFETCH(int, major);
    QFETCH(int, okTimer);
    const QString status = reportHex({{0, 0x76}, {5, 0x11}, {18, 0x34}, {19, 0x02}});
    const QString config = reportHex({{0, 0x40}, {17, minor}, {18, major}});
    const Outcome o = runCli({"decode", "--json", status, config, status}, offlineEnvironment());
    QCOMPARE(o.code, 0);
    const auto objects = jsonLines(o.out);
    QCOMPARE(objects.size(), 3);
    // Before any configuration the older layout applies.
    QCOMPARE(objects[0]["record"].toObject()["okTimer"].toInt(), 0x11);
    QCOMPARE(objects[1]["code"].toString(), QStringLiteral("@"));
    QCOMPARE(objects[1]["followUp"].toString(), QStringLiteral("u"));
    QCOMPARE(objects[1]["clear"].toBool(), true);
    QCOMPARE(objects[1]["lines"].toArray(), QJsonArray{"WR_T6"});
    QCOMPARE(objects[2]["record"].toObject()["okTimer"].toInt(), okTimer);
    QCOMPARE(objects[2]["code"].toString(), QStringLiteral("v"));
    QVERIFY(objects[2]["followUp"].isNull());
}

void TestCliOffline::decodeWebImageAndUnknownCode() {
    QByteArray text = "Version_MPFS = 1.002 ;";
    QStringList hex{"75"};
    for (char c : text)
        hex << QStringLiteral("%1").arg(static_cast<unsigned char>(c), 2, 16, QLatin1Char('0'));
    while (hex.size() < 64)
        hex << "00";
    const Outcome o =
        runCli({"decode", "--json", hex.join(u' '), reportHex({})}, offlineEnvironment());
    QCOMPARE(o.code, 0);
    const auto objects = jsonLines(o.out);
    QCOMPARE(objects.size(), 2);
    const QJsonObject web = objects[0]["record"].toObject();
    QCOMPARE(web["version"].toString(), QStringLiteral("1.002"));
    QCOMPARE(web["webImageVersion"].toDouble(), 1.002);
    QCOMPARE(web["text"].toString(), QString::fromLatin1(text));
    QCOMPARE(objects[0]["pane"].toString(), QStringLiteral("UDPMemo"));
    QCOMPARE(objects[0]["lines"].toArray(), QJsonArray{QString::fromLatin1(text)});
    // An empty report (code 0x00) changes nothing.
    QVERIFY(objects[1]["record"].isNull());
    QCOMPARE(objects[1]["lines"].toArray().size(), 0);
    QCOMPARE(objects[1]["codeByte"].toInt(), 0);

    // As text, the unknown report prints nothing and says so on stderr.
    const Outcome t = runCli({"decode", reportHex({})}, offlineEnvironment());
    QCOMPARE(t.code, 0);
    QCOMPARE(t.out, QString());
    QVERIFY(t.err.contains(QStringLiteral("ignored")));
}

void TestCliOffline::decodeFromStandardInput() {
    std::istringstream in("# captured\n" + reportHex({{0, 0x33}, {1, 1}}).toStdString() + "\n\n" +
                          reportHex({{0, 0x33}, {1, 2}}).toStdString() + "\n");
    Environment env = offlineEnvironment();
    env.in = &in;
    const Outcome o = runCli({"decode", "-"}, env);
    QCOMPARE(o.code, 0);
    QCOMPARE(o.out, QStringLiteral("Read RTC: 1\n\nRead RTC: 2\n"));
}

namespace {
// The rows of publish's bad arguments (a build with MQTT).
void addPublishRows() {
    QTest::newRow("publish without broker") << QStringList{"publish"} << 1 << "--broker";
    QTest::newRow("broker without scheme")
        << QStringList{"publish", "--broker", "localhost:1883"} << 1 << "mqtt://";
    QTest::newRow("topic prefix with a wildcard")
        << QStringList{"publish", "--broker", "mqtt://b", "--topic-prefix", "a/#"} << 1
        << "wildcards";
    QTest::newRow("password file without user")
        << QStringList{"publish", "--broker", "mqtt://b", "--password-file", "pw"} << 1
        << "--username";
    QTest::newRow("password file missing")
        << QStringList{"publish", "--broker",        "mqtt://b",       "--username",
                       "u",       "--password-file", "/nonexistent/pw"}
        << 4 << "password file";
    QTest::newRow("CA file missing")
        << QStringList{"publish", "--broker", "mqtts://b", "--tls-ca", "/nonexistent/ca.pem"} << 4
        << "CA file";
}
} // namespace

void TestCliOffline::badArguments_data() {
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("message");
    QTest::newRow("no command") << QStringList{} << 1 << "no command";
    QTest::newRow("unknown command") << QStringList{"explode"} << 1 << "unknown command";
    QTest::newRow("unknown option") << QStringList{"status", "--loud"} << 1 << "--loud";
    QTest::newRow("option of another command")
        << QStringList{"config", "--csv", "x.csv"} << 1 << "unknown option";
    QTest::newRow("missing value")
        << QStringList{"frame", "raw", "v", "--report"} << 1 << "needs a value";
    QTest::newRow("door alarm below 5")
        << QStringList{"frame",           "settings", "--door-alarm", "4",
                       "--restart-delay", "0",        "--return-air", "on"}
        << 1 << "5 to 60";
    QTest::newRow("door alarm above 60")
        << QStringList{"set", "--door-alarm", "61", "--restart-delay", "0"} << 1 << "5 to 60";
    QTest::newRow("restart delay negative")
        << QStringList{"set", "--door-alarm", "5", "--restart-delay", "-1"} << 1 << "0 to 60";
    QTest::newRow("restart delay not a number")
        << QStringList{"set", "--door-alarm", "5", "--restart-delay", "5min"} << 1 << "0 to 60";
    QTest::newRow("set without restart delay")
        << QStringList{"set", "--door-alarm", "5"} << 1 << "--restart-delay";
    QTest::newRow("return-air maybe")
        << QStringList{"set", "--door-alarm", "5", "--restart-delay", "5", "--return-air", "maybe"}
        << 1 << "on or off";
    QTest::newRow("frame settings without return-air")
        << QStringList{"frame", "settings", "--door-alarm", "5", "--restart-delay", "0"} << 1
        << "--return-air";
    QTest::newRow("clock year 2100")
        << QStringList{"frame", "clock", "--at", "2100-01-01T00:00:00"} << 1 << "2000 to 2099";
    QTest::newRow("clock 30 February")
        << QStringList{"frame", "clock", "--at", "2024-02-30T00:00:00"} << 1 << "YYYY-MM-DD";
    QTest::newRow("serial too big")
        << QStringList{"frame", "serial", "4294967296"} << 1 << "32-bit";
    QTest::newRow("serial missing") << QStringList{"serial"} << 1 << "NUMBER";
    if (!hq::fleet::mqttSupported())
        QTest::newRow("publish not in this build")
            << QStringList{"publish", "--broker", "mqtt://b"} << 1 << "not part of this build";
    else
        addPublishRows();
    QTest::newRow("simulated cabinets without simulate")
        << QStringList{"serve", "--cabinets", "5"} << 1 << "--simulate";
    QTest::newRow("metrics on a host name")
        << QStringList{"serve", "--metrics", "localhost:9746"} << 1 << "localhost:9746";
    QTest::newRow("poll interval too short")
        << QStringList{"serve", "--interval", "0.01"} << 1 << "0.1 to 3600";
    QTest::newRow("raw two characters") << QStringList{"frame", "raw", "vv"} << 1 << "CODE";
    QTest::newRow("raw 256") << QStringList{"frame", "raw", "256"} << 1 << "CODE";
    QTest::newRow("report too short for settings")
        << QStringList{"frame", "settings",     "--door-alarm", "5",        "--restart-delay",
                       "0",     "--return-air", "on",           "--report", "15"}
        << 1 << "does not fit";
    QTest::newRow("report 66") << QStringList{"frame", "raw", "v", "--report", "66"} << 1
                               << "2 to 65";
    QTest::newRow("unknown frame kind") << QStringList{"frame", "status"} << 1 << "frame kind";
    QTest::newRow("decode odd digits") << QStringList{"decode", "76 0"} << 1 << "report 1";
    QTest::newRow("decode not hex") << QStringList{"decode", "40", "7g"} << 1 << "report 2";
    QTest::newRow("decode 65 bytes")
        << QStringList{"decode", reportHex({}) + " 00"} << 1 << "65 bytes";
    QTest::newRow("decode nothing") << QStringList{"decode"} << 1 << "at least one";
    QTest::newRow("timeout zero") << QStringList{"status", "--timeout", "0"} << 1 << "--timeout";
    QTest::newRow("interval without watch")
        << QStringList{"status", "--interval", "2"} << 1 << "--watch";
    QTest::newRow("record without csv") << QStringList{"record"} << 1 << "--csv";
    QTest::newRow("record interval bad")
        << QStringList{"record", "--csv", "x", "--interval", "-3"} << 1 << "--interval";
    QTest::newRow("simulate on decode")
        << QStringList{"--simulate", "decode", "76"} << 1 << "--simulate";
    QTest::newRow("discover port 0") << QStringList{"discover", "--port", "0"} << 1 << "--port";
    QTest::newRow("discover host name")
        << QStringList{"discover", "--address", "cabinet"} << 1 << "IPv4";
    QTest::newRow("upload without address") << QStringList{"upload"} << 1 << "--address";
    QTest::newRow("option twice") << QStringList{"status", "--json", "--json"} << 1 << "twice";
    QTest::newRow("flag with value")
        << QStringList{"status", "--json=yes"} << 1 << "takes no value";
}

void TestCliOffline::badArguments() {
    QFETCH(QStringList, args);
    QFETCH(int, code);
    QFETCH(QString, message);
    bool backendAsked = false;
    Environment env = offlineEnvironment();
    env.backend = [&](bool) -> std::unique_ptr<DeviceBackend> {
        backendAsked = true;
        return nullptr;
    };
    const Outcome o = runCli(args, env);
    QCOMPARE(o.code, code);
    QVERIFY2(o.err.startsWith(QStringLiteral("hq3746ctl: ")), qPrintable(o.err));
    QVERIFY2(o.err.contains(message), qPrintable(o.err));
    QCOMPARE(o.err.count(u'\n'), 1); // one line
    QCOMPARE(o.out, QString());
    // Bad arguments are found before any device is touched.
    QVERIFY(!backendAsked);
}

void TestCliOffline::help() {
    const Outcome all = runCli({"--help"}, offlineEnvironment());
    QCOMPARE(all.code, 0);
    for (const QString& command : commandNames())
        QVERIFY2(all.out.contains(QStringLiteral("\n    ") + command),
                 qPrintable("help lacks " + command));
    for (const char* code : {"0 ", "1 ", "2 ", "3 ", "4 ", "5 ", "130"})
        QVERIFY(all.out.contains(QStringLiteral("\n    ") + QLatin1String(code)));

    const Outcome one = runCli({"record", "--help"}, offlineEnvironment());
    QCOMPARE(one.code, 0);
    QVERIFY(one.out.contains(QStringLiteral("record --csv FILE")));
    QVERIFY(!one.out.contains(QStringLiteral("decode HEX")));
    QCOMPARE(runCli({"help", "frame"}, offlineEnvironment()).out.count(QStringLiteral("frame ")) >=
                 4,
             true);
}

QTEST_GUILESS_MAIN(TestCliOffline)
#include "test_cli_offline.moc"
