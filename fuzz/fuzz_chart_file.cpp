// Chart-file loader: any input must be rejected with a reason or load into a chart that
// writes back to a file loading to the same chart, that draws (offscreen, as the chart window
// would show it) and that writes its CSV export: one row per record whose time stamp lies in the
// years 1 to 9999, the others counted as left out.
#include "service/chart_export.h"
#include "service/chart_file.h"
#include "service/measurement_chart.h"

#include <QApplication>
#include <QBuffer>

#include <cstdint>
#include <cstdlib>

namespace {

QApplication& application() {
    static int argc = 1;
    static char name[] = "fuzz_chart_file";
    static char* argv[] = {name, nullptr};
    static QApplication* app = [] {
        qputenv("QT_QPA_PLATFORM", "offscreen");
        return new QApplication(argc, argv);
    }();
    return *app;
}

// Draws the chart and writes its CSV; aborts when the export loses or invents a record.
void drawAndExport(hq::service::LoadedChart& loaded) {
    using namespace hq::service;
    const HistoryStore& store = *loaded.store;
    QBuffer csv;
    csv.open(QIODevice::WriteOnly);
    std::size_t skipped = 0;
    if (!writeCsv(csv, store, 0, store.size(), &skipped).isEmpty())
        std::abort();
    std::size_t rows = 0;
    for (const QByteArray& line : csv.data().split('\n'))
        rows += !line.isEmpty() && !line.startsWith('#');
    if (skipped > store.size() || rows != store.size() - skipped + 1) // + the header
        std::abort();

    auto chart = std::make_unique<MeasurementChart>();
    chart->setChart(std::move(loaded.store), loaded.settings);
    chart->resize(320, 200);
    const QPixmap picture = chart->toPixmap(320, 200);
    if (picture.isNull())
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    application();
    QBuffer in;
    in.setData(reinterpret_cast<const char*>(data), qsizetype(size));
    in.open(QIODevice::ReadOnly);
    hq::service::LoadedChart chart = hq::service::readChart(in);
    if (!chart.ok()) {
        if (chart.error.isEmpty())
            std::abort(); // a rejection must say why
        return 0;
    }
    QBuffer out;
    out.open(QIODevice::WriteOnly);
    if (!hq::service::writeChart(out, chart.settings, *chart.store).isEmpty())
        std::abort();
    // What was accepted writes back to a file that loads to the same chart and is stable.
    QBuffer again;
    again.setData(out.data());
    again.open(QIODevice::ReadOnly);
    const hq::service::LoadedChart second = hq::service::readChart(again);
    if (!second.ok() || !(second.settings == chart.settings) ||
        second.store->size() != chart.store->size())
        std::abort();
    for (std::size_t i = 0; i < chart.store->size(); ++i)
        if (second.store->timeAt(i) != chart.store->timeAt(i) ||
            second.store->sampleAt(i) != chart.store->sampleAt(i))
            std::abort();
    QBuffer third;
    third.open(QIODevice::WriteOnly);
    hq::service::writeChart(third, second.settings, *second.store);
    if (third.data() != out.data())
        std::abort();
    drawAndExport(chart);
    return 0;
}
