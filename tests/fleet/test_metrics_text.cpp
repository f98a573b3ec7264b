// The metrics page: each cabinet's series with its values in their units, labels that a scraper
// reads back as they were, families in one piece, and a page that Prometheus's own checker takes.
#include "fleet/metrics_text.h"

#include <QProcess>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QTest>

#include <cmath>
#include <cstdint>
#include <limits>
#include <set>
#include <string>
#include <vector>

using hq::fleet::CabinetSnapshot;
using hq::fleet::metricsText;
using Cabinets = std::vector<CabinetSnapshot>;
Q_DECLARE_METATYPE(Cabinets)

namespace {

constexpr std::int64_t kNow = 1'765'000'000'000;

// An attached, answering cabinet with firmware 1.003: 45.3 and 100 % r.H., 21.5 and 19.8 °C,
// door closed, no error, its latest record 2.5 s old, 42 records so far.
CabinetSnapshot cabinet(std::string key = "12345678") {
    CabinetSnapshot c;
    c.key = key;
    c.usbSerial = "HQ" + key;
    c.firmware = hq::protocol::FirmwareVersion{1, 3};
    c.attached = true;
    c.answering = true;
    c.records = 42;
    hq::protocol::StatusRecord r;
    r.humidityTop = 453;
    r.humidityBottom = 1000;
    r.temperatureTop = 215;
    r.temperatureBottom = 198;
    c.last = r;
    c.lastUtcMs = kNow - 2500;
    return c;
}

template <class F> CabinetSnapshot changed(F change) {
    CabinetSnapshot c = cabinet();
    change(c);
    return c;
}

QStringList linesOf(const std::string& page) {
    return QString::fromStdString(page).split(QLatin1Char('\n'));
}

// The metric name of a sample line.
QString nameOf(const QString& sample) {
    return sample.left(sample.indexOf(QRegularExpression(QStringLiteral("[{ ]"))));
}

} // namespace

class TestMetricsText : public QObject {
    Q_OBJECT
private slots:
    void pageHasTheseLines_data();
    void pageHasTheseLines();
    void familiesAreGroupedAndCabinetsKeepTheirOrder();
    void pagePassesPromtool_data();
    void pagePassesPromtool();
};

void TestMetricsText::pageHasTheseLines_data() {
    QTest::addColumn<Cabinets>("cabinets");
    QTest::addColumn<QStringList>("present"); // whole lines
    QTest::addColumn<QStringList>("absent");  // text found nowhere on the page

    QTest::newRow("an answering cabinet")
        << Cabinets{cabinet()}
        << QStringList{R"(hq3746_up{serial="12345678"} 1)",
                       R"(hq3746_humidity_percent{serial="12345678",sensor="top"} 45.3)",
                       R"(hq3746_humidity_percent{serial="12345678",sensor="bottom"} 100)",
                       R"(hq3746_temperature_celsius{serial="12345678",sensor="top"} 21.5)",
                       R"(hq3746_temperature_celsius{serial="12345678",sensor="bottom"} 19.8)",
                       R"(hq3746_door_open{serial="12345678"} 0)",
                       R"(hq3746_error_number{serial="12345678"} 0)",
                       R"(hq3746_firmware_info{serial="12345678",version="1.003",usb_serial="HQ12345678"} 1)",
                       R"(hq3746_seconds_since_last_record{serial="12345678"} 2.5)",
                       R"(hq3746_records_total{serial="12345678"} 42)",
                       "# TYPE hq3746_records_total counter",
                       "# TYPE hq3746_humidity_percent gauge"}
        << QStringList{"hq3746_mqtt", "NaN", "Inf"};
    QTest::newRow("negative temperatures scale by tenths")
        << Cabinets{changed([](CabinetSnapshot& c) {
               c.last->temperatureTop = -5;
               c.last->temperatureBottom = -123;
           })}
        << QStringList{R"(hq3746_temperature_celsius{serial="12345678",sensor="top"} -0.5)",
                       R"(hq3746_temperature_celsius{serial="12345678",sensor="bottom"} -12.3)"}
        << QStringList{};
    QTest::newRow("door open and an error number")
        << Cabinets{changed([](CabinetSnapshot& c) {
               c.last->status = 0x03;
               c.last->fehler = 17;
           })}
        << QStringList{R"(hq3746_door_open{serial="12345678"} 1)",
                       R"(hq3746_error_number{serial="12345678"} 17)"}
        << QStringList{};
    QTest::newRow("the door is bit 0 of the status only")
        << Cabinets{changed([](CabinetSnapshot& c) { c.last->status = 0xFE; })}
        << QStringList{R"(hq3746_door_open{serial="12345678"} 0)"} << QStringList{};
    QTest::newRow("cabinet without a record has no values")
        << Cabinets{changed([](CabinetSnapshot& c) {
               c.last.reset();
               c.answering = false;
               c.records = 0;
           })}
        << QStringList{R"(hq3746_up{serial="12345678"} 0)",
                       R"(hq3746_records_total{serial="12345678"} 0)",
                       R"(hq3746_firmware_info{serial="12345678",version="1.003",usb_serial="HQ12345678"} 1)"}
        << QStringList{"hq3746_humidity", "hq3746_temperature", "hq3746_door", "hq3746_error",
                       "hq3746_seconds"};
    QTest::newRow("attached but not answering is down")
        << Cabinets{changed([](CabinetSnapshot& c) { c.answering = false; })}
        << QStringList{R"(hq3746_up{serial="12345678"} 0)"} << QStringList{};
    QTest::newRow("a record stamped after now is 0 s old")
        << Cabinets{changed([](CabinetSnapshot& c) { c.lastUtcMs = kNow + 5000; })}
        << QStringList{R"(hq3746_seconds_since_last_record{serial="12345678"} 0)"}
        << QStringList{"} -"};
    QTest::newRow("label values are escaped")
        << Cabinets{changed([](CabinetSnapshot& c) {
               c.key = "a\"b\\c\nd";
               c.usbSerial = "x\"\\";
           })}
        << QStringList{R"(hq3746_up{serial="a\"b\\c\nd"} 1)",
                       R"(hq3746_firmware_info{serial="a\"b\\c\nd",version="1.003",usb_serial="x\"\\"} 1)"}
        << QStringList{};
    QTest::newRow("bytes that are not UTF-8 become U+FFFD")
        << Cabinets{changed([](CabinetSnapshot& c) {
               c.key = "\xFF"
                       "1\xC3\xA4"
                       "2\xC0\xAF"
                       "3\xED\xA0\x80"
                       "4\xE2\x82";
           })}
        << QStringList{QString::fromUtf8(
               "hq3746_up{serial=\"\uFFFD1\u00E42\uFFFD\uFFFD3\uFFFD\uFFFD"
               "\uFFFD4\uFFFD\uFFFD\"} 1")}
        << QStringList{};
    QTest::newRow("the broker's part when publishing")
        << Cabinets{changed([](CabinetSnapshot& c) {
               c.broker = CabinetSnapshot::Broker{true, 17};
           })}
        << QStringList{R"(hq3746_mqtt_connected{serial="12345678"} 1)",
                       R"(hq3746_mqtt_backlog_records{serial="12345678"} 17)",
                       "# TYPE hq3746_mqtt_backlog_records gauge"}
        << QStringList{};
    QTest::newRow("the broker unreachable")
        << Cabinets{changed([](CabinetSnapshot& c) {
               c.broker = CabinetSnapshot::Broker{false, 0};
           })}
        << QStringList{R"(hq3746_mqtt_connected{serial="12345678"} 0)",
                       R"(hq3746_mqtt_backlog_records{serial="12345678"} 0)"}
        << QStringList{};
    QTest::newRow("other firmware versions")
        << Cabinets{changed([](CabinetSnapshot& c) {
                        c.firmware = {2, 10};
                    }),
                    changed([](CabinetSnapshot& c) {
                        c.key = std::string("2");
                        c.usbSerial.clear();
                        c.firmware = {1, 0};
                    }),
                    changed([](CabinetSnapshot& c) {
                        c.key = std::string("3");
                        c.firmware = {1, 118};
                    })}
        << QStringList{R"(hq3746_firmware_info{serial="12345678",version="2.01",usb_serial="HQ12345678"} 1)",
                       R"(hq3746_firmware_info{serial="2",version="1",usb_serial=""} 1)",
                       R"(hq3746_firmware_info{serial="3",version="1.118",usb_serial="HQ12345678"} 1)"}
        << QStringList{};
    QTest::newRow("no firmware known, no info")
        << Cabinets{changed([](CabinetSnapshot& c) { c.firmware.reset(); })}
        << QStringList{R"(hq3746_up{serial="12345678"} 1)"} << QStringList{"firmware"};
    QTest::newRow("large counts are written exactly")
        << Cabinets{changed([](CabinetSnapshot& c) {
               c.records = 9'007'199'254'740'993; // 2^53 + 1, not a double
               c.broker = CabinetSnapshot::Broker{true, 18'446'744'073'709'551'615u};
           })}
        << QStringList{R"(hq3746_records_total{serial="12345678"} 9007199254740993)",
                       R"(hq3746_mqtt_backlog_records{serial="12345678"} 18446744073709551615)"}
        << QStringList{};
    QTest::newRow("a later cabinet with the same key is left out")
        << Cabinets{cabinet(), changed([](CabinetSnapshot& c) { c.last->humidityTop = 111; })}
        << QStringList{R"(hq3746_humidity_percent{serial="12345678",sensor="top"} 45.3)"}
        << QStringList{"11.1"};
}

void TestMetricsText::pageHasTheseLines() {
    QFETCH(Cabinets, cabinets);
    QFETCH(QStringList, present);
    QFETCH(QStringList, absent);
    const std::string page = metricsText(cabinets, kNow);
    const QStringList lines = linesOf(page);
    for (const QString& line : present)
        QVERIFY2(lines.contains(line), qPrintable(line + QStringLiteral(" missing from:\n") +
                                                  QString::fromStdString(page)));
    for (const QString& text : absent)
        QVERIFY2(!QString::fromStdString(page).contains(text),
                 qPrintable(text + QStringLiteral(" found in:\n") + QString::fromStdString(page)));
}

void TestMetricsText::familiesAreGroupedAndCabinetsKeepTheirOrder() {
    CabinetSnapshot b = cabinet("b");
    b.broker = CabinetSnapshot::Broker{true, 3};
    CabinetSnapshot a = cabinet("a");
    a.lastUtcMs = std::numeric_limits<std::int64_t>::min(); // as old as a time stamp can be
    CabinetSnapshot c = cabinet("c");
    c.last.reset();
    c.broker = CabinetSnapshot::Broker{false, 0};
    const std::string page = metricsText({b, a, c}, std::numeric_limits<std::int64_t>::max());
    QVERIFY(page.ends_with('\n'));

    QStringList lines = linesOf(page);
    lines.removeLast(); // after the last line end
    std::set<QString> seen;
    QString family;
    QStringList serialsOfFamily;
    const auto familyEnds = [&] {
        // Every family has samples, the cabinets in the order given (c has no record).
        QVERIFY2(!serialsOfFamily.isEmpty(), qPrintable(family));
        QStringList expected;
        for (const QString& s : {QStringLiteral("b"), QStringLiteral("a"), QStringLiteral("c")})
            if (serialsOfFamily.contains(s))
                expected << s;
        QStringList order = serialsOfFamily;
        order.removeDuplicates();
        QCOMPARE(order, expected);
    };
    for (qsizetype i = 0; i < lines.size(); ++i) {
        const QString& line = lines[i];
        if (line.startsWith(QLatin1String("# HELP "))) {
            if (!family.isEmpty())
                familyEnds();
            if (QTest::currentTestFailed())
                return;
            family = line.section(QLatin1Char(' '), 2, 2);
            QVERIFY2(seen.insert(family).second, qPrintable(family + " twice"));
            QVERIFY(i + 1 < lines.size());
            QVERIFY(lines[i + 1].startsWith(QStringLiteral("# TYPE ") + family + ' '));
            ++i;
            serialsOfFamily.clear();
            continue;
        }
        QCOMPARE(nameOf(line), family);
        const QRegularExpressionMatch m =
            QRegularExpression(QStringLiteral(R"re(^\w+\{serial="(\w)".*\} (\S+)$)re")).match(line);
        QVERIFY2(m.hasMatch(), qPrintable(line));
        serialsOfFamily << m.captured(1);
        bool ok = false;
        const double value = m.captured(2).toDouble(&ok);
        QVERIFY2(ok && std::isfinite(value), qPrintable(line));
        if (family == QLatin1String("hq3746_seconds_since_last_record") && m.captured(1) == "a")
            QVERIFY2(value > 1.8e16, qPrintable(line)); // 2^64 ms, not an overflowed difference
    }
    familyEnds();
    QCOMPARE(seen.size(), std::size_t(10));
}

void TestMetricsText::pagePassesPromtool_data() {
    QTest::addColumn<Cabinets>("cabinets");
    CabinetSnapshot publishing = cabinet("87654321");
    publishing.broker = CabinetSnapshot::Broker{true, 5};
    publishing.last->temperatureBottom = -40;
    publishing.last->status = 1;
    CabinetSnapshot hostile = cabinet(std::string("\"}\\\n\r\t\0 \xFF\xC3", 10));
    hostile.usbSerial = "} 1\n# TYPE x gauge\nx 1";
    CabinetSnapshot silent = cabinet("unknown");
    silent.last.reset();
    silent.firmware.reset();
    silent.attached = false;
    QTest::newRow("two cabinets, one publishing") << Cabinets{cabinet(), publishing};
    QTest::newRow("labels made to break the format") << Cabinets{hostile, cabinet()};
    QTest::newRow("a cabinet never heard from") << Cabinets{silent};
    QTest::newRow("no cabinets") << Cabinets{};
}

void TestMetricsText::pagePassesPromtool() {
    QFETCH(Cabinets, cabinets);
#ifdef Q_OS_WIN
    QSKIP("promtool checks the page in the Linux build (the same text code)");
#endif
    QString promtool = QStandardPaths::findExecutable(QStringLiteral("promtool"));
    if (promtool.isEmpty())
        promtool = QStandardPaths::findExecutable(QStringLiteral("promtool"), {"/usr/bin"});
    if (promtool.isEmpty()) {
        if (qEnvironmentVariable("CI") == QLatin1String("true"))
            QFAIL("promtool not found (scripts/deps.sh test installs the prometheus package)");
        QSKIP("promtool not found (install the prometheus package to run this check)");
    }
    const std::string page = metricsText(cabinets, kNow);
    QProcess p;
    p.start(promtool, {QStringLiteral("check"), QStringLiteral("metrics")});
    QVERIFY(p.waitForStarted());
    p.write(page.data(), qint64(page.size()));
    p.closeWriteChannel();
    QVERIFY(p.waitForFinished(30000));
    QVERIFY2(p.exitStatus() == QProcess::NormalExit && p.exitCode() == 0,
             qPrintable(QString::fromUtf8(p.readAllStandardOutput() + p.readAllStandardError()) +
                        QStringLiteral("\non the page:\n") + QString::fromStdString(page)));
}

QTEST_GUILESS_MAIN(TestMetricsText)
#include "test_metrics_text.moc"
