// The stored history on disk: what is written reads back, a torn end or a flipped bit costs only
// the block it hits, a second writer is refused, retention drops whole segments, and the
// recorder files records under the right cabinet.
#include "history/archive_location.h"
#include "history/archive_reader.h"
#include "history/archive_writer.h"
#include "history/history_recorder.h"
#include "history/segment_scan.h"
#include "history_test_support.h"
#include "sim_rows.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>

#include <functional>
#include <span>

using namespace hq::history;
using hq::testing::IndexedRow;
using hq::testing::ReadAll;
using hq::testing::SmallBlocks;
using hq::testing::WriteRows;

namespace {
// What a test does to a block's header and summary before it is written out again.
using BlockChange = std::function<void(BlockHeader&, BlockSummary&)>;

std::vector<Row> indexedRows(std::uint64_t from, std::uint64_t to) {
    std::vector<Row> v;
    for (std::uint64_t i = from; i < to; ++i)
        v.push_back(IndexedRow(i));
    return v;
}

QString onlySegment(const QString& dir) {
    const QStringList s = QDir(dir).entryList({QStringLiteral("*.hqseg")}, QDir::Files);
    return s.size() == 1 ? QDir(dir).filePath(s.first()) : QString();
}

QByteArray readFile(const QString& path) {
    QFile f(path);
    f.open(QIODevice::ReadOnly);
    return f.readAll();
}

void writeFile(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly | QIODevice::Truncate));
    QCOMPARE(f.write(bytes), bytes.size());
}

// Copies a cabinet folder without its lock (what a crashed writer leaves for the next one).
void copyFolder(const QString& from, const QString& to) {
    QDir().mkpath(to);
    for (const QString& name : QDir(from).entryList(QDir::Files))
        if (name != QLatin1String(kLockFileName))
            QFile::copy(from + "/" + name, to + "/" + name);
}
} // namespace

Q_DECLARE_METATYPE(BlockChange)

class TestHistoryArchive : public QObject {
    Q_OBJECT
private slots:
    void rowsReadBackInOrder_data();
    void rowsReadBackInOrder();
    void statusRecordsKeepEveryField();
    void reopeningContinuesTheSequence();
    void journalKeepsRowsOfTheOpenBlock();
    void tornLastBlockAtEveryByteKeepsEarlierBlocks();
    void writerRepairsATornEndOnce();
    void flippedBitSkipsOnlyItsBlock_data();
    void flippedBitSkipsOnlyItsBlock();
    void summaryThatDisagreesWithItsRecordsIsFoundByTheCheck_data();
    void summaryThatDisagreesWithItsRecordsIsFoundByTheCheck();
    void secondWriterGetsAClearMessage();
    void retentionDropsWholeSegmentsOldestFirst_data();
    void retentionDropsWholeSegmentsOldestFirst();
    void defaultRetentionAgeIs400Days_data();
    void defaultRetentionAgeIs400Days();
    void defaultRetentionSizeIs2GiB_data();
    void defaultRetentionSizeIs2GiB();
    void segmentsEndAtUtcDayBoundaries();
    void recorderFilesRecordsUnderTheCabinet_data();
    void recorderFilesRecordsUnderTheCabinet();
    void recorderSeparatesCabinets();
    void keysBecomeSafeFolderNames_data();
    void keysBecomeSafeFolderNames();
    void toolAndMonitorShareOneHistoryRoot();
};

void TestHistoryArchive::rowsReadBackInOrder_data() {
    QTest::addColumn<int>("rows");
    QTest::addColumn<int>("blockRows");
    QTest::newRow("fewer than a block") << 10 << 64;
    QTest::newRow("exactly one block") << 64 << 64;
    QTest::newRow("several blocks and a partial one") << 1000 << 64;
    QTest::newRow("one row per block") << 5 << 1;
}

void TestHistoryArchive::rowsReadBackInOrder() {
    QFETCH(int, rows);
    QFETCH(int, blockRows);
    QTemporaryDir tmp;
    WriteRows(tmp.path(), 0, std::uint64_t(rows), SmallBlocks(std::uint32_t(blockRows)));
    auto reader = ArchiveReader::open(tmp.path());
    QVERIFY(reader.ok());
    QCOMPARE(reader->recordCount(), std::uint64_t(rows));
    QVERIFY(reader->problems().empty());
    QVERIFY(reader->tail().empty()); // closing sealed the open block
    QCOMPARE(reader->key(), std::string("12345678"));
    QCOMPARE(ReadAll(*reader), indexedRows(0, std::uint64_t(rows)));
    QCOMPARE(*reader->firstTimeMs(), IndexedRow(0).timeMs);
    QCOMPARE(*reader->lastTimeMs(), IndexedRow(std::uint64_t(rows - 1)).timeMs);
}

void TestHistoryArchive::statusRecordsKeepEveryField() {
    // Simulated cabinet records through the table: every field of the record comes back.
    hq::testing::SimulatedRows sim(1'765'000'000'000);
    std::vector<Row> rows;
    for (int i = 0; i < 300; ++i)
        rows.push_back(sim.next());
    QTemporaryDir tmp;
    {
        std::vector<std::string> notices;
        auto w = ArchiveWriter::open(tmp.path(), "1", SmallBlocks(100), notices);
        QVERIFY(w.ok());
        for (const Row& r : rows)
            QVERIFY((*w)->append(r).ok());
    }
    auto reader = ArchiveReader::open(tmp.path());
    QVERIFY(reader.ok());
    const std::vector<Row> back = ReadAll(*reader);
    QCOMPARE(back.size(), rows.size());
    for (std::size_t i = 0; i < rows.size(); ++i)
        QCOMPARE(statusFromRow(back[i]), statusFromRow(rows[i]));
}

void TestHistoryArchive::reopeningContinuesTheSequence() {
    QTemporaryDir tmp;
    WriteRows(tmp.path(), 0, 100);
    WriteRows(tmp.path(), 100, 250);
    auto reader = ArchiveReader::open(tmp.path());
    QVERIFY(reader.ok());
    QCOMPARE(ReadAll(*reader), indexedRows(0, 250));
    std::uint64_t expected = 0;
    for (const auto& b : reader->blocks()) {
        QCOMPARE(b.header.firstSequence, expected);
        expected = b.header.endSequence();
    }
}

void TestHistoryArchive::journalKeepsRowsOfTheOpenBlock() {
    QTemporaryDir tmp;
    const QString live = tmp.path() + "/live", crashed = tmp.path() + "/crashed";
    std::vector<std::string> notices;
    auto w = ArchiveWriter::open(live, "7", SmallBlocks(64), notices);
    QVERIFY(w.ok());
    for (std::uint64_t i = 0; i < 150; ++i)
        QVERIFY((*w)->append(IndexedRow(i)).ok());
    QVERIFY((*w)->flush().ok());
    // What a killed writer leaves: two sealed blocks, 22 rows in the journal.
    copyFolder(live, crashed);
    {
        auto reader = ArchiveReader::open(crashed);
        QVERIFY(reader.ok());
        QCOMPARE(reader->blocks().size(), std::size_t(2));
        QCOMPARE(reader->tail().size(), std::size_t(22));
        QCOMPARE(ReadAll(*reader), indexedRows(0, 150));
    }
    // The next writer takes them back into its open block and goes on.
    {
        std::vector<std::string> n2;
        auto w2 = ArchiveWriter::open(crashed, "7", SmallBlocks(64), n2);
        QVERIFY(w2.ok());
        QCOMPARE((*w2)->openRows(), std::size_t(22));
        QCOMPARE((*w2)->nextSequence(), std::uint64_t(150));
        for (std::uint64_t i = 150; i < 200; ++i)
            QVERIFY((*w2)->append(IndexedRow(i)).ok());
    }
    auto reader = ArchiveReader::open(crashed);
    QVERIFY(reader.ok());
    QCOMPARE(ReadAll(*reader), indexedRows(0, 200));
}

void TestHistoryArchive::tornLastBlockAtEveryByteKeepsEarlierBlocks() {
    QTemporaryDir tmp;
    const QString dir = tmp.path() + "/whole";
    WriteRows(dir, 0, 192); // three blocks of 64
    const QString segment = onlySegment(dir);
    QVERIFY(!segment.isEmpty());
    const QByteArray whole = readFile(segment);
    std::uint64_t lastStart = 0;
    {
        auto reader = ArchiveReader::open(dir);
        QCOMPARE(reader->blocks().size(), std::size_t(3));
        lastStart = reader->blocks().back().offset;
    }
    QFile::remove(dir + "/" + kJournalFileName);
    const QString torn = tmp.path() + "/torn";
    QDir().mkpath(torn);
    for (qsizetype cut = qsizetype(lastStart); cut < whole.size(); ++cut) {
        writeFile(torn + "/00000000000000000000.hqseg", whole.left(cut));
        auto reader = ArchiveReader::open(torn);
        QVERIFY(reader.ok());
        QCOMPARE(reader->blocks().size(), std::size_t(2));
        const bool clean = cut == qsizetype(lastStart);
        QCOMPARE(reader->problems().size(), std::size_t(clean ? 0 : 1));
        if (!clean) {
            QCOMPARE(int(reader->problems()[0].kind), int(Problem::Kind::Torn));
            QCOMPARE(reader->problems()[0].offset, lastStart);
        }
        QCOMPARE(ReadAll(*reader), indexedRows(0, 128));
        QCOMPARE(reader->problems().size(), std::size_t(clean ? 0 : 1)); // reading adds nothing
    }
}

void TestHistoryArchive::writerRepairsATornEndOnce() {
    QTemporaryDir tmp;
    WriteRows(tmp.path(), 0, 128);
    const QString segment = onlySegment(tmp.path());
    const QByteArray whole = readFile(segment);
    writeFile(segment, whole.left(whole.size() - 17));
    std::vector<std::string> notices;
    {
        auto w = ArchiveWriter::open(tmp.path(), "12345678", SmallBlocks(), notices);
        QVERIFY(w.ok());
        QCOMPARE((*w)->nextSequence(), std::uint64_t(64));
    }
    QCOMPARE(notices.size(), std::size_t(1));
    QVERIFY(QString::fromStdString(notices[0]).contains("torn block"));
    notices.clear();
    {
        auto w = ArchiveWriter::open(tmp.path(), "12345678", SmallBlocks(), notices);
        QVERIFY(w.ok());
    }
    QVERIFY(notices.empty());
    auto reader = ArchiveReader::open(tmp.path());
    QVERIFY(reader->problems().empty());
    QCOMPARE(ReadAll(*reader), indexedRows(0, 64));
}

void TestHistoryArchive::flippedBitSkipsOnlyItsBlock_data() {
    QTest::addColumn<int>("where"); // bytes after the middle block's start
    QTest::addColumn<bool>("foundByIndex");
    QTest::newRow("block header") << 20 << true;
    QTest::newRow("summary") << int(kBlockHeaderSize) + 3 << true;
    QTest::newRow("records") << -40 << false; // counted from the block's end
}

void TestHistoryArchive::flippedBitSkipsOnlyItsBlock() {
    QFETCH(int, where);
    QFETCH(bool, foundByIndex);
    QTemporaryDir tmp;
    WriteRows(tmp.path(), 0, 192);
    std::uint64_t start = 0, length = 0;
    {
        auto reader = ArchiveReader::open(tmp.path());
        start = reader->blocks()[1].offset;
        length = reader->blocks()[1].header.totalLength;
    }
    const QString segment = onlySegment(tmp.path());
    QByteArray bytes = readFile(segment);
    const qsizetype at = where >= 0 ? qsizetype(start) + where : qsizetype(start + length) + where;
    bytes[at] = char(bytes[at] ^ 0x10);
    writeFile(segment, bytes);

    auto reader = ArchiveReader::open(tmp.path());
    QVERIFY(reader.ok());
    QCOMPARE(reader->blocks().size(), std::size_t(foundByIndex ? 2 : 3));
    std::vector<Row> expected = indexedRows(0, 64);
    const std::vector<Row> last = indexedRows(128, 192);
    expected.insert(expected.end(), last.begin(), last.end());
    QCOMPARE(ReadAll(*reader), expected);
    QCOMPARE(reader->problems().size(), std::size_t(1));
    QCOMPARE(int(reader->problems()[0].kind), int(Problem::Kind::Damaged));
    QCOMPARE(reader->problems()[0].offset, start);
    // A full check finds it without reading the records one by one.
    auto checked = ArchiveReader::open(tmp.path(), /*verifyRecords=*/true);
    QCOMPARE(checked->blocks().size(), std::size_t(2));
    QCOMPARE(checked->problems().size(), std::size_t(1));
}

void TestHistoryArchive::summaryThatDisagreesWithItsRecordsIsFoundByTheCheck_data() {
    using Change = BlockChange;
    QTest::addColumn<Change>("change");
    QTest::addColumn<bool>("found");
    const std::size_t t2 = std::size_t(columnIndex("t2_1"));
    const std::size_t status = std::size_t(columnIndex("status"));
    QVERIFY(statusColumns()[status].bitField);
    QTest::newRow("nothing changed") << Change([](BlockHeader&, BlockSummary&) {}) << false;
    QTest::newRow("a column's largest value")
        << Change([t2](BlockHeader&, BlockSummary& s) { s[t2].max += 1; }) << true;
    QTest::newRow("a column's smallest value")
        << Change([t2](BlockHeader&, BlockSummary& s) { s[t2].min -= 1; }) << true;
    QTest::newRow("a bit field's OR")
        << Change([status](BlockHeader&, BlockSummary& s) { s[status].anyOf ^= 0x80; }) << true;
    QTest::newRow("a bit field's AND")
        << Change([status](BlockHeader&, BlockSummary& s) { s[status].allOf ^= 0x01; }) << true;
    QTest::newRow("the header's last time")
        << Change([](BlockHeader& h, BlockSummary&) { h.maxTimeMs += 1000; }) << true;
    QTest::newRow("the header's first time")
        << Change([](BlockHeader& h, BlockSummary&) { h.minTimeMs -= 1; }) << true;
}

void TestHistoryArchive::summaryThatDisagreesWithItsRecordsIsFoundByTheCheck() {
    QFETCH(BlockChange, change);
    QFETCH(bool, found);
    // Three blocks of 64 rows; the middle one written again by hand with the change.
    const std::vector<Row> rows = indexedRows(0, 192);
    const auto& columns = statusColumns();
    const std::string first = encodeBlock(std::span(rows).subspan(0, 64), 0, columns);
    const std::string middle =
        hq::testing::ResealedBlock(std::span(rows).subspan(64, 64), 64, change);
    std::string bytes = encodeFileHeader(kSegmentMagic, FileSchema{"4711", columns});
    const std::uint64_t middleAt = bytes.size() + first.size();
    bytes += first + middle + encodeBlock(std::span(rows).subspan(128, 64), 128, columns);
    const std::span<const std::uint8_t> data(reinterpret_cast<const std::uint8_t*>(bytes.data()),
                                             bytes.size());
    // Reading headers and summaries alone cannot tell: every checksum holds.
    MemorySource plain(data);
    const SegmentScan index = scanSegment(plain, /*verifyRecords=*/false);
    QCOMPARE(index.blocks.size(), std::size_t(3));
    QVERIFY(index.damaged.empty());
    // The check reads the records and compares.
    MemorySource again(data);
    const SegmentScan checked = scanSegment(again, /*verifyRecords=*/true);
    QCOMPARE(checked.blocks.size(), std::size_t(found ? 2 : 3));
    QCOMPARE(checked.damaged.size(), std::size_t(found ? 1 : 0));
    if (found) {
        QCOMPARE(checked.damaged[0].offset, middleAt);
        QCOMPARE(checked.damaged[0].length, std::uint64_t(middle.size()));
        QVERIFY2(QString::fromStdString(checked.damaged[0].message)
                     .contains("summary does not match its records"),
                 checked.damaged[0].message.c_str());
        QCOMPARE(checked.blocks[1].offset, middleAt + middle.size());
    }
    QCOMPARE(checked.validEnd, std::uint64_t(bytes.size()));
}

void TestHistoryArchive::secondWriterGetsAClearMessage() {
    QTemporaryDir tmp;
    std::vector<std::string> notices;
    auto first = ArchiveWriter::open(tmp.path(), "4711", SmallBlocks(), notices);
    QVERIFY(first.ok());
    QVERIFY(writerIsActive(tmp.path()));
    auto second = ArchiveWriter::open(tmp.path(), "4711", SmallBlocks(), notices);
    QVERIFY(!second.ok());
    const QString message = QString::fromStdString(second.error().message);
    QVERIFY2(message.contains("cabinet 4711 is already being written by") &&
                 message.contains(QString::number(QCoreApplication::applicationPid())),
             qPrintable(message));
    first->reset();
    QVERIFY(!writerIsActive(tmp.path()));
    QVERIFY(ArchiveWriter::open(tmp.path(), "4711", SmallBlocks(), notices).ok());
}

void TestHistoryArchive::retentionDropsWholeSegmentsOldestFirst_data() {
    QTest::addColumn<qint64>("maxAgeDays");
    QTest::addColumn<int>("sizeForSegments"); // 0: no size limit; n: room for the newest n
    QTest::addColumn<int>("segmentsLeft");
    QTest::newRow("nothing too old or too big") << qint64(400) << 0 << 10;
    QTest::newRow("age keeps the last three days") << qint64(3) << 0 << 3;
    QTest::newRow("size keeps what fits") << qint64(400) << 2 << 2;
    QTest::newRow("the newest segment always stays") << qint64(400) << -1 << 1;
}

void TestHistoryArchive::retentionDropsWholeSegmentsOldestFirst() {
    QFETCH(qint64, maxAgeDays);
    QFETCH(int, sizeForSegments);
    QFETCH(int, segmentsLeft);
    QTemporaryDir tmp;
    constexpr std::int64_t day = 86400000;
    const std::int64_t start = 20000 * day; // midnight UTC
    // Ten days, 100 rows a day, each day its own segment.
    WriterOptions o = SmallBlocks(50);
    o.maxAgeMs = 1000 * day;
    o.nowMs = [&] { return start + 10 * day; };
    std::vector<std::string> notices;
    {
        auto w = ArchiveWriter::open(tmp.path(), "9", o, notices);
        for (int d = 0; d < 10; ++d)
            for (int i = 0; i < 100; ++i)
                QVERIFY((*w)->append(IndexedRow(0, start + d * day + i * 1000)).ok());
    }
    const QDir dir(tmp.path());
    const QStringList all = dir.entryList({"*.hqseg"}, QDir::Files, QDir::Name);
    QCOMPARE(all.size(), 10);
    o.maxAgeMs = maxAgeDays * day;
    if (sizeForSegments != 0) {
        std::uint64_t room = std::uint64_t(QFileInfo(dir.filePath(kJournalFileName)).size());
        for (int k = 0; k < sizeForSegments; ++k)
            room += std::uint64_t(QFileInfo(dir.filePath(all[all.size() - 1 - k])).size());
        o.maxBytes = sizeForSegments > 0 ? room : 1;
    }
    {
        auto w = ArchiveWriter::open(tmp.path(), "9", o, notices);
        QVERIFY(w.ok());
    }
    const QStringList left = dir.entryList({"*.hqseg"}, QDir::Files, QDir::Name);
    QCOMPARE(left, all.mid(all.size() - segmentsLeft));
    auto reader = ArchiveReader::open(tmp.path());
    QCOMPARE(reader->recordCount(), std::uint64_t(100 * segmentsLeft));
    QCOMPARE(*reader->firstTimeMs(), start + (10 - segmentsLeft) * day);
}

void TestHistoryArchive::defaultRetentionAgeIs400Days_data() {
    QTest::addColumn<double>("secondDaysBack"); // where the second of three segments begins
    QTest::addColumn<int>("segmentsLeft");
    // The oldest segment (401 days back) goes once the next one begins before the cut-off, so
    // that everything in the oldest is older than that: these two cases put the cut-off between
    // 399 and 400 days and one hour back.
    QTest::newRow("next one begins 400 days and an hour back") << 400.0 + 1.0 / 24 << 2;
    QTest::newRow("next one begins 399 days and an hour back") << 399.0 + 1.0 / 24 << 3;
}

void TestHistoryArchive::defaultRetentionAgeIs400Days() {
    QFETCH(double, secondDaysBack);
    QFETCH(int, segmentsLeft);
    QTemporaryDir tmp;
    constexpr std::int64_t day = 86400000;
    const std::int64_t now = 20500 * day + day / 2; // noon UTC
    WriterOptions keepAll = SmallBlocks(10);
    keepAll.maxAgeMs = 1000 * day;
    keepAll.nowMs = [now] { return now; };
    std::vector<std::string> notices;
    {
        auto w = ArchiveWriter::open(tmp.path(), "9", keepAll, notices);
        for (const std::int64_t at :
             {now - 401 * day, now - std::int64_t(secondDaysBack * double(day)), now - day})
            for (int i = 0; i < 10; ++i)
                QVERIFY((*w)->append(IndexedRow(0, at + i * 1000)).ok());
    }
    QCOMPARE(QDir(tmp.path()).entryList({"*.hqseg"}, QDir::Files).size(), 3);
    // The monitor's recorder writes with the defaults: only the clock is set here.
    WriterOptions defaults = RecorderOptions().writer;
    defaults.nowMs = [now] { return now; };
    {
        auto w = ArchiveWriter::open(tmp.path(), "9", defaults, notices);
        QVERIFY(w.ok());
    }
    auto reader = ArchiveReader::open(tmp.path());
    QCOMPARE(int(reader->segments().size()), segmentsLeft);
    QCOMPARE(reader->recordCount(), std::uint64_t(10 * segmentsLeft));
}

void TestHistoryArchive::defaultRetentionSizeIs2GiB_data() {
    QTest::addColumn<qint64>("overLimit"); // bytes of the folder beyond 2 GiB
    QTest::addColumn<int>("segmentsLeft");
    QTest::newRow("exactly 2 GiB") << qint64(0) << 2;
    QTest::newRow("one byte more") << qint64(1) << 1;
}

void TestHistoryArchive::defaultRetentionSizeIs2GiB() {
#if defined(Q_OS_WIN)
    QSKIP("a file grown to 2 GiB is not sparse there: written in full");
#endif
    QFETCH(qint64, overLimit);
    QFETCH(int, segmentsLeft);
    QTemporaryDir tmp;
    constexpr std::int64_t day = 86400000;
    const std::int64_t start = 40000 * day; // in the future: the age limit keeps everything
    std::vector<std::string> notices;
    {
        auto w = ArchiveWriter::open(tmp.path(), "9", SmallBlocks(10), notices);
        for (int d = 0; d < 2; ++d)
            for (int i = 0; i < 10; ++i)
                QVERIFY((*w)->append(IndexedRow(0, start + d * day + i * 1000)).ok());
    }
    const QDir dir(tmp.path());
    const QStringList segments = dir.entryList({"*.hqseg"}, QDir::Files, QDir::Name);
    QCOMPARE(segments.size(), 2);
    // The older segment grown (sparse, its blocks at the start intact) so that the folder (the
    // journal as opening leaves it, header only, and both segments) holds 2 GiB + overLimit.
    const qint64 limit = qint64(2) << 30;
    const qint64 journal =
        qint64(encodeFileHeader(kJournalMagic, FileSchema{"9", statusColumns()}).size());
    const qint64 newest = QFileInfo(dir.filePath(segments[1])).size();
    QFile big(dir.filePath(segments[0]));
    QVERIFY(big.resize(limit + overLimit - journal - newest));
    WriterOptions defaults = RecorderOptions().writer;
    {
        auto w = ArchiveWriter::open(tmp.path(), "9", defaults, notices);
        QVERIFY(w.ok());
    }
    QCOMPARE(QFileInfo(dir.filePath(kJournalFileName)).size(), journal);
    const QStringList left = dir.entryList({"*.hqseg"}, QDir::Files, QDir::Name);
    QCOMPARE(left, segments.mid(segments.size() - segmentsLeft));
}

void TestHistoryArchive::segmentsEndAtUtcDayBoundaries() {
    QTemporaryDir tmp;
    constexpr std::int64_t day = 86400000;
    std::vector<std::string> notices;
    WriterOptions o = SmallBlocks(10);
    o.nowMs = [] { return 20001 * day; };
    {
        auto w = ArchiveWriter::open(tmp.path(), "9", o, notices);
        for (int i = 0; i < 40; ++i) // 23:59:40 to 00:00:19
            QVERIFY((*w)->append(IndexedRow(0, 20000 * day - 20000 + i * 1000)).ok());
    }
    auto reader = ArchiveReader::open(tmp.path());
    QCOMPARE(reader->segments().size(), std::size_t(2));
    for (const auto& b : reader->blocks())
        QCOMPARE(b.header.minTimeMs / day, b.header.maxTimeMs / day);
}

void TestHistoryArchive::recorderFilesRecordsUnderTheCabinet_data() {
    QTest::addColumn<int>("serial");
    QTest::addColumn<QString>("usbSerial");
    QTest::addColumn<QString>("folder");
    QTest::newRow("serial number") << 12345678 << "HQ0012345678"
                                   << "12345678";
    QTest::newRow("serial 0: the USB serial text") << 0 << "HQ0012345678"
                                                   << "HQ0012345678";
    QTest::newRow("serial 0 and no USB serial") << 0 << ""
                                                << "unknown";
}

void TestHistoryArchive::recorderFilesRecordsUnderTheCabinet() {
    QFETCH(int, serial);
    QFETCH(QString, usbSerial);
    QFETCH(QString, folder);
    QTemporaryDir tmp;
    {
        RecorderOptions o;
        o.root = tmp.path();
        o.writer = SmallBlocks(16);
        HistoryRecorder recorder(o);
        recorder.beginCabinet(usbSerial);
        for (std::uint64_t i = 0; i < 5; ++i) // before the configuration reply: held
            recorder.append(IndexedRow(i));
        recorder.sync();
        QVERIFY(QDir(tmp.path()).entryList(QDir::Dirs | QDir::NoDotAndDotDot).isEmpty());
        recorder.setSerialNumber(serial);
        for (std::uint64_t i = 5; i < 40; ++i)
            recorder.append(IndexedRow(i));
        recorder.sync();
        QCOMPARE(recorder.currentDirectory(), tmp.path() + "/" + folder);
        auto live = ArchiveReader::open(tmp.path() + "/" + folder);
        QVERIFY(live->writerActive());
        QCOMPARE(ReadAll(*live), indexedRows(0, 40)); // blocks and the journal
    }
    QCOMPARE(QDir(tmp.path()).entryList(QDir::Dirs | QDir::NoDotAndDotDot), QStringList{folder});
    auto reader = ArchiveReader::open(tmp.path() + "/" + folder);
    QCOMPARE(ReadAll(*reader), indexedRows(0, 40));
}

void TestHistoryArchive::recorderSeparatesCabinets() {
    QTemporaryDir tmp;
    {
        RecorderOptions o;
        o.root = tmp.path();
        HistoryRecorder recorder(o);
        recorder.beginCabinet("A");
        recorder.setSerialNumber(11);
        for (std::uint64_t i = 0; i < 10; ++i)
            recorder.append(IndexedRow(i));
        recorder.beginCabinet("B"); // unplugged, another one claimed; it never names itself
        for (std::uint64_t i = 10; i < 13; ++i)
            recorder.append(IndexedRow(i));
        recorder.beginCabinet("C");
        recorder.setSerialNumber(33);
        for (std::uint64_t i = 13; i < 20; ++i)
            recorder.append(IndexedRow(i));
    }
    const auto rowsOf = [&](const char* folder) {
        auto r = ArchiveReader::open(tmp.path() + "/" + folder);
        return r ? ReadAll(*r) : std::vector<Row>{};
    };
    QCOMPARE(rowsOf("11"), indexedRows(0, 10));
    QCOMPARE(rowsOf("B"), indexedRows(10, 13));
    QCOMPARE(rowsOf("33"), indexedRows(13, 20));
}

void TestHistoryArchive::keysBecomeSafeFolderNames_data() {
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("folder");
    QTest::newRow("digits") << "12345678"
                            << "12345678";
    QTest::newRow("path separators") << "../x/y\\z"
                                     << ".._x_y_z";
    QTest::newRow("dot") << "."
                         << "unknown";
    QTest::newRow("umlaut and blank") << "Schrank ä"
                                      << "Schrank__";
}

void TestHistoryArchive::keysBecomeSafeFolderNames() {
    QFETCH(QString, key);
    QFETCH(QString, folder);
    QCOMPARE(keyFolderName(key.toStdString()), folder);
}

// hq3746ctl runs under its own application name; its history commands must still find what the
// monitor wrote.
void TestHistoryArchive::toolAndMonitorShareOneHistoryRoot() {
    const QByteArray over = qgetenv("HQ3746_HISTORY_DIR");
    qunsetenv("HQ3746_HISTORY_DIR");
    QStringList roots;
    for (const char* program : {"hq3746ctl", "hq3746-monitor"}) {
        QCoreApplication::setOrganizationName(QStringLiteral("KOV"));
        QCoreApplication::setApplicationName(QLatin1String(program));
        roots << defaultHistoryRoot();
    }
    if (!over.isEmpty())
        qputenv("HQ3746_HISTORY_DIR", over);
    QCOMPARE(roots[0], roots[1]);
    QVERIFY2(roots[0].endsWith(QStringLiteral("/KOV/hq3746-monitor/history")),
             qPrintable(roots[0]));
}

QTEST_GUILESS_MAIN(TestHistoryArchive)
#include "test_history_archive.moc"
