// The CSV rows of the chart export, built with UBSan (any undefined behaviour ends the test): a
// chart file may hold any 64-bit time stamp, and whatever the local offset, turning records into
// rows never overflows. Records outside the years 1 to 9999 are left out and counted.
#include "service/csv_row.h"

#include <QTest>

#include <cstdint>
#include <limits>
#include <string>

using namespace hq::service;

namespace {
constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
constexpr std::int64_t kFirst = -62'135'596'800'000; // 0001-01-01T00:00:00.000Z
constexpr std::int64_t kLast = 253'402'300'799'999;  // 9999-12-31T23:59:59.999Z
} // namespace

Q_DECLARE_METATYPE(std::int64_t)

class TestCsvRowsUbsan : public QObject {
    Q_OBJECT
private slots:
    void writable_data() {
        QTest::addColumn<std::int64_t>("utcMs");
        QTest::addColumn<int>("offset");
        QTest::addColumn<bool>("writable");
        QTest::addColumn<QString>("time"); // the row's time column when written
        QTest::newRow("first instant, UTC")
            << kFirst << 0 << true << "0001-01-01T00:00:00.000+00:00";
        QTest::newRow("last instant, UTC") << kLast << 0 << true << "9999-12-31T23:59:59.999+00:00";
        QTest::newRow("last instant, local year 10000") << kLast << 3600 << false << "";
        QTest::newRow("first instant, local year 0") << kFirst << -60 << false << "";
        QTest::newRow("first instant seen from the east")
            << kFirst - 3'600'000 << 3600 << true << "0001-01-01T00:00:00.000+01:00";
        QTest::newRow("one before the first") << kFirst - 1 << 0 << false << "";
        QTest::newRow("one after the last") << kLast + 1 << 0 << false << "";
        QTest::newRow("smallest 64-bit") << kMin << -50400 << false << "";
        QTest::newRow("largest 64-bit") << kMax << 50400 << false << "";
        QTest::newRow("largest 64-bit, offset out of range")
            << kMax << 1'000'000'000 << false << "";
        QTest::newRow("epoch") << std::int64_t(0) << 0 << true << "1970-01-01T00:00:00.000+00:00";
        QTest::newRow("before the epoch")
            << std::int64_t(-1) << 0 << true << "1969-12-31T23:59:59.999+00:00";
    }
    void writable() {
        QFETCH(std::int64_t, utcMs);
        QFETCH(int, offset);
        QFETCH(bool, writable);
        QFETCH(QString, time);
        QCOMPARE(csvTimeWritable(utcMs, offset), writable);
        CsvRecordWriter writer(5000);
        std::string out;
        writer.add(
            utcMs, RawSample{}, [offset](std::int64_t) { return offset; }, out);
        QCOMPARE(writer.skipped(), std::size_t(writable ? 0 : 1));
        QCOMPARE(QString::fromStdString(out).section(u',', 0, 0), time);
    }

    void rowsAndGapsOverTheWholeRange() {
        // Ascending time stamps across the whole 64-bit range with offsets of both signs: the
        // writer never computes a distance between instants it cannot write.
        const std::int64_t times[] = {kMin, kMin + 1, -kLast,    kFirst - 1, kFirst,   0,   1000,
                                      7000, kLast,    kLast + 1, kMax / 2,   kMax - 1, kMax};
        for (const int offset : {-50400, 0, 50400}) {
            CsvRecordWriter writer(5000);
            std::string out;
            for (std::int64_t t : times)
                writer.add(
                    t, RawSample{}, [offset](std::int64_t) { return offset; }, out);
            int rows = 0, gaps = 0;
            for (const QString& line : QString::fromStdString(out).split(u'\n', Qt::SkipEmptyParts))
                line.startsWith(u'#') ? ++gaps : ++rows;
            QCOMPARE(std::size_t(rows) + writer.skipped(), std::size(times));
            QVERIFY(rows >= 4);
            QVERIFY(gaps >= 2);
        }
    }
};

QTEST_GUILESS_MAIN(TestCsvRowsUbsan)
#include "test_csv_rows_ubsan.moc"
