#include <QTest>

#include "protocol/decoder.h"
#include "protocol/fields.h"

using namespace hq::protocol;

namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes report(std::uint8_t code) {
    Bytes b(64, 0);
    b[0] = code;
    return b;
}

Bytes configReport(std::uint8_t minor, std::uint8_t major) {
    Bytes b = report(reply::kConfig);
    b[17] = minor;
    b[18] = major;
    return b;
}

Bytes webReport(const std::string& text) {
    Bytes b = report(reply::kWebImageVersion);
    for (std::size_t i = 0; i < text.size() && i < 61; ++i)
        b[1 + i] = static_cast<std::uint8_t>(text[i]);
    return b;
}

QStringList qLines(const std::vector<std::string>& lines) {
    QStringList l;
    for (const auto& s : lines)
        l << QString::fromStdString(s);
    return l;
}

const FieldValue* field(const std::vector<Field>& fs, std::string_view name) {
    for (const auto& f : fs)
        if (f.name == name)
            return &f.value;
    return nullptr;
}

} // namespace

class TestReplyDecoder : public QObject {
    Q_OBJECT
private slots:
    void statusFieldsAndLines() {
        Bytes b = report(reply::kStatus);
        const std::uint8_t body[] = {
            0x81,              // aktoren
            0,                 // fehler
            0x34, 0x12,        // l1Ups 0x1234
            7,                 // okTimer (old)
            9,                 // tet
            0x05,              // ventile
            0xF4, 0x01,        // netzf 500
            0x10, 0x27,        // t3 10000
            0xE8, 0x03,        // l1 1000
            1,    0,           // t1
            0xFF, 0xFF,        // netErrors 65535
            0x2C, 0x01,        // t1_2 300
            2,    0,           // t2_1
            3,    0,           // t2_2
            0x01,              // status: door open
            4,                 // programmphase
            0xF0,              // prog
            6,                 // lIn
            0x0A,              // hytRetO
            0x2D, 0x00,        // humidityTop 45
            0xD7, 0x00,        // temperatureTop 215
            0xFF,              // hytRetU
            0x32, 0x00,        // humidityBottom 50
            0x9C, 0xFF,        // temperatureBottom -100
            192,  168,  1, 20, // cabinetAddress
            10,   0,    0, 1,  // secondAddress
            0x39, 0x30,        // intTimer 12345
        };
        std::copy(std::begin(body), std::end(body), b.begin() + 1);
        const auto stamp = std::chrono::system_clock::time_point(std::chrono::seconds(1000));
        ReplyDecoder d([stamp] { return stamp; });
        const DecodeResult r = d.decode(b);
        QVERIFY(!r.ignored());
        QCOMPARE(r.code, std::uint8_t('v'));
        QCOMPARE(r.pane, Pane::txtMessage);
        QVERIFY(r.clearPane);
        QVERIFY(!r.followUp);
        QVERIFY(r.timeStamp == stamp);
        const auto& s = std::get<StatusRecord>(r.record);
        QCOMPARE(s.okTimer, std::uint16_t(7));
        QCOMPARE(s.humidityTop, std::uint16_t(45));
        QCOMPARE(s.temperatureTop, std::int16_t(215));
        QCOMPARE(s.humidityBottom, std::uint16_t(50));
        QCOMPARE(s.temperatureBottom, std::int16_t(-100));
        QVERIFY(s.doorOpen());
        QCOMPARE(dottedAddress(s.cabinetAddress), std::string("192.168.1.20"));
        const QStringList expected = {
            "Aktoren: 10000001", "FEHLER: 0",        "L1 UPs: 4660",   "Ventile: 00000101",
            "Netzf: 500",        "T3: 10000",        "L1: 1000",       "T1: 1",
            "NET_ERRORS: 65535", "T1_2: 300",        "T2_1: 2",        "T2_2: 3",
            "STATUS: 00000001",  "Programmphase: 4", "PROG: 11110000", "L_IN: 6",
            "HytRetO: 0A",       "HytRetU: FF",      "10.0.0.1",       "IntTimer: 12345"};
        QCOMPARE(qLines(r.lines), expected);

        // Field access by name, as tools and the chart use it.
        const auto fs = recordFields(r.record);
        QCOMPARE(fs.size(), std::size_t(27));
        QVERIFY(field(fs, "l1Ups") && std::get<std::int64_t>(*field(fs, "l1Ups")) == 0x1234);
        QVERIFY(std::get<std::int64_t>(*field(fs, "temperatureBottom")) == -100);
        QVERIFY(std::get<std::string>(*field(fs, "secondAddress")) == "10.0.0.1");
        QCOMPARE(recordName(r.record), std::string_view("StatusRecord"));
    }

    // Temperatures are 16-bit two's complement.
    void temperatureSign_data() {
        QTest::addColumn<int>("lo");
        QTest::addColumn<int>("hi");
        QTest::addColumn<int>("value");
        QTest::newRow("FF FF is -1") << 0xFF << 0xFF << -1;
        QTest::newRow("00 80 is -32768") << 0x00 << 0x80 << -32768;
        QTest::newRow("FF 7F is 32767") << 0xFF << 0x7F << 32767;
        QTest::newRow("01 80 is -32767") << 0x01 << 0x80 << -32767;
        QTest::newRow("38 FF is -200") << 0x38 << 0xFF << -200;
        QTest::newRow("00 00 is 0") << 0x00 << 0x00 << 0;
    }
    void temperatureSign() {
        QFETCH(int, lo);
        QFETCH(int, hi);
        QFETCH(int, value);
        Bytes b = report(reply::kStatus);
        b[31] = b[36] = static_cast<std::uint8_t>(lo);
        b[32] = b[37] = static_cast<std::uint8_t>(hi);
        ReplyDecoder d;
        const auto s = std::get<StatusRecord>(d.decode(b).record);
        QCOMPARE(int(s.temperatureTop), value);
        QCOMPARE(int(s.temperatureBottom), value);
    }

    // okTimer: u8 at byte 5 before 1.003, u16 at bytes 18-19 from 1.003 on; the firmware
    // version is the one of the latest ConfigRecord.
    void okTimerFollowsFirmware_data() {
        QTest::addColumn<QList<int>>("configs"); // minor, major pairs sent before the status
        QTest::addColumn<int>("okTimer");
        QTest::newRow("no config yet") << QList<int>{} << 0x11;
        QTest::newRow("1.003") << QList<int>{3, 1} << 0x2233;
        QTest::newRow("1.002") << QList<int>{2, 1} << 0x11;
        QTest::newRow("2.000") << QList<int>{0, 2} << 0x2233;
        QTest::newRow("0.999 is below") << QList<int>{0xFF, 0} << 0x11; // 0.255
        QTest::newRow("1.003 then 1.002") << QList<int>{3, 1, 2, 1} << 0x11;
        QTest::newRow("1.002 then 1.010") << QList<int>{2, 1, 10, 1} << 0x2233;
    }
    void okTimerFollowsFirmware() {
        QFETCH(QList<int>, configs);
        QFETCH(int, okTimer);
        ReplyDecoder d;
        for (qsizetype i = 0; i + 1 < configs.size(); i += 2)
            d.decode(configReport(std::uint8_t(configs[i]), std::uint8_t(configs[i + 1])));
        Bytes b = report(reply::kStatus);
        b[5] = 0x11;
        b[18] = 0x33;
        b[19] = 0x22;
        const DecodeResult r = d.decode(b);
        const auto& s = std::get<StatusRecord>(r.record);
        QCOMPARE(int(s.okTimer), okTimer);
        QCOMPARE(int(s.t1_2), 0x2233);
        QCOMPARE(r.lines.at(9), std::string("T1_2: 8755"));
    }

    void configRecord() {
        Bytes b = report(reply::kConfig);
        const std::uint8_t body[] = {50,   35,   20,   0x2C, 0x01, 0x58, 0x02, 0x4F, 0x00, 0x10,
                                     0x00, 0x99, 0x4E, 0x61, 0xBC, 0x00, 10,   1,    0xEE, 0xEE,
                                     0x00, 0x04, 0xA3, 0x37, 0x46, 0x01, 0,    1};
        std::copy(std::begin(body), std::end(body), b.begin() + 1);
        ReplyDecoder d;
        const DecodeResult r = d.decode(b);
        const auto& c = std::get<ConfigRecord>(r.record);
        QCOMPARE(c.regenHumidity, std::uint8_t(50));
        QCOMPARE(c.reduction1Humidity, std::uint8_t(35));
        QCOMPARE(c.reduction2Humidity, std::uint8_t(20));
        QCOMPARE(c.doorAlarmTime, std::uint16_t(300));
        QCOMPARE(c.restartDelay, std::uint16_t(600));
        QCOMPARE(c.extraTime1, std::uint16_t(0x4F));
        QVERIFY(c.showReturnAir); // 0x4F has bit 6
        QCOMPARE(c.extraTime2, std::uint16_t(16));
        QCOMPARE(c.serialNumber, 12345678);
        QCOMPARE(macText(c.macAddress), std::string("00:04:A3:37:46:01"));
        QVERIFY(c.returnAirMonitoringOn());
        QCOMPARE(r.firmwareVersion.value(), 1.01);
        QCOMPARE(d.firmwareVersion().thousandths(), 1010);
        QVERIFY(r.clearPane);
        QCOMPARE(r.pane, Pane::txtMessage);
        QCOMPARE(qLines(r.lines), QStringList{"WR_T6"});
        QVERIFY(r.followUp && *r.followUp == webImageVersionRequest());
    }

    void configEdgeValues_data() {
        QTest::addColumn<QByteArray>("serialBytes");
        QTest::addColumn<int>("serial");
        QTest::addColumn<int>("returnAir");
        QTest::addColumn<bool>("on");
        QTest::newRow("-1, off by 2") << QByteArray::fromHex("FFFFFFFF") << -1 << 2 << false;
        QTest::newRow("min, 0 is off")
            << QByteArray::fromHex("00000080") << std::numeric_limits<int>::min() << 0 << false;
        QTest::newRow("255 is off") << QByteArray::fromHex("01000000") << 1 << 255 << false;
    }
    void configEdgeValues() {
        QFETCH(QByteArray, serialBytes);
        QFETCH(int, serial);
        QFETCH(int, returnAir);
        QFETCH(bool, on);
        Bytes b = report(reply::kConfig);
        std::copy(serialBytes.begin(), serialBytes.end(), b.begin() + 13);
        b[28] = static_cast<std::uint8_t>(returnAir);
        const auto c = decodeConfigRecord(b);
        QCOMPARE(c.serialNumber, serial);
        QCOMPARE(c.returnAirMonitoringOn(), on);
    }

    void clockRecord() {
        Bytes b = report(reply::kClock);
        const std::uint8_t body[] = {1, 23, 59, 58, 31, 12, 24};
        std::copy(std::begin(body), std::end(body), b.begin() + 1);
        ReplyDecoder d;
        const DecodeResult r = d.decode(b);
        const auto& c = std::get<ClockRecord>(r.record);
        QCOMPARE(c, (ClockRecord{1, 23, 59, 58, 31, 12, 24}));
        QVERIFY(!r.clearPane);
        QCOMPARE(qLines(r.lines), QStringList{"Read RTC: 1"});
    }

    void i2cScan_data() {
        QTest::addColumn<QByteArray>("data"); // the whole report, possibly short
        QTest::addColumn<QStringList>("lines");
        QTest::addColumn<int>("addresses");
        QTest::newRow("none") << (QByteArray::fromHex("3A00") + QByteArray(62, '\0'))
                              << QStringList{"KEine I2C Geräte gefunden"} << 0;
        QTest::newRow("two") << (QByteArray::fromHex("3A02A0D1") + QByteArray(60, '\0'))
                             << QStringList{"I2C Geräte gefunden",
                                            "     8Bit       7Bit     8Bit Dec.",
                                            " 1: 0xA0 Write 0x50 I2C 160 Dez. ",
                                            " 2: 0xD1 Write 0x68 I2C 209 Dez. "}
                             << 2;
        QTest::newRow("count beyond a short report")
            << QByteArray::fromHex("3A0510")
            << QStringList{"I2C Geräte gefunden", "     8Bit       7Bit     8Bit Dec.",
                           " 1: 0x10 Write 0x08 I2C 16 Dez. "}
            << 1;
        QTest::newRow("count without addresses")
            << QByteArray::fromHex("3A03")
            << QStringList{"I2C Geräte gefunden", "     8Bit       7Bit     8Bit Dec."} << 0;
        QByteArray full = QByteArray::fromHex("3AFF") + QByteArray(62, '\x02');
        full += QByteArray(10, '\x7F'); // bytes beyond the 64 are not addresses
        QTest::newRow("count 255 capped at 62") << full << QStringList{} << 62;
    }
    void i2cScan() {
        QFETCH(QByteArray, data);
        QFETCH(QStringList, lines);
        QFETCH(int, addresses);
        ReplyDecoder d;
        const DecodeResult r = d.decode(std::span(
            reinterpret_cast<const std::uint8_t*>(data.constData()), std::size_t(data.size())));
        const auto& rec = std::get<I2cScanRecord>(r.record);
        QCOMPARE(int(rec.addresses.size()), addresses);
        QVERIFY(!r.clearPane);
        QCOMPARE(r.pane, Pane::txtMessage);
        if (!lines.isEmpty()) {
            QCOMPARE(qLines(r.lines), lines);
        } else {
            QCOMPARE(int(r.lines.size()), addresses + 2);
            QCOMPARE(r.lines.back(), std::string(" 62: 0x02 Write 0x01 I2C 2 Dez. "));
            for (auto a : rec.addresses)
                QCOMPARE(a, std::uint8_t(2));
        }
    }

    void webImageVersion_data() {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<QString>("line");
        QTest::addColumn<bool>("hasVersionText");
        QTest::addColumn<QString>("versionText");
        QTest::addColumn<double>("version"); // < 0: no number
        QTest::newRow("present") << QByteArray("Version_MPFS = 1.002 ;") << "Version_MPFS = 1.002 ;"
                                 << true << "1.002" << 1.002;
        QTest::newRow("no blanks, prefix") << QByteArray("HQ Version_MPFS=2.10;x")
                                           << "HQ Version_MPFS=2.10;x" << true << "2.10" << 0.21;
        QTest::newRow("absent") << QByteArray("hello") << "hello" << false << "" << -1.0;
        QTest::newRow("empty report text") << QByteArray() << "" << false << "" << -1.0;
        QTest::newRow("not a number")
            << QByteArray("Version_MPFS=1.0a;") << "Version_MPFS=1.0a;" << true << "1.0a" << -1.0;
        QTest::newRow("empty version")
            << QByteArray("Version_MPFS= ;") << "Version_MPFS= ;" << true << "" << -1.0;
        QTest::newRow("no semicolon")
            << QByteArray("Version_MPFS=1.002") << "Version_MPFS=1.002" << true << "" << -1.0;
        QTest::newRow("no equals sign")
            << QByteArray("Version_MPFS1.004;") << "Version_MPFS1.004;" << true << "1.004" << 1.004;
        QTest::newRow("latin-1 text becomes UTF-8")
            << QByteArray("Gr\xFC\xDF Version_MPFS=\xE4;") << "Grüß Version_MPFS=ä;" << true << "ä"
            << -1.0;
        // 61 characters ending in ";": the last character is dropped before the search.
        const QByteArray full = "Version_MPFS=1.002" + QByteArray(42, ' ') + ";";
        QTest::newRow("semicolon in the last place")
            << full << QString::fromLatin1(full) << true << "" << -1.0;
        QTest::newRow("text beyond 61 cut")
            << (QByteArray(55, 'x') + "Version_MPFS=9;") << QString(QByteArray(55, 'x') + "Versio")
            << false << "" << -1.0;
    }
    void webImageVersion() {
        QFETCH(QByteArray, text);
        QFETCH(QString, line);
        QFETCH(bool, hasVersionText);
        QFETCH(QString, versionText);
        QFETCH(double, version);
        ReplyDecoder d;
        const DecodeResult r = d.decode(webReport(text.toStdString()));
        const auto& w = std::get<WebImageVersion>(r.record);
        QCOMPARE(r.pane, Pane::UDPMemo);
        QVERIFY(!r.clearPane);
        QCOMPARE(qLines(r.lines), QStringList{line});
        QCOMPARE(w.versionText.has_value(), hasVersionText);
        QCOMPARE(w.labelText().has_value(), hasVersionText);
        if (hasVersionText) {
            QCOMPARE(QString::fromStdString(*w.versionText), versionText);
            QCOMPARE(QString::fromStdString(*w.labelText()), "MPFS: " + versionText);
        }
        QCOMPARE(w.version.has_value(), version >= 0);
        if (version >= 0)
            QCOMPARE(*w.version, version);
    }

    // Whether the web image is as new as the firmware, as the web image label shows it.
    void webImageAtLeastFirmware_data() {
        QTest::addColumn<QByteArray>("text");
        QTest::addColumn<int>("major");
        QTest::addColumn<int>("minor");
        QTest::addColumn<int>("expected"); // 1 yes, 0 no, -1 nothing to compare
        QTest::newRow("equal 1.003") << QByteArray("Version_MPFS=1.003;") << 1 << 3 << 1;
        // 1128 / 1000.0 is below 1 + 128 / 1000.0 as doubles; the versions are still equal.
        QTest::newRow("equal 1.128") << QByteArray("Version_MPFS=1.128;") << 1 << 128 << 1;
        QTest::newRow("equal 1.253") << QByteArray("Version_MPFS=1.253;") << 1 << 253 << 1;
        QTest::newRow("older by one") << QByteArray("Version_MPFS=1.002;") << 1 << 3 << 0;
        QTest::newRow("newer major") << QByteArray("Version_MPFS=2.000;") << 1 << 999 << 1;
        QTest::newRow("dots only separate digits")
            << QByteArray("Version_MPFS=1.1;") << 1 << 1 << 0;
        QTest::newRow("not a number") << QByteArray("Version_MPFS=beta;") << 1 << 3 << -1;
        QTest::newRow("no keyword") << QByteArray("web image") << 0 << 0 << -1;
    }
    void webImageAtLeastFirmware() {
        QFETCH(QByteArray, text);
        QFETCH(int, major);
        QFETCH(int, minor);
        QFETCH(int, expected);
        const WebImageVersion w = decodeWebImageVersion(webReport(text.toStdString()));
        const std::optional<bool> atLeast = w.atLeast(FirmwareVersion{major, minor});
        QCOMPARE(atLeast.has_value(), expected >= 0);
        if (atLeast)
            QCOMPARE(*atLeast, expected == 1);
    }

    void ignoredAndShortReports_data() {
        QTest::addColumn<QByteArray>("data");
        QTest::addColumn<bool>("ignored");
        QTest::newRow("empty") << QByteArray() << true;
        QTest::newRow("code 0") << QByteArray(64, '\0') << true;
        QTest::newRow("unknown code") << QByteArray("Zzzz") << true;
        QTest::newRow("lone status code") << QByteArray("v") << false;
        QTest::newRow("lone config code") << QByteArray("@") << false;
        QTest::newRow("lone web code") << QByteArray("u") << false;
        QTest::newRow("lone clock code") << QByteArray("3") << false;
        QTest::newRow("lone i2c code") << QByteArray(":") << false;
        QTest::newRow("status of 200 bytes")
            << (QByteArray("v") + QByteArray(199, '\xFF')) << false;
    }
    void ignoredAndShortReports() {
        QFETCH(QByteArray, data);
        QFETCH(bool, ignored);
        ReplyDecoder d;
        d.decode(configReport(3, 1));
        const DecodeResult r = d.decode(std::span(
            reinterpret_cast<const std::uint8_t*>(data.constData()), std::size_t(data.size())));
        QCOMPARE(r.ignored(), ignored);
        if (ignored) {
            QVERIFY(r.lines.empty());
            QVERIFY(!r.clearPane);
            QVERIFY(!r.followUp);
        }
        // Short reports read as zero-filled: a lone code decodes like 63 zero bytes after it.
        if (data.size() == 1) {
            Bytes full = report(std::uint8_t(data[0]));
            ReplyDecoder d2;
            d2.decode(configReport(3, 1));
            const DecodeResult r2 = d2.decode(full);
            QCOMPARE(r.lines, r2.lines);
            QVERIFY(r.record == r2.record);
        }
        QCOMPARE(d.firmwareVersion().thousandths(), data == "@" ? 0 : 1003);
    }

    void byteToBits_data() {
        QTest::addColumn<int>("value");
        QTest::addColumn<QString>("bits");
        QTest::newRow("0") << 0 << "00000000";
        QTest::newRow("5") << 5 << "00000101";
        QTest::newRow("0x81") << 0x81 << "10000001";
        QTest::newRow("0xFF") << 0xFF << "11111111";
    }
    void byteToBits() {
        QFETCH(int, value);
        QFETCH(QString, bits);
        QCOMPARE(QString::fromStdString(ByteToBits(std::uint8_t(value))), bits);
    }

    void json() {
        ReplyDecoder d;
        const DecodeResult c = d.decode(configReport(3, 1));
        const std::string j = toJson(c);
        QVERIFY2(j.find("\"code\":64") != std::string::npos, j.c_str());
        QVERIFY2(j.find("\"lines\":[\"WR_T6\"]") != std::string::npos, j.c_str());
        QVERIFY2(j.find("\"followUp\":[117]") != std::string::npos, j.c_str());
        QVERIFY2(j.find("\"clear\":true") != std::string::npos, j.c_str());
        QVERIFY2(j.find("\"firmwareMajor\":1") != std::string::npos, j.c_str());
        QVERIFY2(j.find("\"firmwareVersion\":1.003") != std::string::npos, j.c_str());
        const std::string w = toJson(d.decode(webReport("a\"b\\c\x01 Version_MPFS=x;")));
        QVERIFY2(w.find("\"text\":\"a\\\"b\\\\c\\u0001 Version_MPFS=x;\"") != std::string::npos,
                 w.c_str());
        QVERIFY2(w.find("\"version\":null") != std::string::npos, w.c_str());
        QVERIFY2(w.find("\"pane\":\"UDPMemo\"") != std::string::npos, w.c_str());
        const std::string n = toJson(d.decode(report(0)));
        QVERIFY2(n.find("\"record\":null") != std::string::npos, n.c_str());
    }
};

QTEST_GUILESS_MAIN(TestReplyDecoder)
#include "test_reply_decoder.moc"
