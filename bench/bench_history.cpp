// The stored history against the in-memory history store of the service chart, side by side in
// one run, on the simulated cabinet's records (sim::Cabinet as it is; one record a second with
// up to 16 ms of poll jitter): bytes per record, append on the user-interface thread, the writer
// thread's processor time at 1000 records a second (and that every record was stored), and a year
// of history in the viewer (first complete paint, whole-year redraw at 1600 x 900 with all 18
// series, memory per record). Times are wall-clock; the redraws also give the user-interface
// thread's processor time, which other programs on a loaded machine disturb less.
//
// The year (31.5 M records) is written once to $HQ_BENCH_DIR (default /tmp/hq_bench_history)
// and reused by later runs.
#include "../tests/history/sim_rows.h"
#include "history/archive_location.h"
#include "history/archive_reader.h"
#include "history/archive_writer.h"
#include "history/history_export.h"
#include "history/history_recorder.h"
#include "history/history_viewer.h"
#include "service/measurement_chart.h"
#include "service/plot_series.h"

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QDir>
#include <QTemporaryDir>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <ctime>
#include <fstream>
#include <map>
#include <string>
#include <sys/resource.h>
#include <thread>
#include <unistd.h>

using namespace hq;

namespace {

constexpr std::int64_t kStart = 1'733'011'200'000; // 2024-12-01T00:00:00Z
constexpr std::size_t kYear = 31'536'000;
constexpr int kWidth = 1600, kHeight = 900;

std::map<std::string, std::vector<double>>& figures() {
    static std::map<std::string, std::vector<double>> f;
    return f;
}
void note(const std::string& name, double v) {
    figures()[name].push_back(v);
}
double median(std::vector<double> v) {
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    return v.size() % 2 ? v[v.size() / 2] : (v[v.size() / 2 - 1] + v[v.size() / 2]) / 2;
}
double msSince(std::chrono::steady_clock::time_point a) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - a).count();
}
double rssBytes() {
    std::ifstream f("/proc/self/statm");
    long pages = 0, rss = 0;
    f >> pages >> rss;
    return double(rss) * double(sysconf(_SC_PAGESIZE));
}
double processCpuMs() {
    rusage u{};
    getrusage(RUSAGE_SELF, &u);
    return u.ru_utime.tv_sec * 1e3 + u.ru_utime.tv_usec / 1e3 + u.ru_stime.tv_sec * 1e3 +
           u.ru_stime.tv_usec / 1e3;
}
double threadCpuMs() {
    timespec t{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
    return t.tv_sec * 1e3 + t.tv_nsec / 1e6;
}

const std::vector<history::Row>& simRows() {
    static const std::vector<history::Row> kRows = [] {
        testing::SimulatedRows sim(kStart);
        std::vector<history::Row> v(604'800); // a week
        for (auto& r : v)
            r = sim.next();
        return v;
    }();
    return kRows;
}

QString benchDir() {
    const QString d = qEnvironmentVariable("HQ_BENCH_DIR", QStringLiteral("/tmp/hq_bench_history"));
    QDir().mkpath(d);
    return d;
}

// --- bytes per record -------------------------------------------------------------------------

void BM_BytesPerRecord(benchmark::State& state) {
    const auto& rows = simRows();
    for (auto _ : state) {
        QTemporaryDir tmp;
        {
            std::vector<std::string> notices;
            history::WriterOptions o;
            o.nowMs = [] { return kStart; }; // the retention keeps the (past) week
            auto w = history::ArchiveWriter::open(tmp.path() + "/1", "1", o, notices);
            for (const auto& r : rows)
                (void)(*w)->append(r);
        }
        auto reader = history::ArchiveReader::open(tmp.path() + "/1");
        const double disk = double(reader->bytesOnDisk()) / double(rows.size());
        service::HistoryStore store(service::seriesEncodings());
        for (const auto& r : rows)
            store.append(r.timeMs, history::sampleOfRow(r));
        const double memory = double(store.memoryBytes()) / double(store.size());
        state.counters["disk_bytes_per_record"] = disk;
        state.counters["store_bytes_per_record"] = memory;
        note("bytes per record: stored history on disk (all 27 fields + time)", disk);
        note("bytes per record: in-memory store (18 plotted codes + time)", memory);
    }
}
BENCHMARK(BM_BytesPerRecord)->Iterations(1)->Unit(benchmark::kMillisecond);

// --- append on the user-interface thread --------------------------------------------------------

void BM_AppendRecorder(benchmark::State& state) {
    QTemporaryDir tmp;
    history::RecorderOptions o;
    o.root = tmp.path();
    history::HistoryRecorder recorder(o);
    recorder.beginCabinet("B");
    recorder.setSerialNumber(1);
    const auto& rows = simRows();
    std::size_t i = 0;
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        recorder.append(rows[i]);
        if (++i == rows.size())
            i = 0;
    }
    const double ns = msSince(start) * 1e6 / double(state.iterations());
    note("append mean, stored history (ns)", ns);
}
BENCHMARK(BM_AppendRecorder)->Iterations(600'000);

void BM_AppendStore(benchmark::State& state) {
    service::HistoryStore store(service::seriesEncodings());
    const auto& rows = simRows();
    std::vector<service::RawSample> samples;
    for (const auto& r : rows)
        samples.push_back(history::sampleOfRow(r));
    std::size_t i = 0;
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        store.append(rows[i].timeMs, samples[i]);
        if (++i == rows.size())
            i = 0;
    }
    const double ns = msSince(start) * 1e6 / double(state.iterations());
    note("append mean, in-memory store (ns)", ns);
}
BENCHMARK(BM_AppendStore)->Iterations(600'000);

// The recorder's append includes turning the status record into a row (the table's fields).
void BM_AppendRecorderFromStatus(benchmark::State& state) {
    QTemporaryDir tmp;
    history::RecorderOptions o;
    o.root = tmp.path();
    history::HistoryRecorder recorder(o);
    recorder.beginCabinet("B");
    recorder.setSerialNumber(1);
    std::vector<protocol::StatusRecord> records;
    for (std::size_t k = 0; k < 100'000; ++k)
        records.push_back(history::statusFromRow(simRows()[k]));
    std::size_t i = 0;
    const auto start = std::chrono::steady_clock::now();
    for (auto _ : state) {
        recorder.append(kStart + std::int64_t(i), records[i % records.size()]);
        ++i;
    }
    note("append mean from a status record, stored history (ns)",
         msSince(start) * 1e6 / double(state.iterations()));
}
BENCHMARK(BM_AppendRecorderFromStatus)->Iterations(600'000);

// --- the writer at 1000 records a second ------------------------------------------------------

// Appends at 1000 records a second; returns the mean time of one append call in ns and, in
// `count`, the records appended.
double paced(double seconds, const std::function<void(std::size_t)>& add, std::size_t& count) {
    const auto start = std::chrono::steady_clock::now();
    std::size_t n = 0;
    double total = 0;
    for (;;) {
        const double elapsed = msSince(start);
        if (elapsed >= seconds * 1000)
            break;
        const auto due = std::size_t(elapsed); // one record per millisecond
        while (n < due) {
            const auto t = std::chrono::steady_clock::now();
            add(n++);
            total += msSince(t) * 1e6;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    count = n;
    return n ? total / double(n) : 0;
}

void BM_Writer1000PerSecond(benchmark::State& state) {
    const double seconds = 10;
    const auto& rows = simRows();
    for (auto _ : state) {
        // In-memory store: the processor time of appending at that pace (on this thread).
        {
            service::HistoryStore store(service::seriesEncodings());
            std::vector<service::RawSample> samples;
            for (std::size_t k = 0; k < 20'000; ++k)
                samples.push_back(history::sampleOfRow(rows[k]));
            const double t0 = threadCpuMs();
            std::size_t appended = 0;
            const double mean = paced(
                seconds,
                [&](std::size_t n) {
                    store.append(rows[n % rows.size()].timeMs, samples[n % samples.size()]);
                },
                appended);
            note("1000 records/s: append mean, in-memory store (ns)", mean);
            note("1000 records/s: records held / appended, in-memory store",
                 double(store.size()) / double(appended));
            note("1000 records/s: in-memory store, feeding thread incl. pacing (% of a core)",
                 (threadCpuMs() - t0) / (seconds * 10));
        }
        QTemporaryDir tmp;
        history::RecorderOptions o;
        o.root = tmp.path();
        auto recorder = std::make_unique<history::HistoryRecorder>(o);
        recorder->beginCabinet("W");
        recorder->setSerialNumber(1);
        recorder->sync();
        const double p0 = processCpuMs(), t0 = threadCpuMs();
        std::size_t appended = 0;
        const double mean = paced(
            seconds, [&](std::size_t n) { recorder->append(rows[n % rows.size()]); }, appended);
        note("1000 records/s: append mean, stored history (ns)", mean);
        recorder->sync();
        const double feeder = threadCpuMs() - t0;
        const double writer = processCpuMs() - p0 - feeder;
        // Every record appended is on disk: counted back from the folder, and the last one's
        // time stamp compared.
        recorder.reset(); // the open block sealed
        auto stored = history::ArchiveReader::open(
            history::cabinetDirectory(tmp.path(), history::cabinetKey(1, "W")));
        const double count = stored ? double(stored->recordCount()) : 0;
        const bool lastKept = stored && appended > 0 && stored->lastTimeMs() &&
                              *stored->lastTimeMs() == rows[(appended - 1) % rows.size()].timeMs;
        note("1000 records/s: records stored (counted back from the folder)", count);
        note("1000 records/s: records appended", double(appended));
        if (count != double(appended) || !lastKept) {
            state.SkipWithError("the writer did not store every record");
            std::fprintf(stderr, "stored %.0f of %zu records\n", count, appended);
        }
        note("1000 records/s: stored history, feeding thread incl. pacing (% of a core)",
             feeder / (seconds * 10));
        note("1000 records/s: stored history, writer thread (% of a core)",
             writer / (seconds * 10));
        state.counters["writer_pct_core"] = writer / (seconds * 10);
    }
}
BENCHMARK(BM_Writer1000PerSecond)->Iterations(1)->Unit(benchmark::kMillisecond);

// --- a year in the viewer ---------------------------------------------------------------------

QString yearDirectory() {
    const QString root = benchDir();
    const QString dir = history::cabinetDirectory(root, "year");
    auto reader = history::ArchiveReader::open(dir);
    if (reader && reader->recordCount() == kYear)
        return dir;
    QDir(dir).removeRecursively();
    std::fprintf(stderr, "writing a year of simulated history to %s ...\n", qPrintable(dir));
    std::vector<std::string> notices;
    history::WriterOptions o;
    o.nowMs = [] { return kStart + std::int64_t(kYear) * 1000; }; // keep the whole year
    auto w = history::ArchiveWriter::open(dir, "year", o, notices);
    testing::SimulatedRows sim(kStart);
    for (std::size_t i = 0; i < kYear; ++i)
        (void)(*w)->append(sim.next());
    (void)(*w)->close();
    return dir;
}

void showAll(service::MeasurementChart& chart) {
    service::ChartSettings s = chart.settings();
    for (auto& st : s.series)
        st.visible = true;
    s.left = {-50, 1100, false, true};
    chart.applySettings(s);
}

struct Redraw {
    double wallMs = 0;
    double cpuMs = 0; // of this (the user-interface) thread
};

// Every other turn the view moves by a millisecond: the chart reduces the store again; on the
// others it draws the reduction it has.
Redraw timedRedraw(service::MeasurementChart& chart, int turn) {
    const QCPRange r = chart.xAxis->range();
    const double nudge = (turn % 2) ? 0.001 : 0.0;
    chart.xAxis->setRange(r.lower + nudge, r.upper + nudge);
    const double cpu0 = threadCpuMs();
    const auto start = std::chrono::steady_clock::now();
    chart.replot(QCustomPlot::rpImmediateRefresh);
    return {msSince(start), threadCpuMs() - cpu0};
}

std::unique_ptr<history::HistoryViewer>& yearViewer() {
    static std::unique_ptr<history::HistoryViewer> v;
    return v;
}

void BM_YearOpenFirstPaint(benchmark::State& state) {
    const QString dir = yearDirectory();
    bool firstOpen = true;
    for (auto _ : state) {
        yearViewer().reset();
        const double rss0 = rssBytes();
        const auto start = std::chrono::steady_clock::now();
        auto reader = history::ArchiveReader::open(dir);
        auto source = std::make_unique<history::HistoryViewSource>(std::move(*reader));
        auto viewer = std::make_unique<history::HistoryViewer>(std::move(source));
        viewer->resize(kWidth, kHeight + 60);
        viewer->show();
        viewer->showRange(history::HistoryViewer::Range::All);
        showAll(*viewer->chart());
        viewer->updateView();
        viewer->chart()->replot(QCustomPlot::rpImmediateRefresh);
        const double ms = msSince(start);
        const double perRecord = (rssBytes() - rss0) / double(kYear);
        note("year: open to first complete paint, stored history (ms)", ms);
        if (firstOpen) // the process's first window: Qt's own first-use costs included
            note("year: memory growth per stored record while viewing, first open (RSS, bytes)",
                 perRecord);
        else // the window before freed just now: its memory is largely reused
            note("year: memory growth per stored record while viewing, reopened (RSS, bytes)",
                 perRecord);
        firstOpen = false;
        // What the viewer holds itself: the block index and cache (HistoryViewSource), and the
        // chart's store.
        const double indexBytes = double(viewer->source().memoryBytes());
        const double held = indexBytes + double(viewer->chart()->store().memoryBytes());
        note("year: HistoryViewSource::memoryBytes() per stored record (index, cache)",
             indexBytes / double(kYear));
        note("year: bytes held per stored record while viewing (index, cache, chart store)",
             held / double(kYear));
        note("year: blocks decoded for the first paint", double(viewer->source().blocksDecoded()));
        state.counters["first_paint_ms"] = ms;
        yearViewer() = std::move(viewer);
    }
}
BENCHMARK(BM_YearOpenFirstPaint)->Iterations(3)->Unit(benchmark::kMillisecond);

void BM_YearRedrawSideBySide(benchmark::State& state) {
    const QString dir = yearDirectory();
    if (!yearViewer()) {
        auto reader = history::ArchiveReader::open(dir);
        yearViewer() = std::make_unique<history::HistoryViewer>(
            std::make_unique<history::HistoryViewSource>(std::move(*reader)));
        yearViewer()->resize(kWidth, kHeight + 60);
        yearViewer()->show();
        yearViewer()->showRange(history::HistoryViewer::Range::All);
        showAll(*yearViewer()->chart());
        yearViewer()->updateView();
    }
    service::MeasurementChart& viewerChart = *yearViewer()->chart();
    // The in-memory store of the service chart holding the same year, every record: "opened" by
    // reading every record from the folder into the store, then painted.
    const double rss0 = rssBytes();
    const auto start = std::chrono::steady_clock::now();
    auto memoryChart = std::make_unique<service::MeasurementChart>();
    memoryChart->resize(kWidth, kHeight);
    showAll(*memoryChart);
    {
        auto reader = history::ArchiveReader::open(dir);
        history::forEachRow(*reader, {}, [&](const std::vector<history::Row>& rows) {
            for (const auto& r : rows)
                memoryChart->store().append(r.timeMs, history::sampleOfRow(r));
        });
    }
    const double filledMs = msSince(start);
    memoryChart->show();
    memoryChart->autosize();
    showAll(*memoryChart);
    const auto paint = std::chrono::steady_clock::now();
    memoryChart->replot(QCustomPlot::rpImmediateRefresh);
    note("year: open to first complete paint, in-memory store (every record read into it, ms)",
         msSince(start));
    note("year: first complete paint of the filled in-memory store (ms)", msSince(paint));
    note("year: reading every record into the in-memory store (ms)", filledMs);
    note("year: memory per record, in-memory store (RSS, bytes)",
         (rssBytes() - rss0) / double(kYear));
    note("year: memory per record, in-memory store (its chunks, bytes)",
         double(memoryChart->store().memoryBytes()) / double(kYear));
    note("year: points in the viewer's store", double(viewerChart.store().size()));
    for (auto _ : state) {
        for (int turn = 0; turn < 40; ++turn) {
            const Redraw v = timedRedraw(viewerChart, turn);
            const Redraw m = timedRedraw(*memoryChart, turn);
            note("year: whole-year redraw, stored history viewer (ms)", v.wallMs);
            note("year: whole-year redraw, in-memory store (ms)", m.wallMs);
            note("year: whole-year redraw, stored history viewer (UI thread CPU, ms)", v.cpuMs);
            note("year: whole-year redraw, in-memory store (UI thread CPU, ms)", m.cpuMs);
            note("year: whole-year redraw, viewer / in-memory store, pair by pair",
                 v.wallMs / m.wallMs);
        }
    }
}
BENCHMARK(BM_YearRedrawSideBySide)->Iterations(1)->Unit(benchmark::kMillisecond);

} // namespace

std::string loadAverage() {
    std::ifstream f("/proc/loadavg");
    std::string a, b, c;
    f >> a >> b >> c;
    return a + " " + b + " " + c;
}

int main(int argc, char** argv) {
    const std::string loadBefore = loadAverage();
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    yearViewer().reset(); // before the application object goes
    std::printf("\nload average (1, 5, 15 min) before: %s, after: %s\n", loadBefore.c_str(),
                loadAverage().c_str());
    std::printf("%-84s %12s %6s\n", "figure (medians)", "value", "runs");
    for (const auto& [name, values] : figures())
        std::printf("%-84s %12.3f %6zu\n", name.c_str(), median(values), values.size());
    return 0;
}
