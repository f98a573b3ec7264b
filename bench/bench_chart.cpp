// Service chart: store-backed drawing against plain QCustomPlot with every point, autosize,
// append latency and memory per record. Synthetic cabinet records, 1600 x 900, offscreen,
// all 18 series shown.
#include "../tests/service/synthetic_status.h"
#include "service/measurement_chart.h"
#include "service/plot_series.h"

#include <benchmark/benchmark.h>

#include <QApplication>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

using namespace hq::service;

namespace {

constexpr std::int64_t kStart = 1'765'000'000'000;
constexpr int kWidth = 1600, kHeight = 900;

// Every timed run of every figure, for the side-by-side summary printed after the runs.
std::map<std::string, std::vector<double>>& figures() {
    static std::map<std::string, std::vector<double>> f;
    return f;
}

double median(std::vector<double> v) {
    if (v.empty())
        return 0;
    std::sort(v.begin(), v.end());
    const std::size_t n = v.size();
    return n % 2 ? v[n / 2] : (v[n / 2 - 1] + v[n / 2]) / 2;
}

double msSince(std::chrono::steady_clock::time_point a) {
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - a).count();
}

const std::vector<RawSample>& samples() {
    static const std::vector<RawSample> kTable = [] {
        hq::testing::SyntheticCabinet cabinet(7);
        std::vector<RawSample> t;
        t.reserve(200'000);
        for (int i = 0; i < 200'000; ++i)
            t.push_back(sampleFromStatus(cabinet.record(i)));
        return t;
    }();
    return kTable;
}

void showAll(MeasurementChart& chart) {
    ChartSettings s = chart.settings();
    for (auto& st : s.series)
        st.visible = true;
    s.left = {-50, 1100, false, true};
    chart.applySettings(s);
}

std::unique_ptr<MeasurementChart> makeChart(std::size_t records) {
    auto chart = std::make_unique<MeasurementChart>();
    chart->resize(kWidth, kHeight);
    showAll(*chart);
    const auto& t = samples();
    for (std::size_t i = 0; i < records; ++i)
        chart->appendRecord(kStart + std::int64_t(i) * 1000, t[i % t.size()]);
    chart->show();
    chart->replot();
    return chart;
}

std::unique_ptr<QCustomPlot> makePlain(const MeasurementChart& like) {
    auto plot = std::make_unique<QCustomPlot>();
    plot->resize(kWidth, kHeight);
    plot->setNotAntialiasedElements(QCP::aeAll);
    plot->setPlottingHints(like.plottingHints());
    plot->xAxis->setTicker(like.xAxis->ticker());
    const HistoryStore& store = like.store();
    QVector<QCPGraphData> data(qsizetype(store.size()));
    for (int s = 0; s < kSeriesCount; ++s) {
        QCPGraph* g = plot->addGraph();
        g->setPen(like.seriesGraph(s)->pen());
        g->setBrush(like.seriesGraph(s)->brush());
        for (std::size_t i = 0; i < store.size(); ++i)
            data[qsizetype(i)] = QCPGraphData(double(store.timeAt(i)) / 1000, store.valueAt(s, i));
        g->data()->set(data, true);
    }
    plot->xAxis->setRange(like.xAxis->range());
    plot->yAxis->setRange(like.yAxis->range());
    plot->show();
    plot->replot();
    return plot;
}

std::unique_ptr<MeasurementChart>& sharedChart() {
    static std::unique_ptr<MeasurementChart> chart;
    return chart;
}

MeasurementChart* chartOf(std::size_t records) {
    std::unique_ptr<MeasurementChart>& chart = sharedChart();
    static std::size_t size = 0;
    if (!chart || size != records) {
        chart.reset();
        chart = makeChart(records);
        size = records;
    }
    return chart.get();
}

// One full-history redraw in milliseconds; the range is nudged on odd turns so nothing is reused
// from the last one.
double timedRedraw(MeasurementChart& chart, int turn) {
    const double from = double(chart.store().firstTime()) / 1000;
    const double to = double(chart.store().lastTime()) / 1000;
    const auto a = std::chrono::steady_clock::now();
    chart.xAxis->setRange(from - (turn & 1) * 1e-3, to);
    chart.replot(QCustomPlot::rpImmediateRefresh);
    return msSince(a);
}

void BM_RedrawStore(benchmark::State& state) {
    MeasurementChart* chart = chartOf(std::size_t(state.range(0)));
    auto& runs = figures()["redraw_store_" + std::to_string(state.range(0))];
    int k = 0;
    for (auto _ : state)
        runs.push_back(timedRedraw(*chart, k++));
    state.counters["records"] = double(chart->store().size());
}

// Both histories side by side: redraws of a 2.6 M and a 26 M record chart alternate, so both
// meet the same load on the machine, and the ratio is taken pair by pair.
void BM_RedrawSideBySide(benchmark::State& state) {
    MeasurementChart* large = chartOf(26'000'000);
    const std::unique_ptr<MeasurementChart> small = makeChart(2'600'000);
    auto& f = figures();
    int k = 0;
    for (auto _ : state) {
        const double ms[2] = {timedRedraw(*small, k), timedRedraw(*large, k)};
        f["pair_2600000"].push_back(ms[0]);
        f["pair_26000000"].push_back(ms[1]);
        f["pair_ratio"].push_back(ms[1] / ms[0]);
        ++k;
    }
}

void BM_RedrawPlain(benchmark::State& state) {
    MeasurementChart* chart = chartOf(std::size_t(state.range(0)));
    chart->xAxis->setRange(double(chart->store().firstTime()) / 1000,
                           double(chart->store().lastTime()) / 1000);
    auto plain = makePlain(*chart);
    const QCPRange r = plain->xAxis->range();
    auto& runs = figures()["redraw_plain_" + std::to_string(state.range(0))];
    int k = 0;
    for (auto _ : state) {
        const auto a = std::chrono::steady_clock::now();
        plain->xAxis->setRange(r.lower - (k & 1) * 1e-3, r.upper);
        plain->replot(QCustomPlot::rpImmediateRefresh);
        runs.push_back(msSince(a));
        ++k;
    }
}

// The store's share of a redraw: the column plan and the points of all 18 series.
void BM_Decimate(benchmark::State& state) {
    MeasurementChart* chart = chartOf(std::size_t(state.range(0)));
    const HistoryStore& store = chart->store();
    const int columns = 2 * chart->axisRect()->width();
    SeriesPoints points;
    std::size_t yielded = 0;
    auto& runs = figures()["decimate_" + std::to_string(state.range(0))];
    for (auto _ : state) {
        const auto a = std::chrono::steady_clock::now();
        const ColumnPlan plan =
            store.plan(double(store.firstTime()), double(store.lastTime()), columns);
        store.decimate(plan, (std::uint32_t{1} << kSeriesCount) - 1, points);
        runs.push_back(msSince(a));
        yielded = 0;
        for (const auto& p : points)
            yielded += p.size();
    }
    state.counters["points"] = double(yielded);
}

void BM_Autosize(benchmark::State& state) {
    MeasurementChart* chart = chartOf(std::size_t(state.range(0)));
    auto& runs = figures()["autosize_" + std::to_string(state.range(0))];
    for (auto _ : state) {
        const auto a = std::chrono::steady_clock::now();
        chart->autosize();
        runs.push_back(msSince(a));
    }
}

long rssBytes() {
    std::ifstream statm("/proc/self/statm");
    long pages = 0, resident = 0;
    statm >> pages >> resident;
    return resident * 4096;
}

// Appends 10 million records one by one, timing each.
void BM_Append(benchmark::State& state) {
    const std::size_t n = 10'000'000;
    const auto& t = samples();
    std::vector<float> ns(n);
    double perRecord = 0, storeBytes = 0;
    for (auto _ : state) {
        chartOf(0);
        MeasurementChart chart;
        showAll(chart);
        long rss1 = 0;
        for (std::size_t i = 0; i < n; ++i) {
            const auto a = std::chrono::steady_clock::now();
            chart.appendRecord(kStart + std::int64_t(i) * 1000, t[i % t.size()]);
            const auto b = std::chrono::steady_clock::now();
            ns[i] = float(std::chrono::duration<double, std::nano>(b - a).count());
            if (i + 1 == 1'000'000)
                rss1 = rssBytes();
        }
        perRecord = double(rssBytes() - rss1) / double(n - 1'000'000);
        storeBytes = double(chart.store().memoryBytes()) / double(n);
    }
    double first = 0, last = 0, all = 0;
    for (std::size_t i = 0; i < 100'000; ++i)
        first += ns[i];
    for (std::size_t i = n - 1'000'000; i < n; ++i)
        last += ns[i];
    for (float v : ns)
        all += v;
    first /= 100'000;
    last /= 1'000'000;
    std::vector<float> sorted = ns;
    std::nth_element(sorted.begin(), sorted.begin() + std::ptrdiff_t(n * 999 / 1000), sorted.end());
    const double p999 = sorted[n * 999 / 1000];
    const double mx = *std::max_element(ns.begin(), ns.end());
    state.counters["mean_ns"] = all / double(n);
    state.counters["first100k_ns"] = first;
    state.counters["last1M_ns"] = last;
    state.counters["flatness"] = last / first;
    state.counters["p99.9_ns"] = p999;
    state.counters["max_ns"] = mx;
    state.counters["rss_B_per_record"] = perRecord;
    state.counters["store_B_per_record"] = storeBytes;
    auto& f = figures();
    f["append_mean_us"] = {all / double(n) / 1000};
    f["append_first100k_us"] = {first / 1000};
    f["append_last1M_us"] = {last / 1000};
    f["append_p999_us"] = {p999 / 1000};
    f["append_max_us"] = {mx / 1000};
    f["rss_B_per_record"] = {perRecord};
    f["store_B_per_record"] = {storeBytes};
}

// The figures of all runs side by side (medians of the timed runs), with their goals.
void printSummary() {
    auto& f = figures();
    auto m = [&](const char* key) { return median(f[key]); };
    const double store26 = m("redraw_store_2600000"), plain26 = m("redraw_plain_2600000");
    const double store260 = m("redraw_store_26000000");
    // A figure whose benchmark did not run (filtered out) is reported as not measured.
    auto line = [](const char* what, double v, const char* unit, const char* goal, bool ok) {
        std::printf("  %-46s %10.3f %-6s %-10s %s\n", what, v, unit, goal,
                    v == 0 ? "not measured"
                    : ok   ? "ok"
                           : "MISSED");
    };
    std::printf("\nService chart, %d x %d offscreen, all %d series shown (medians)\n", kWidth,
                kHeight, kSeriesCount);
    line("redraw 2.6 M records, store-backed", store26, "ms", "<= 30", store26 <= 30);
    std::printf("  %-46s %10.3f %-6s\n", "redraw 2.6 M records, plain QCustomPlot", plain26, "ms");
    std::printf("  %-46s %10.3f %-6s\n", "redraw 26 M records, store-backed", store260, "ms");
    const double ratio = store26 > 0 ? store260 / store26 : 0;
    line("redraw 26 M / redraw 2.6 M", ratio, "", "<= 1.3", ratio <= 1.3);
    const double pairRatio = m("pair_ratio");
    std::printf("  %-46s %10.3f %-6s\n", "alternating in one run: redraw 2.6 M", m("pair_2600000"),
                "ms");
    std::printf("  %-46s %10.3f %-6s\n", "alternating in one run: redraw 26 M", m("pair_26000000"),
                "ms");
    line("alternating: 26 M / 2.6 M, pair by pair", pairRatio, "", "<= 1.3", pairRatio <= 1.3);
    std::printf("  %-46s %10.3f %-6s\n", "  of which store decimation at 2.6 M",
                m("decimate_2600000"), "ms");
    std::printf("  %-46s %10.3f %-6s\n", "  of which store decimation at 26 M",
                m("decimate_26000000"), "ms");
    const double autosize = m("autosize_2600000");
    line("Autosize at 2.6 M records", autosize, "ms", "<= 1", autosize <= 1);
    const double rss = m("rss_B_per_record");
    line("memory growth per record, 1 M .. 10 M (RSS)", rss, "B", "<= 64", rss <= 64);
    const double storeB = m("store_B_per_record");
    std::printf("  %-46s %10.3f %-6s\n", "store footprint per record", storeB, "B");
    std::printf("  %-46s %10.3f %-6s\n", "store footprint per day (86 400 records)",
                storeB * 86400 / (1024 * 1024), "MiB");
    const double mean = m("append_mean_us");
    line("append mean, 0 .. 10 M", mean, "us", "<= 2", mean <= 2);
    const double first = m("append_first100k_us"), last = m("append_last1M_us");
    std::printf("  %-46s %10.3f %-6s\n", "append mean, first 100 000", first, "us");
    std::printf("  %-46s %10.3f %-6s\n", "append mean, last million", last, "us");
    const double flat = first > 0 ? last / first : 0;
    line("append last million / first 100 000", flat, "", "<= 1.3", flat <= 1.3);
    const double p999 = m("append_p999_us");
    line("append p99.9", p999, "us", "<= 50", p999 <= 50);
    std::printf("  %-46s %10.3f %-6s\n", "append max", m("append_max_us"), "us");
}

} // namespace

BENCHMARK(BM_Append)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_RedrawStore)
    ->Arg(2'600'000)
    ->Unit(benchmark::kMillisecond)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);
BENCHMARK(BM_Decimate)
    ->Arg(2'600'000)
    ->Unit(benchmark::kMillisecond)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);
BENCHMARK(BM_Autosize)
    ->Arg(2'600'000)
    ->Unit(benchmark::kMicrosecond)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);
BENCHMARK(BM_RedrawPlain)
    ->Arg(2'600'000)
    ->Unit(benchmark::kMillisecond)
    ->Iterations(3)
    ->Repetitions(3)
    ->ReportAggregatesOnly(true);
BENCHMARK(BM_RedrawStore)
    ->Arg(26'000'000)
    ->Unit(benchmark::kMillisecond)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);
BENCHMARK(BM_Decimate)
    ->Arg(26'000'000)
    ->Unit(benchmark::kMillisecond)
    ->Repetitions(5)
    ->ReportAggregatesOnly(true);
BENCHMARK(BM_RedrawSideBySide)->Iterations(200)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    sharedChart().reset(); // widgets go before the application object
    printSummary();
    benchmark::Shutdown();
    return 0;
}
