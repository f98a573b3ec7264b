// The history viewer: far views come from block summaries without reading a block, close views
// from the records; the extremes drawn are those of the records; the window shows the folder,
// picks ranges, pans and zooms by keyboard and mouse, tells a damaged place once however often
// the folder is read again, and saves the shown range as a chart file of every record. The
// service window's "Verlauf" opens it over the cabinet being recorded, without waiting for a
// writer thread that is busy.
#include "history/archive_location.h"
#include "history/history_export.h"
#include "history/history_recorder.h"
#include "history/history_view_source.h"
#include "history/history_viewer.h"
#include "history/recorded_history.h"
#include "history_test_support.h"
#include "service/chart_file.h"
#include "service/intern_form.h"
#include "service/measurement_chart.h"
#include "service/plot_series.h"
#include "sim_rows.h"

#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QLabel>
#include <QLockFile>
#include <QMouseEvent>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTemporaryFile>
#include <QTest>
#include <QWheelEvent>

#include <cstdio>
#if defined(_WIN32)
#include <io.h>
#else
#include <unistd.h>
#endif

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
            r.values[std::size_t(columnIndex("status"))] |= 1;
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

// Flips one bit of a folder's only segment, `at` bytes into it.
void flipBit(const QString& dir, std::uint64_t at) {
    const QString segment = QDir(dir).filePath(QDir(dir).entryList({"*.hqseg"})[0]);
    QFile f(segment);
    QVERIFY(f.open(QIODevice::ReadWrite));
    f.seek(qint64(at));
    char c = 0;
    QVERIFY(f.getChar(&c));
    f.seek(qint64(at));
    QVERIFY(f.putChar(char(c ^ 0x04)));
}

// What is written to standard error while it lives (the viewer tells problems there).
class StderrCapture {
public:
    StderrCapture() {
        QVERIFY(file_.open());
        std::fflush(stderr);
#if defined(_WIN32)
        saved_ = _dup(_fileno(stderr));
        _dup2(file_.handle(), _fileno(stderr));
#else
        saved_ = dup(fileno(stderr));
        dup2(file_.handle(), fileno(stderr));
#endif
    }
    ~StderrCapture() {
        restore();
    }
    QString text() {
        restore();
        file_.seek(0);
        return QString::fromUtf8(file_.readAll());
    }

private:
    void restore() {
        if (saved_ < 0)
            return;
        std::fflush(stderr);
#if defined(_WIN32)
        _dup2(saved_, _fileno(stderr));
        _close(saved_);
#else
        dup2(saved_, fileno(stderr));
        close(saved_);
#endif
        saved_ = -1;
    }
    QTemporaryFile file_;
    int saved_ = -1;
};

void sendMouse(QWidget* w, QEvent::Type type, QPoint at, Qt::MouseButton button,
               Qt::MouseButtons buttons) {
    QMouseEvent e(type, QPointF(at), QPointF(w->mapToGlobal(at)), button, buttons, Qt::NoModifier);
    QCoreApplication::sendEvent(w, &e);
}

void sendWheel(QWidget* w, QPoint at, int notches) {
    QWheelEvent e(QPointF(at), QPointF(w->mapToGlobal(at)), QPoint(), QPoint(0, 120 * notches),
                  Qt::NoButton, Qt::NoModifier, Qt::NoScrollPhase, false);
    QCoreApplication::sendEvent(w, &e);
}

class NoCommands : public hq::service::ServiceCommands {
public:
    void SendSerialNumber(std::int32_t) override {}
    void SendDispLdr() override {}
    void SendWdtTest() override {}
    QString serialNumberCaption() const override { return {}; }
};

class NoMail : public hq::service::MailTransport {
public:
    hq::service::MailSendResult send(const hq::platform::MailMessage&) override { return {}; }
};

QString statusText(const HistoryViewer& viewer) {
    return viewer.findChild<QLabel*>("StatusLabel")->text();
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
    void keysZoomOutAndGoToEitherEnd_data();
    void keysZoomOutAndGoToEitherEnd();
    void mouseDragPansAndWheelZooms();
    void problemsAreToldOnceHoweverOftenTheFolderIsReadAgain();
    void verlaufOpensTheViewerOverTheRecordedCabinet();
    void verlaufDoesNotWaitForABusyWriter();
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
    hq::service::HistoryStore all(hq::service::seriesEncodings());
    for (const Row& r : rows)
        all.append(r.timeMs, sampleOfRow(r));
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
    HistoryViewer* viewer = openHistoryWindow(tmp.path(), nullptr, &error);
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

void TestHistoryView::keysZoomOutAndGoToEitherEnd_data() {
    QTest::addColumn<int>("key");
    QTest::addColumn<QString>("expect"); // "zoom out", "first", "last"
    QTest::newRow("Down zooms out") << int(Qt::Key_Down) << "zoom out";
    QTest::newRow("Minus zooms out") << int(Qt::Key_Minus) << "zoom out";
    QTest::newRow("Home goes to the first record") << int(Qt::Key_Home) << "first";
    QTest::newRow("End goes to the newest record") << int(Qt::Key_End) << "last";
}

void TestHistoryView::keysZoomOutAndGoToEitherEnd() {
    QFETCH(int, key);
    QFETCH(QString, expect);
    QTemporaryDir tmp;
    const std::vector<Row> rows = writeSimulated(tmp.path(), 4 * 3600); // four hours
    QString error;
    std::unique_ptr<HistoryViewer> viewer(openHistoryWindow(tmp.path(), nullptr, &error));
    QVERIFY2(viewer, qPrintable(error));
    hq::service::MeasurementChart* chart = viewer->chart();
    // An hour in the middle of the four.
    const double first = double(rows.front().timeMs), last = double(rows.back().timeMs);
    chart->setBottomRange(first + 3600000.0, first + 2 * 3600000.0);
    const double from = chart->viewFromMs(), to = chart->viewToMs(), width = to - from;
    QTest::keyClick(chart, Qt::Key(key));
    if (expect == "zoom out") {
        QVERIFY(qAbs(chart->viewFromMs() - (from - width / 2)) < 1);
        QVERIFY(qAbs(chart->viewToMs() - (to + width / 2)) < 1);
    } else if (expect == "first") {
        QVERIFY(qAbs(chart->viewFromMs() - first) < 1);
        QVERIFY(qAbs(chart->viewToMs() - (first + width)) < 1);
    } else {
        QVERIFY(qAbs(chart->viewToMs() - last) < 1);
        QVERIFY(qAbs(chart->viewFromMs() - (last - width)) < 1);
    }
    // The chart's records follow the view.
    QTRY_VERIFY(chart->store().size() > 0 &&
                double(chart->store().firstTime()) <= std::max(chart->viewFromMs(), first) &&
                double(chart->store().lastTime()) >= std::min(chart->viewToMs(), last));
}

void TestHistoryView::mouseDragPansAndWheelZooms() {
    QTemporaryDir tmp;
    const std::vector<Row> rows = writeSimulated(tmp.path(), 4 * 3600);
    QString error;
    std::unique_ptr<HistoryViewer> viewer(openHistoryWindow(tmp.path(), nullptr, &error));
    QVERIFY2(viewer, qPrintable(error));
    QVERIFY(QTest::qWaitForWindowExposed(viewer.get()));
    hq::service::MeasurementChart* chart = viewer->chart();
    viewer->showRange(HistoryViewer::Range::Hour);
    QCPAxisRect* rect = chart->axisRect();
    const double from = chart->viewFromMs(), to = chart->viewToMs(), width = to - from;
    const double msPerPixel = width / rect->width();
    // Dragged 60 % of the plot to the right: the view goes back in time by what that showed,
    // further than the records the viewer had read around it.
    const QPoint start(rect->left() + rect->width() / 5, rect->center().y());
    const int drag = rect->width() * 3 / 5;
    sendMouse(chart, QEvent::MouseButtonPress, start, Qt::LeftButton, Qt::LeftButton);
    sendMouse(chart, QEvent::MouseMove, start + QPoint(drag / 2, 0), Qt::NoButton, Qt::LeftButton);
    sendMouse(chart, QEvent::MouseMove, start + QPoint(drag, 0), Qt::NoButton, Qt::LeftButton);
    sendMouse(chart, QEvent::MouseButtonRelease, start + QPoint(drag, 0), Qt::LeftButton,
              Qt::NoButton);
    QVERIFY2(qAbs(chart->viewFromMs() - (from - drag * msPerPixel)) < msPerPixel,
             qPrintable(QString::number(chart->viewFromMs() - from)));
    QVERIFY(qAbs(chart->viewToMs() - chart->viewFromMs() - width) < 1);
    QTRY_VERIFY(chart->store().size() > 0 &&
                double(chart->store().firstTime()) <= chart->viewFromMs() &&
                double(chart->store().lastTime()) >= chart->viewToMs());
    // One notch of the wheel away from the user zooms in about the time under the mouse, one
    // towards the user zooms out again.
    const QPoint at(rect->left() + rect->width() / 3, rect->center().y());
    const double under = chart->xAxis->pixelToCoord(at.x()) * 1000.0;
    const double factor = rect->rangeZoomFactor(Qt::Horizontal);
    QVERIFY(factor > 0 && factor < 1);
    sendWheel(chart, at, 1);
    QVERIFY(qAbs(chart->viewToMs() - chart->viewFromMs() - width * factor) < 1);
    QVERIFY(qAbs(chart->xAxis->pixelToCoord(at.x()) * 1000.0 - under) < msPerPixel);
    sendWheel(chart, at, -1);
    QVERIFY(qAbs(chart->viewToMs() - chart->viewFromMs() - width) < 1);
    QVERIFY(qAbs(chart->xAxis->pixelToCoord(at.x()) * 1000.0 - under) < msPerPixel);
}

void TestHistoryView::problemsAreToldOnceHoweverOftenTheFolderIsReadAgain() {
    QTemporaryDir tmp;
    const std::vector<Row> rows = writeSimulated(tmp.path(), 640); // ten blocks
    std::uint64_t summaryAt = 0;
    {
        auto reader = ArchiveReader::open(tmp.path());
        QCOMPARE(reader->blocks().size(), std::size_t(10));
        summaryAt = reader->blocks()[3].offset + hq::history::kBlockHeaderSize + 2;
    }
    // A flipped bit in a block's summary, and the last block torn (no writer at work).
    flipBit(tmp.path(), summaryAt);
    QFile::remove(QDir(tmp.path()).filePath(kJournalFileName));
    const QString segment = QDir(tmp.path()).filePath(QDir(tmp.path()).entryList({"*.hqseg"})[0]);
    QVERIFY(QFile(segment).resize(QFileInfo(segment).size() - 10));
    StderrCapture err;
    QString error;
    std::unique_ptr<HistoryViewer> viewer(openHistoryWindow(tmp.path(), nullptr, &error));
    QVERIFY2(viewer, qPrintable(error));
    // Each range chosen reads the folder again: month, week, day.
    auto* box = viewer->findChild<QComboBox*>("RangeBox");
    for (int i = 0; i < 3; ++i)
        QTest::keyClick(box, Qt::Key_Up);
    QCOMPARE(viewer->range(), HistoryViewer::Range::Day);
    viewer->updateView();
    const QString told = err.text();
    QCOMPARE(told.count(QStringLiteral("history: ")), 2);
    QVERIFY2(told.contains("damaged block") && told.contains("torn block dropped"),
             qPrintable(told));
    QCOMPARE(statusText(*viewer),
             QStringLiteral("%1 Datens\u00e4tze, 2 besch\u00e4digt").arg(rows.size() - 2 * 64));
    QCOMPARE(viewer->findChild<QLabel*>("StatusLabel")->toolTip().split('\n').size(), 2);
}

void TestHistoryView::verlaufOpensTheViewerOverTheRecordedCabinet() {
    QTemporaryDir root;
    RecorderOptions options;
    options.root = root.path();
    HistoryRecorder recorder(options);
    NoCommands commands;
    NoMail mail;
    hq::service::InternForm intern(commands, mail, QStringLiteral("help@example.com"));
    QStringList errors;
    connectHistoryButton(intern, recorder, root.path(),
                         [&errors](const QString& text) { errors << text; });
    auto* button = intern.findChild<QPushButton*>("ButtonVerlauf");
    QVERIFY(button);
    // Nothing stored yet: said so, no window.
    button->click();
    QCOMPARE(errors.size(), 1);
    QVERIFY2(errors[0].contains("No history has been stored yet") &&
                 errors[0].contains(QDir::toNativeSeparators(root.path())),
             qPrintable(errors[0]));
    QVERIFY(!intern.findChild<HistoryViewer*>());
    // Records of cabinet 4711, none of them written yet when the button is clicked: the viewer
    // shows every one.
    recorder.beginCabinet(QStringLiteral("HQ0004711"));
    recorder.setSerialNumber(4711);
    for (std::uint64_t i = 0; i < 500; ++i)
        recorder.append(hq::testing::IndexedRow(i));
    button->click();
    QCOMPARE(errors.size(), 1);
    auto* viewer = intern.findChild<HistoryViewer*>();
    QVERIFY(viewer);
    QVERIFY(viewer->isWindow());
    QVERIFY(viewer->windowTitle().contains(
        QDir::toNativeSeparators(cabinetDirectory(root.path(), "4711"))));
    QTRY_COMPARE(statusText(*viewer), QStringLiteral("500 Datens\u00e4tze"));
}

void TestHistoryView::verlaufDoesNotWaitForABusyWriter() {
    QTemporaryDir root;
    RecorderOptions options;
    options.root = root.path();
    options.writer = hq::testing::SmallBlocks(64);
    HistoryRecorder recorder(options);
    recorder.beginCabinet(QStringLiteral("HQ0004711"));
    recorder.setSerialNumber(4711);
    for (std::uint64_t i = 0; i < 100; ++i)
        recorder.append(hq::testing::IndexedRow(i));
    recorder.sync();
    // Another program writes cabinet 4712. The writer thread is told to write 4712 for a moment
    // (its lock is waited for two seconds before the writer gives up) and then 4711 again, with
    // newer records: those reach the folder two seconds after the click at the earliest.
    const QString other = cabinetDirectory(root.path(), "4712");
    QVERIFY(QDir().mkpath(other));
    QLockFile lock(other + "/" + kLockFileName);
    QVERIFY(lock.tryLock(0));
    for (std::uint64_t i = 100; i < 300; ++i)
        recorder.append(hq::testing::IndexedRow(i));
    recorder.beginCabinet(QStringLiteral("HQ0004712"));
    recorder.setSerialNumber(4712);
    recorder.beginCabinet(QStringLiteral("HQ0004711"));
    recorder.setSerialNumber(4711);
    for (std::uint64_t i = 300; i < 400; ++i)
        recorder.append(hq::testing::IndexedRow(i));
    QElapsedTimer clock;
    clock.start();
    QString error;
    std::unique_ptr<HistoryViewer> viewer(openRecordedHistory(
        recorder, root.path(), nullptr, &error, std::chrono::milliseconds(100)));
    const qint64 waited = clock.elapsed();
    QVERIFY2(viewer, qPrintable(error));
    QVERIFY2(waited < 1000, qPrintable(QString::number(waited)));
    QVERIFY(viewer->windowTitle().contains(
        QDir::toNativeSeparators(cabinetDirectory(root.path(), "4711"))));
    // Once the writer thread is through, the viewer reads the folder again: every record of 4711
    // up to the click.
    QTRY_COMPARE_WITH_TIMEOUT(statusText(*viewer), QStringLiteral("400 Datens\u00e4tze"), 10000);
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
    const hq::service::LoadedChart loaded = hq::service::loadChartFile(file + ".hqchart");
    QVERIFY2(loaded.ok(), qPrintable(loaded.error));
    QCOMPARE(loaded.store->size(), std::size_t(3000));
    for (std::size_t i = 0; i < 3000; i += 97) {
        QCOMPARE(loaded.store->timeAt(i), rows[1000 + i].timeMs);
        QCOMPARE(loaded.store->sampleAt(i), sampleOfRow(rows[1000 + i]));
    }
    QCOMPARE(loaded.settings.series[4].title, QStringLiteral("HYT down %r.H."));
}

QTEST_MAIN(TestHistoryView)
#include "test_history_view.moc"
