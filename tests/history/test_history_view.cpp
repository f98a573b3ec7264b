// The history viewer: far views come from block summaries without reading a block, close views
// from the records; the extremes drawn are those of the records; the window shows the folder,
// picks ranges, pans by keyboard and saves the shown range as a chart file of every record.
#include "history/history_export.h"
#include "history/history_view_source.h"
#include "history/history_viewer.h"
#include "history_test_support.h"
#include "service/chart_file.h"
#include "service/measurement_chart.h"
#include "service/plot_series.h"
#include "sim_rows.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

using namespace hq::history;

namespace {
constexpr std::int64_t kStart = 4'000'000'000'000;

// Simulated cabinet rows, one a second, in blocks of 64; the door opened now and then.
std::vector<Row> writeSimulated(const QString& dir, int rows) {
    hq::testing::SimulatedRows sim(kStart, 0);
    std::vector<Row> all;
    std::vector<std::string> notices;
    auto w = ArchiveWriter::open(dir, "777", hq::testing::SmallBlocks(64), notices);
    for (int i = 0; i < rows; ++i) {
        Row r = sim.next();
        if (i % 500 < 20) // door open
            r.values[std::size_t(ColumnIndex("status"))] |= 1;
        all.push_back(r);
        (void)(*w)->append(r);
    }
    return all;
}

std::unique_ptr<HistoryViewSource> sourceOf(const QString& dir) {
    auto reader = ArchiveReader::open(dir);
    return std::make_unique<HistoryViewSource>(std::move(*reader));
}

void extremes(const hq::service::HistoryStore& s, hq::service::RawSample& mn,
              hq::service::RawSample& mx) {
    QVERIFY(s.ranges(0, s.size(), mn, mx));
}
} // namespace

class TestHistoryView : public QObject {
    Q_OBJECT
private slots:
    void resolutionFollowsRecordsPerColumn_data();
    void resolutionFollowsRecordsPerColumn();
    void summaryViewHoldsTheRecordsExtremes();
    void damagedBlockIsLeftOutOfACloseView();
    void windowShowsFolderRangesAndPans();
    void kovSaveWritesEveryRecordOfTheShownRange();
};

void TestHistoryView::resolutionFollowsRecordsPerColumn_data() {
    QTest::addColumn<int>("halfColumns");
    QTest::addColumn<bool>("summaries");
    QTest::addColumn<int>("group");
    QTest::newRow("far: 2000 records per column") << 3 << true << 0;
    QTest::newRow("middle: 16 records per column") << 400 << false << 8;
    QTest::newRow("close: under 4 records per column") << 3200 << false << 1;
}

void TestHistoryView::resolutionFollowsRecordsPerColumn() {
    QFETCH(int, halfColumns);
    QFETCH(bool, summaries);
    QFETCH(int, group);
    QTemporaryDir tmp;
    const std::vector<Row> rows = writeSimulated(tmp.path(), 6400); // 100 blocks
    auto source = sourceOf(tmp.path());
    const double from = double(rows.front().timeMs), to = double(rows.back().timeMs);
    const HistoryView v = source->build(from, to, halfColumns);
    QCOMPARE(v.fromSummaries, summaries);
    if (summaries) {
        QCOMPARE(v.store->size(), std::size_t(200)); // two points a block
        QCOMPARE(source->blocksDecoded(), std::size_t(0));
    } else {
        QCOMPARE(int(v.group), group);
        QCOMPARE(v.store->size(),
                 group == 1 ? rows.size() : 2 * ((rows.size() + group - 1) / group));
        QCOMPARE(source->blocksDecoded(), std::size_t(100));
    }
    QVERIFY(source->serves(v, from, to, halfColumns));
    QVERIFY(!source->serves(v, to + 1e9, to + 2e9, halfColumns)); // nothing read there
}

void TestHistoryView::summaryViewHoldsTheRecordsExtremes() {
    QTemporaryDir tmp;
    const std::vector<Row> rows = writeSimulated(tmp.path(), 3000);
    auto source = sourceOf(tmp.path());
    const HistoryView far =
        source->build(double(rows.front().timeMs), double(rows.back().timeMs), 2);
    QVERIFY(far.fromSummaries);
    hq::service::HistoryStore all(hq::service::SeriesEncodings());
    for (const Row& r : rows)
        all.append(r.timeMs, SampleOfRow(r));
    hq::service::RawSample mnFar, mxFar, mnAll, mxAll;
    extremes(*far.store, mnFar, mxFar);
    extremes(all, mnAll, mxAll);
    QCOMPARE(mnFar, mnAll);
    QCOMPARE(mxFar, mxAll);
    QCOMPARE(mxFar[hq::service::kDoorSeries], std::uint16_t(100)); // from the status's OR
    QCOMPARE(mnFar[hq::service::kDoorSeries], std::uint16_t(0));   // from its AND
    // Block by block too: the two points of each block span its records.
    const auto& blocks = source->reader().blocks();
    for (std::size_t b = 0; b < blocks.size(); ++b) {
        hq::service::RawSample mn, mx, bmn, bmx;
        QVERIFY(far.store->ranges(2 * b, 2 * b + 2, mn, mx));
        const std::size_t first = std::size_t(blocks[b].header.firstSequence);
        QVERIFY(all.ranges(first, first + blocks[b].header.count, bmn, bmx));
        QCOMPARE(mn, bmn);
        QCOMPARE(mx, bmx);
    }
}

void TestHistoryView::damagedBlockIsLeftOutOfACloseView() {
    QTemporaryDir tmp;
    const std::vector<Row> rows = writeSimulated(tmp.path(), 640);
    std::uint64_t end = 0;
    {
        auto reader = ArchiveReader::open(tmp.path());
        const auto& b = reader->blocks()[3];
        end = b.offset + b.header.totalLength;
    }
    const QString segment = QDir(tmp.path()).filePath(QDir(tmp.path()).entryList({"*.hqseg"})[0]);
    QFile f(segment);
    QVERIFY(f.open(QIODevice::ReadWrite));
    f.seek(qint64(end) - 20);
    char c = 0;
    f.getChar(&c);
    f.seek(qint64(end) - 20);
    f.putChar(char(c ^ 0x04));
    f.close();
    auto source = sourceOf(tmp.path());
    const HistoryView v =
        source->build(double(rows.front().timeMs), double(rows.back().timeMs), 4000);
    QVERIFY(!v.fromSummaries);
    QCOMPARE(v.store->size(), rows.size() - 64);
    QCOMPARE(source->reader().problems().size(), std::size_t(1));
    QCOMPARE(source->reader().blocks().size(), std::size_t(9));
    // Building again reports nothing new.
    (void)source->build(double(rows.front().timeMs), double(rows.back().timeMs), 4000);
    QCOMPARE(source->reader().problems().size(), std::size_t(1));
}

void TestHistoryView::windowShowsFolderRangesAndPans() {
    QTemporaryDir tmp;
    const std::vector<Row> rows = writeSimulated(tmp.path(), 7200); // two hours
    QString error;
    HistoryViewer* viewer = OpenHistoryWindow(tmp.path(), nullptr, &error);
    QVERIFY2(viewer, qPrintable(error));
    std::unique_ptr<HistoryViewer> owner(viewer);
    QVERIFY(viewer->windowTitle().contains(QDir::toNativeSeparators(tmp.path())));
    QVERIFY(viewer->windowTitle().contains(QStringLiteral("777")));
    hq::service::MeasurementChart* chart = viewer->chart();
    const double last = double(rows.back().timeMs);
    viewer->showRange(HistoryViewer::Range::Hour);
    QVERIFY(qAbs(chart->viewToMs() - last) < 1);
    QVERIFY(qAbs(chart->viewToMs() - chart->viewFromMs() - 3600000.0) < 1);
    QCOMPARE(viewer->findChild<QComboBox*>("RangeBox")->currentIndex(), 0);
    viewer->showRange(HistoryViewer::Range::All);
    QVERIFY(qAbs(chart->viewFromMs() - double(rows.front().timeMs)) < 1);
    // Keyboard: Left pans back by a tenth of the width, Plus halves it.
    viewer->showRange(HistoryViewer::Range::Hour);
    const double from = chart->viewFromMs();
    QTest::keyClick(chart, Qt::Key_Left);
    QVERIFY(qAbs(chart->viewFromMs() - (from - 360000.0)) < 1);
    QTest::keyClick(chart, Qt::Key_Plus);
    QVERIFY(qAbs(chart->viewToMs() - chart->viewFromMs() - 1800000.0) < 1);
    viewer->updateView();
    QVERIFY(chart->store().size() > 0);
    QVERIFY(!viewer->view().fromSummaries);
}

void TestHistoryView::kovSaveWritesEveryRecordOfTheShownRange() {
    QTemporaryDir tmp;
    const std::vector<Row> rows = writeSimulated(tmp.path(), 5000);
    HistoryViewer viewer(sourceOf(tmp.path()));
    viewer.resize(933, 540);
    viewer.chart()->setBottomRange(double(rows[1000].timeMs), double(rows[3999].timeMs));
    viewer.updateView();
    const QString file = tmp.filePath("range"); // ".hqchart" is added
    QCOMPARE(viewer.saveShownRange(file), QString());
    const hq::service::LoadedChart loaded = hq::service::LoadChartFile(file + ".hqchart");
    QVERIFY2(loaded.ok(), qPrintable(loaded.error));
    QCOMPARE(loaded.store->size(), std::size_t(3000));
    for (std::size_t i = 0; i < 3000; i += 97) {
        QCOMPARE(loaded.store->timeAt(i), rows[1000 + i].timeMs);
        QCOMPARE(loaded.store->sampleAt(i), SampleOfRow(rows[1000 + i]));
    }
    QCOMPARE(loaded.settings.series[4].title, QStringLiteral("HYT down %r.H."));
}

QTEST_MAIN(TestHistoryView)
#include "test_history_view.moc"
