// Service chart with a wide dashed pen: 200 000 noisy records, only "prog" shown with a dashed pen
// of 2, 8, 9 or 20 pixels, 1600 x 900 offscreen, redraw of the whole history. Side by side: the
// chart's own drawing and QCustomPlot's stroking of the same points with the same pen (what the
// chart fell back to for pens wider than 8 pixels), the latter timed once per width as it is slow.
// Goal: at most 50 ms per redraw at every width.
#include "service/measurement_chart.h"
#include "service/plot_series.h"

#include <benchmark/benchmark.h>

#include <QApplication>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <map>
#include <memory>
#include <random>
#include <vector>

using namespace hq::service;

namespace {

constexpr std::int64_t kStart = 1'765'000'000'000;
constexpr int kWidth = 1600, kHeight = 900;
constexpr int kRecords = 200'000;
constexpr int kProg = 11; // the dashed series

std::map<int, std::vector<double>>& chartRuns() {
    static std::map<int, std::vector<double>> r;
    return r;
}
std::map<int, std::vector<double>>& libraryRuns() {
    static std::map<int, std::vector<double>> r;
    return r;
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

// Heavy noise on a slow wave, every record: a zigzag band in every pixel column.
std::unique_ptr<MeasurementChart> makeChart(int penWidth) {
    auto chart = std::make_unique<MeasurementChart>();
    chart->resize(kWidth, kHeight);
    ChartSettings s = chart->settings();
    for (auto& st : s.series)
        st.visible = false;
    s.series[kProg].visible = true;
    s.series[kProg].penWidth = penWidth;
    s.left = {0, 300, false, true};
    chart->applySettings(s);
    std::mt19937 rng(42);
    RawSample sample{};
    for (int i = 0; i < kRecords; ++i) {
        const double v = 150 + 100 * std::sin(i / 5000.0) + double(int(rng() % 61) - 30);
        sample[kProg] = std::uint16_t(v);
        chart->appendRecord(kStart + std::int64_t(i) * 1000, sample);
    }
    chart->show();
    chart->replot();
    return chart;
}

// The same points, pen and axes in a plain QCustomPlot graph: QCustomPlot strokes the polyline.
std::unique_ptr<QCustomPlot> makeLibraryPlot(MeasurementChart& like) {
    auto plot = std::make_unique<QCustomPlot>();
    plot->resize(kWidth, kHeight);
    plot->setNotAntialiasedElements(QCP::aeAll);
    plot->setPlottingHints(like.plottingHints());
    plot->xAxis->setRange(like.xAxis->range());
    plot->yAxis->setRange(like.yAxis->range());
    QCPGraph* g = plot->addGraph();
    g->setAdaptiveSampling(false);
    g->setPen(like.seriesGraph(kProg)->pen());
    QVector<QCPGraphData> data;
    for (const PlotPoint& p : like.currentPoints(kProg))
        data.append(QCPGraphData(double(p.timeMs) / 1000, p.value));
    g->data()->set(data, true);
    plot->show();
    return plot;
}

double timedRedraw(QCustomPlot& plot, int turn) {
    const QCPRange r = plot.xAxis->range();
    const auto a = std::chrono::steady_clock::now();
    plot.xAxis->setRange(r.lower + ((turn & 1) ? 1e-3 : -1e-3), r.upper);
    plot.replot(QCustomPlot::rpImmediateRefresh);
    return msSince(a);
}

void BM_DashedRedraw(benchmark::State& state) {
    const int width = int(state.range(0));
    const auto chart = makeChart(width);
    auto& runs = chartRuns()[width];
    int k = 0;
    for (auto _ : state)
        runs.push_back(timedRedraw(*chart, k++));
    state.counters["points"] = double(chart->currentPoints(kProg).size());
}

void BM_DashedRedrawLibrary(benchmark::State& state) {
    const int width = int(state.range(0));
    const auto chart = makeChart(width);
    const auto plot = makeLibraryPlot(*chart);
    auto& runs = libraryRuns()[width];
    int k = 0;
    for (auto _ : state)
        runs.push_back(timedRedraw(*plot, k++));
}

} // namespace

BENCHMARK(BM_DashedRedraw)
    ->Arg(2)
    ->Arg(8)
    ->Arg(9)
    ->Arg(20)
    ->Iterations(30)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_DashedRedrawLibrary)
    ->Arg(2)
    ->Arg(9)
    ->Arg(20)
    ->Iterations(1)
    ->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
    QApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    std::printf("\n%-10s %22s %26s %10s\n", "pen width", "chart redraw (median)",
                "QCustomPlot stroking (1 run)", "goal");
    for (const auto& [width, runs] : chartRuns()) {
        const auto lib = libraryRuns().find(width);
        char library[32] = "-";
        if (lib != libraryRuns().end())
            std::snprintf(library, sizeof library, "%.1f ms", median(lib->second));
        std::printf("%-10d %19.2f ms %26s %10s\n", width, median(runs), library, "<= 50 ms");
    }
    return 0;
}
