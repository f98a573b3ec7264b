// The record tables against report bytes written out by hand from the controller's layout: what
// the encoder lays out, where fields sit, and the names and units that files and tools use.
#include "protocol/record_table.h"

#include <QTest>

#include <bitset>
#include <initializer_list>
#include <utility>

using namespace hq::protocol;

namespace {

ReplyReport report(std::initializer_list<std::pair<int, int>> bytes) {
    ReplyReport r{};
    for (const auto& [i, v] : bytes)
        r[std::size_t(i)] = static_cast<std::uint8_t>(v);
    return r;
}

// A status report as firmware 1.003 sends it (okTimer in bytes 18-19, nothing at byte 5).
const ReplyReport kStatus =
    report({{0, 0x76},  {1, 0x81},  {2, 0x07},  {3, 0x34},  {4, 0x12},  {6, 0x0B},  {7, 0x05},
            {8, 0x32},  {10, 0x66}, {11, 0x08}, {12, 0xC7}, {13, 0x01}, {14, 0x01}, {15, 0x02},
            {16, 0x03}, {18, 0x2A}, {20, 0xE6}, {22, 0xE1}, {24, 0x01}, {25, 0x03}, {26, 0x80},
            {27, 0x04}, {28, 0x0A}, {29, 0xC5}, {30, 0x01}, {31, 0xD7}, {33, 0x0B}, {34, 0x83},
            {35, 0x01}, {36, 0x9C}, {37, 0xFF}, {38, 0xC0}, {39, 0xA8}, {40, 0x01}, {41, 0x32},
            {42, 0xFF}, {43, 0xFF}, {44, 0xFF}, {46, 0xD2}, {47, 0x04}});

const ReplyReport kConfig = report(
    {{0, 0x40},  {1, 50},    {2, 50},    {3, 30},    {4, 0x2C},  {5, 0x01},  {6, 0x58}, {7, 0x02},
     {8, 0x45},  {10, 0x10}, {11, 0x0E}, {13, 0x4E}, {14, 0x61}, {15, 0xBC}, {17, 3},   {18, 1},
     {22, 0x04}, {23, 0xA3}, {24, 0x01}, {25, 0x02}, {26, 0x03}, {28, 1}});

template <class R> std::int64_t number(const R& r, std::string_view name) {
    const auto* f = findField<R>(name);
    return f ? std::get<std::int64_t>(fieldValue(*f, r)) : -999999;
}

QByteArray hex(const ReplyReport& r) {
    return QByteArray(reinterpret_cast<const char*>(r.data()), int(r.size())).toHex(' ');
}

// Bytes each field of a table owns; shared bytes must be declared.
template <class R> std::vector<std::string> overlaps() {
    std::vector<std::string> found;
    std::array<std::string_view, kReplyReportLength> owner{};
    for (const auto& f : fieldsOf<R>()) {
        if (f.layout == Layout::Derived || f.layout == Layout::Bit)
            continue; // no bytes / one bit of a byte another field reads
        for (int k = 0; k < f.width; ++k) {
            const std::size_t at = std::size_t(f.offset) + std::size_t(k);
            if (at >= owner.size()) {
                found.push_back(std::string(f.name) + " beyond the report");
                continue;
            }
            if (!owner[at].empty())
                found.push_back(std::string(owner[at]) + "/" + std::string(f.name));
            owner[at] = f.name;
        }
    }
    return found;
}

} // namespace

class TestRecordTable : public QObject {
    Q_OBJECT

private slots:
    void statusFieldsFromHandWrittenBytes() {
        const auto s = decodeFields<StatusRecord>(kStatus, FirmwareVersion{1, 3});
        QCOMPARE(number(s, "aktoren"), 0x81);
        QCOMPARE(number(s, "fehler"), 7);
        QCOMPARE(number(s, "l1Ups"), 0x1234);
        QCOMPARE(number(s, "okTimer"), 42);
        QCOMPARE(number(s, "t3"), 2150);
        QCOMPARE(number(s, "l1"), 455);
        QCOMPARE(number(s, "humidityTop"), 453);
        QCOMPARE(number(s, "temperatureTop"), 215);
        QCOMPARE(number(s, "temperatureBottom"), -100);
        QCOMPARE(number(s, "intTimer"), 1234);
        QCOMPARE(std::get<std::string>(fieldValue(*findField<StatusRecord>("cabinetAddress"), s)),
                 std::string("192.168.1.50"));
        QCOMPARE(*scaledValue(*findField<StatusRecord>("humidityTop"), s), 45.3);
        QCOMPARE(*scaledValue(*findField<StatusRecord>("t3"), s), 21.5);
        // Before 1.003 okTimer is byte 5 alone.
        auto older = kStatus;
        older[5] = 9;
        QCOMPARE(number(decodeFields<StatusRecord>(older, FirmwareVersion{1, 2}), "okTimer"), 9);
    }

    void encoderLaysOutTheHandWrittenBytes_data() {
        QTest::addColumn<QByteArray>("encoded");
        QTest::addColumn<QByteArray>("expected");
        const auto s = decodeFields<StatusRecord>(kStatus, FirmwareVersion{1, 3});
        QTest::newRow("status, firmware 1.003")
            << hex(encodeFields(s, 0x76, FirmwareVersion{1, 3})) << hex(kStatus);
        auto older = kStatus;
        older[5] = 42; // the older layout sends okTimer in byte 5 and t1_2 in bytes 18-19
        QTest::newRow("status, firmware 1.002")
            << hex(encodeFields(s, 0x76, FirmwareVersion{1, 2})) << hex(older);
        QTest::newRow("configuration (the flag shares byte 8)")
            << hex(encodeFields(decodeFields<ConfigRecord>(kConfig), 0x40)) << hex(kConfig);
        const auto clock =
            report({{0, 0x33}, {1, 1}, {2, 9}, {3, 5}, {4, 7}, {5, 6}, {6, 3}, {7, 24}});
        QTest::newRow("clock") << hex(encodeFields(decodeFields<ClockRecord>(clock), 0x33))
                               << hex(clock);
        const auto scan = report({{0, 0x3A}, {1, 2}, {2, 0xA0}, {3, 0xD0}});
        QTest::newRow("I2C scan") << hex(encodeFields(decodeFields<I2cScanRecord>(scan), 0x3A))
                                  << hex(scan);
        WebImageVersion w;
        w.text = "Version_MPFS=1.003;";
        auto web = report({{0, 0x75}});
        for (std::size_t i = 0; i < w.text.size(); ++i)
            web[1 + i] = static_cast<std::uint8_t>(w.text[i]);
        QTest::newRow("web image version") << hex(encodeFields(w, 0x75)) << hex(web);
    }
    void encoderLaysOutTheHandWrittenBytes() {
        QFETCH(QByteArray, encoded);
        QFETCH(QByteArray, expected);
        QCOMPARE(encoded, expected);
    }

    void configFlagAndSerial() {
        const auto c = decodeFields<ConfigRecord>(kConfig);
        QCOMPARE(number(c, "extraTime1"), 0x45);
        QVERIFY(std::get<bool>(fieldValue(*findField<ConfigRecord>("showReturnAir"), c)));
        QCOMPARE(number(c, "serialNumber"), 12345678);
        QCOMPARE(std::get<std::string>(fieldValue(*findField<ConfigRecord>("macAddress"), c)),
                 std::string("00:04:A3:01:02:03"));
    }

    // Only the bytes the layout shares are read by two fields: okTimer's newer place (t1_2)
    // and the flag in extraTime1's byte.
    void fieldsDoNotOverlap() {
        QCOMPARE(overlaps<StatusRecord>(), std::vector<std::string>{});
        QCOMPARE(overlaps<ConfigRecord>(), std::vector<std::string>{});
        QCOMPARE(overlaps<ClockRecord>(), std::vector<std::string>{});
        QCOMPARE(overlaps<I2cScanRecord>(), std::vector<std::string>{});
        QCOMPARE(overlaps<WebImageVersion>(), std::vector<std::string>{});
        const auto* ok = findField<StatusRecord>("okTimer");
        const auto* t12 = findField<StatusRecord>("t1_2");
        QCOMPARE(ok->wideOffset, t12->offset);
    }

    // The names files, JSON and later tools rely on.
    void namesAndUnits_data() {
        QTest::addColumn<QString>("field");
        QTest::addColumn<QString>("column");
        QTest::addColumn<QString>("symbol");
        QTest::newRow("humidity") << "humidityTop"
                                  << "humidityTop_pct"
                                  << "% r.H.";
        QTest::newRow("temperature") << "temperatureBottom"
                                     << "temperatureBottom_degC"
                                     << QString::fromUtf8("\xC2\xB0"
                                                          "C");
        QTest::newRow("motor") << "l1"
                               << "l1_pct"
                               << "%";
        QTest::newRow("plain number") << "netzf"
                                      << "netzf"
                                      << "";
        QTest::newRow("hundredths without a unit") << "t3"
                                                   << "t3"
                                                   << "";
    }
    void namesAndUnits() {
        QFETCH(QString, field);
        QFETCH(QString, column);
        QFETCH(QString, symbol);
        const auto* f = findField<StatusRecord>(field.toStdString());
        QVERIFY(f);
        QCOMPARE(QString::fromStdString(columnName(f->name, f->unit)), column);
        QCOMPARE(QString::fromUtf8(f->unit.symbol.data(), qsizetype(f->unit.symbol.size())),
                 symbol);
    }
};

QTEST_APPLESS_MAIN(TestRecordTable)
#include "test_record_table.moc"
