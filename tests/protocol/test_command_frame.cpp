#include <QTest>

#include "protocol/command_frame.h"
#include "protocol/output_report.h"

using namespace hq::protocol;

namespace {
QByteArray toQ(std::span<const std::uint8_t> b) {
    return QByteArray(reinterpret_cast<const char*>(b.data()), static_cast<qsizetype>(b.size()));
}
QByteArray hex(const char* h) {
    return QByteArray::fromHex(h);
}
} // namespace

class TestCommandFrame : public QObject {
    Q_OBJECT
private slots:
    void oneByteFrames_data() {
        QTest::addColumn<int>("which");
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("status v") << 0 << hex("76");
        QTest::newRow("config @") << 1 << hex("40");
        QTest::newRow("web image u") << 2 << hex("75");
        QTest::newRow("clock read 3") << 3 << hex("33");
        QTest::newRow("disp ldr w") << 4 << hex("77");
        QTest::newRow("wdt test") << 5 << hex("FD");
        QTest::newRow("bootloader") << 6 << hex("FE");
        QTest::newRow("reset") << 7 << hex("FF");
    }
    void oneByteFrames() {
        QFETCH(int, which);
        QFETCH(QByteArray, bytes);
        const CommandFrame frames[] = {
            statusRequest(),  configRequest(),  webImageVersionRequest(), clockReadRequest(),
            dispLdrCommand(), wdtTestCommand(), bootloaderEntryCommand(), controllerResetCommand()};
        QCOMPARE(toQ(frames[which].bytes()), bytes);
    }

    void settingsWrite_data() {
        QTest::addColumn<int>("doorMinutes");
        QTest::addColumn<int>("restartMinutes");
        QTest::addColumn<bool>("returnAir");
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("5 min, 0 min, off")
            << 5 << 0 << false << hex("4132321E2C010000000000000002");
        QTest::newRow("60 min door alarm")
            << 60 << 60 << true << hex("4132321E100E100E000000000001");
        QTest::newRow("negative clamps to 0")
            << -3 << 1 << true << hex("4132321E00003C00000000000001");
        QTest::newRow("too large clamps to 16 bit")
            << 5000 << 0 << false << hex("4132321EF0FF0000000000000002");
    }
    void settingsWrite() {
        QFETCH(int, doorMinutes);
        QFETCH(int, restartMinutes);
        QFETCH(bool, returnAir);
        QFETCH(QByteArray, bytes);
        QCOMPARE(toQ(settingsWriteFrame(doorMinutes, restartMinutes, returnAir).bytes()), bytes);
    }

    void clockSet_data() {
        QTest::addColumn<int>("year");
        QTest::addColumn<int>("month");
        QTest::addColumn<int>("day");
        QTest::addColumn<int>("hour");
        QTest::addColumn<int>("minute");
        QTest::addColumn<int>("second");
        QTest::addColumn<int>("weekday");
        QTest::addColumn<QByteArray>("bytes"); // empty: refused
        QTest::newRow("Wednesday 2024-03-06 09:05:07")
            << 2024 << 3 << 6 << 9 << 5 << 7 << 3 << hex("322001070509060303240101010101010100");
        QTest::newRow("Sunday 2000-01-02 00:00:00")
            << 2000 << 1 << 2 << 0 << 0 << 0 << 0 << hex("322001000000020001000101010101010100");
        QTest::newRow("Saturday 2099-12-31 23:59:59")
            << 2099 << 12 << 31 << 23 << 59 << 59 << 6
            << hex("322001595923310612990101010101010100");
        QTest::newRow("year 1999 refused")
            << 1999 << 12 << 31 << 23 << 59 << 59 << 5 << QByteArray();
        QTest::newRow("year 2100 refused") << 2100 << 1 << 1 << 0 << 0 << 0 << 5 << QByteArray();
        QTest::newRow("month 13 refused") << 2024 << 13 << 1 << 0 << 0 << 0 << 1 << QByteArray();
        QTest::newRow("weekday 7 refused") << 2024 << 1 << 1 << 0 << 0 << 0 << 7 << QByteArray();
    }
    void clockSet() {
        QFETCH(int, year);
        QFETCH(int, month);
        QFETCH(int, day);
        QFETCH(int, hour);
        QFETCH(int, minute);
        QFETCH(int, second);
        QFETCH(int, weekday);
        QFETCH(QByteArray, bytes);
        const auto f = clockSetFrame({year, month, day, hour, minute, second, weekday});
        if (bytes.isEmpty()) {
            QVERIFY(!f.has_value());
        } else {
            QVERIFY(f.has_value());
            QCOMPARE(toQ(f->bytes()), bytes);
        }
    }

    // Date and time come from one conversion of one instant: at the stroke of midnight the
    // date and the time of day belong to the same day.
    void localDateTimeIsOneSnapshot() {
        qputenv("TZ", "UTC");
        tzset();
        // 2024-03-06 23:59:59 UTC, then one second later
        const auto t = std::chrono::system_clock::time_point(std::chrono::seconds(1709769599));
        const LocalDateTime a = localDateTimeAt(t);
        QCOMPARE(a.year, 2024);
        QCOMPARE(a.month, 3);
        QCOMPARE(a.day, 6);
        QCOMPARE(a.hour, 23);
        QCOMPARE(a.minute, 59);
        QCOMPARE(a.second, 59);
        QCOMPARE(a.weekday, 3);
        const LocalDateTime b = localDateTimeAt(t + std::chrono::seconds(1));
        QCOMPARE(b.day, 7);
        QCOMPARE(b.hour, 0);
        QCOMPARE(b.weekday, 4);
    }

    void serialNumber_data() {
        QTest::addColumn<int>("serial");
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("12345678") << 12345678 << hex("784E61BC00");
        QTest::newRow("-1") << -1 << hex("78FFFFFFFF");
        QTest::newRow("0 keeps its zero bytes") << 0 << hex("7800000000");
        QTest::newRow("min") << std::numeric_limits<int>::min() << hex("7800000080");
    }
    void serialNumber() {
        QFETCH(int, serial);
        QFETCH(QByteArray, bytes);
        QCOMPARE(toQ(serialNumberWriteFrame(serial).bytes()), bytes);
    }

    void toBcd_data() {
        QTest::addColumn<int>("value");
        QTest::addColumn<int>("bcd");
        QTest::newRow("0") << 0 << 0x00;
        QTest::newRow("7") << 7 << 0x07;
        QTest::newRow("10") << 10 << 0x10;
        QTest::newRow("59") << 59 << 0x59;
        QTest::newRow("99") << 99 << 0x99;
    }
    void toBcd() {
        QFETCH(int, value);
        QFETCH(int, bcd);
        QCOMPARE(ToBcd(value), bcd);
    }

    void frameFromBytes() {
        const std::uint8_t tooLong[19] = {};
        QVERIFY(!CommandFrame::fromBytes({}).has_value());
        QVERIFY(!CommandFrame::fromBytes(tooLong).has_value());
        const auto f = CommandFrame::fromBytes(std::span(tooLong, 18));
        QVERIFY(f.has_value());
        QCOMPARE(f->size(), std::size_t(18));
    }

    void outputReport_data() {
        QTest::addColumn<QByteArray>("frame");
        QTest::addColumn<int>("length");
        QTest::addColumn<int>("error");
        QTest::addColumn<QByteArray>("report");
        QTest::newRow("v into 65")
            << hex("76") << 65 << int(FramingError::None) << (hex("0076") + QByteArray(63, '\0'));
        QTest::newRow("settings with inner zeros into 65")
            << hex("4132321E2C010000000000000002") << 65 << int(FramingError::None)
            << (hex("004132321E2C01000000000000000200") + QByteArray(49, '\0'));
        QTest::newRow("18-byte frame in exactly 20")
            << hex("322001070509060303240101010101010100") << 20 << int(FramingError::None)
            << hex("0032200107050906030324010101010101010000");
        QTest::newRow("18-byte frame in 19: no room for the zero")
            << hex("322001070509060303240101010101010100") << 19
            << int(FramingError::FrameDoesNotFit) << QByteArray();
        QTest::newRow("length 0") << hex("76") << 0 << int(FramingError::FrameDoesNotFit)
                                  << QByteArray();
        QTest::newRow("length 1") << hex("76") << 1 << int(FramingError::FrameDoesNotFit)
                                  << QByteArray();
        QTest::newRow("66 refused")
            << hex("76") << 66 << int(FramingError::ReportTooLong) << QByteArray();
        QTest::newRow("1024 refused")
            << hex("76") << 1024 << int(FramingError::ReportTooLong) << QByteArray();
    }
    void outputReport() {
        QFETCH(QByteArray, frame);
        QFETCH(int, length);
        QFETCH(int, error);
        QFETCH(QByteArray, report);
        const auto f = CommandFrame::fromBytes(
            std::span(reinterpret_cast<const std::uint8_t*>(frame.constData()),
                      static_cast<std::size_t>(frame.size())));
        QVERIFY(f.has_value());
        const FramedReport r = frameOutputReport(*f, static_cast<std::size_t>(length));
        QCOMPARE(int(r.error), error);
        QCOMPARE(r.ok(), error == int(FramingError::None));
        QCOMPARE(toQ(r.bytes), report);
        QVERIFY(!describe(r.error).empty());
    }
};

QTEST_GUILESS_MAIN(TestCommandFrame)
#include "test_command_frame.moc"
