// hq3746ctl history list, export and check over a stored history written by the archive's own
// writer: the list names the folder and counts, exports hold exactly the records of the range,
// check finds a flipped bit, a torn end and a summary that does not describe its records.
#include "../history/history_test_support.h"
#include "cli/cli.h"
#include "cli_test_support.h"
#include "history/archive_location.h"
#include "history/history_export.h"
#include "service/chart_file.h"
#include "service/csv_row.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <span>

using namespace hq;
using namespace hq::cli::test;

class TestCliHistory : public QObject {
    Q_OBJECT
private slots:
    void init();
    void listNamesFolderCabinetsAndCounts();
    void exportWritesTheRecordsOfTheRange_data();
    void exportWritesTheRecordsOfTheRange();
    void exportNeedsSerialAndOneFile_data();
    void exportNeedsSerialAndOneFile();
    void checkFindsAFlippedBit();
    void checkFindsATornSegmentEnd_data();
    void checkFindsATornSegmentEnd();
    void checkFindsASummaryThatDisagreesWithItsRecords();

private:
    std::unique_ptr<QTemporaryDir> root_;
    QString cabinet_;
};

void TestCliHistory::init() {
    root_ = std::make_unique<QTemporaryDir>();
    qputenv("HQ3746_HISTORY_DIR", root_->path().toLocal8Bit());
    cabinet_ = history::cabinetDirectory(root_->path(), "12345678");
    hq::testing::WriteRows(cabinet_, 0, 300);
}

void TestCliHistory::listNamesFolderCabinetsAndCounts() {
    const Outcome o = runCli({"history", "list"}, offlineEnvironment());
    QCOMPARE(o.code, 0);
    const QStringList lines = o.out.split('\n', Qt::SkipEmptyParts);
    QCOMPARE(lines.size(), 2);
    QCOMPARE(lines[0], "History folder: " + QDir::toNativeSeparators(root_->path()));
    const QStringList f = lines[1].split('\t');
    QCOMPARE(f[0], QStringLiteral("12345678"));
    QCOMPARE(QDateTime::fromString(f[1], Qt::ISODateWithMs).toMSecsSinceEpoch(),
             hq::testing::IndexedRow(0).timeMs);
    QCOMPARE(QDateTime::fromString(f[2], Qt::ISODateWithMs).toMSecsSinceEpoch(),
             hq::testing::IndexedRow(299).timeMs);
    QCOMPARE(f[3], QStringLiteral("300 records"));
    auto reader = history::ArchiveReader::open(cabinet_);
    QCOMPARE(f[4], QStringLiteral("%1 bytes").arg(reader->bytesOnDisk()));
}

void TestCliHistory::exportWritesTheRecordsOfTheRange_data() {
    QTest::addColumn<int>("from"); // record index, -1: no --from
    QTest::addColumn<int>("to");
    QTest::addColumn<bool>("chart");
    QTest::newRow("all as CSV") << -1 << -1 << false;
    QTest::newRow("all as chart") << -1 << -1 << true;
    QTest::newRow("a stretch as CSV") << 100 << 199 << false;
    QTest::newRow("a stretch as chart") << 100 << 199 << true;
}

void TestCliHistory::exportWritesTheRecordsOfTheRange() {
    QFETCH(int, from);
    QFETCH(int, to);
    QFETCH(bool, chart);
    const QString file = root_->filePath(chart ? "out.hqchart" : "out.csv");
    QStringList args{"history", "export", "--serial", "12345678", chart ? "--chart" : "--csv",
                     file};
    auto iso = [](int i) {
        return QDateTime::fromMSecsSinceEpoch(hq::testing::IndexedRow(std::uint64_t(i)).timeMs,
                                              Qt::UTC)
            .toString(Qt::ISODateWithMs);
    };
    if (from >= 0)
        args << "--from" << iso(from) << "--to" << iso(to);
    const Outcome o = runCli(args, offlineEnvironment());
    QVERIFY2(o.code == 0, qPrintable(o.err));
    const int first = from >= 0 ? from : 0, last = to >= 0 ? to : 299;
    if (chart) {
        const service::LoadedChart loaded = service::loadChartFile(file);
        QVERIFY2(loaded.ok(), qPrintable(loaded.error));
        QCOMPARE(loaded.store->size(), std::size_t(last - first + 1));
        for (int i = first; i <= last; ++i) {
            const auto row = hq::testing::IndexedRow(std::uint64_t(i));
            QCOMPARE(loaded.store->timeAt(std::size_t(i - first)), row.timeMs);
            QCOMPARE(loaded.store->sampleAt(std::size_t(i - first)), history::sampleOfRow(row));
        }
    } else {
        QFile f(file);
        QVERIFY(f.open(QIODevice::ReadOnly));
        const QList<QByteArray> lines = f.readAll().split('\n');
        QCOMPARE(lines.size(), last - first + 1 + 2); // header, rows, empty after the last LF
        QCOMPARE(lines[0].toStdString(), service::csvHeader());
        const auto row = hq::testing::IndexedRow(std::uint64_t(first));
        const int offset = QDateTime::fromMSecsSinceEpoch(row.timeMs).offsetFromUtc();
        QCOMPARE(lines[1].toStdString(),
                 service::csvRow(row.timeMs, offset, history::sampleOfRow(row)));
    }
    QVERIFY(o.err.contains(QStringLiteral("%1 records written").arg(last - first + 1)));
}

void TestCliHistory::exportNeedsSerialAndOneFile_data() {
    QTest::addColumn<QStringList>("args");
    QTest::addColumn<int>("code");
    QTest::newRow("no serial") << QStringList{"history", "export", "--csv", "x.csv"} << 1;
    QTest::newRow("no file") << QStringList{"history", "export", "--serial", "12345678"} << 1;
    QTest::newRow("both files") << QStringList{"history", "export", "--serial", "1",
                                               "--csv",   "a",      "--chart",  "b"}
                                << 1;
    QTest::newRow("bad time") << QStringList{"history", "export", "--serial", "12345678",
                                             "--csv",   "x.csv",  "--from",   "yesterday"}
                              << 1;
    QTest::newRow("no such cabinet")
        << QStringList{"history", "export", "--serial", "999", "--csv", "x.csv"} << 4;
    QTest::newRow("no subcommand") << QStringList{"history"} << 1;
}

void TestCliHistory::exportNeedsSerialAndOneFile() {
    QFETCH(QStringList, args);
    QFETCH(int, code);
    QDir::setCurrent(root_->path());
    const Outcome o = runCli(args, offlineEnvironment());
    QCOMPARE(o.code, code);
    QVERIFY(o.err.startsWith(QStringLiteral("hq3746ctl: ")));
}

void TestCliHistory::checkFindsAFlippedBit() {
    Outcome o = runCli({"history", "check"}, offlineEnvironment());
    QCOMPARE(o.code, 0);
    QVERIFY2(o.out.contains(QStringLiteral("12345678: 5 blocks, 300 records, all readable")),
             qPrintable(o.out));
    // A bit flipped in the records of a block: only reading the records finds it.
    const QString segment =
        QDir(cabinet_).filePath(QDir(cabinet_).entryList({"*.hqseg"}).constFirst());
    QFile f(segment);
    QVERIFY(f.open(QIODevice::ReadWrite));
    QByteArray bytes = f.readAll();
    const qsizetype at = bytes.size() - 30;
    bytes[at] = char(bytes[at] ^ 0x01);
    f.seek(0);
    f.write(bytes);
    f.close();
    o = runCli({"history", "check", "--serial", "12345678"}, offlineEnvironment());
    QCOMPARE(o.code, 4);
    QVERIFY2(o.out.contains(QStringLiteral("1 problems")) && o.out.contains("damaged block"),
             qPrintable(o.out));
}

void TestCliHistory::checkFindsATornSegmentEnd_data() {
    QTest::addColumn<int>("keep"); // bytes of the last block left, -1: all but its last 9
    QTest::newRow("cut inside the last block's records") << -1;
    QTest::newRow("cut inside the last block's header") << 20;
    QTest::newRow("only the first byte of the last block") << 1;
}

void TestCliHistory::checkFindsATornSegmentEnd() {
    QFETCH(int, keep);
    // A power loss while the last block was written: the file ends inside it.
    std::uint64_t lastStart = 0;
    {
        auto reader = history::ArchiveReader::open(cabinet_);
        QCOMPARE(reader->blocks().size(), std::size_t(5));
        lastStart = reader->blocks().back().offset;
    }
    const QString segment =
        QDir(cabinet_).filePath(QDir(cabinet_).entryList({"*.hqseg"}).constFirst());
    const qint64 size = QFileInfo(segment).size();
    const qint64 cut = keep < 0 ? size - 9 : qint64(lastStart) + keep;
    QVERIFY(QFile(segment).resize(cut));
    const Outcome o = runCli({"history", "check"}, offlineEnvironment());
    QCOMPARE(o.code, 4);
    // The four whole blocks are readable; the torn one is told with where it begins and how
    // many bytes of it are left.
    QVERIFY2(o.out.contains(QStringLiteral("12345678: 4 blocks, 256 records, 1 problems")),
             qPrintable(o.out));
    QVERIFY2(o.out.contains(QStringLiteral("torn block dropped (the file ends inside it) at "
                                           "byte %1 (%2 bytes)")
                                .arg(lastStart)
                                .arg(cut - qint64(lastStart))),
             qPrintable(o.out));
    // Checking does not repair: the same again.
    QCOMPARE(runCli({"history", "check"}, offlineEnvironment()).out, o.out);
}

void TestCliHistory::checkFindsASummaryThatDisagreesWithItsRecords() {
    // A segment whose middle block says its largest t2_1 is one more than any of its records:
    // each checksum holds, so only reading the records and comparing finds it.
    QDir(cabinet_).removeRecursively();
    QVERIFY(QDir().mkpath(cabinet_));
    std::vector<history::Row> rows;
    for (std::uint64_t i = 0; i < 192; ++i)
        rows.push_back(hq::testing::IndexedRow(i));
    const auto& columns = history::statusColumns();
    const std::size_t t2 = std::size_t(history::columnIndex("t2_1"));
    std::string bytes =
        history::encodeFileHeader(history::kSegmentMagic, history::FileSchema{"12345678", columns});
    bytes += history::encodeBlock(std::span(rows).subspan(0, 64), 0, columns);
    const std::uint64_t middleAt = bytes.size();
    bytes += hq::testing::ResealedBlock(
        std::span(rows).subspan(64, 64), 64,
        [t2](history::BlockHeader&, history::BlockSummary& s) { s[t2].max += 1; });
    bytes += history::encodeBlock(std::span(rows).subspan(128, 64), 128, columns);
    QFile f(QDir(cabinet_).filePath("00000000000000000000.hqseg"));
    QVERIFY(f.open(QIODevice::WriteOnly));
    QCOMPARE(f.write(bytes.data(), qint64(bytes.size())), qint64(bytes.size()));
    f.close();
    const Outcome o = runCli({"history", "check", "--serial", "12345678"}, offlineEnvironment());
    QCOMPARE(o.code, 4);
    QVERIFY2(o.out.contains(QStringLiteral("12345678: 2 blocks, 128 records, 1 problems")) &&
                 o.out.contains(QStringLiteral("damaged block (summary does not match its "
                                               "records), 64 records skipped at byte %1")
                                    .arg(middleAt)),
             qPrintable(o.out));
}

QTEST_GUILESS_MAIN(TestCliHistory)
#include "test_cli_history.moc"
