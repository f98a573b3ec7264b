// Chart-file loader: any input must be rejected with a reason or load into a chart that
// writes back to a file loading to the same chart.
#include "service/chart_file.h"

#include <QBuffer>

#include <cstdint>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    QBuffer in;
    in.setData(reinterpret_cast<const char*>(data), qsizetype(size));
    in.open(QIODevice::ReadOnly);
    const hq::service::LoadedChart chart = hq::service::ReadChart(in);
    if (!chart.ok()) {
        if (chart.error.isEmpty())
            std::abort(); // a rejection must say why
        return 0;
    }
    QBuffer out;
    out.open(QIODevice::WriteOnly);
    if (!hq::service::WriteChart(out, chart.settings, *chart.store).isEmpty())
        std::abort();
    // What was accepted writes back to a file that loads to the same chart and is stable.
    QBuffer again;
    again.setData(out.data());
    again.open(QIODevice::ReadOnly);
    const hq::service::LoadedChart second = hq::service::ReadChart(again);
    if (!second.ok() || !(second.settings == chart.settings) ||
        second.store->size() != chart.store->size())
        std::abort();
    for (std::size_t i = 0; i < chart.store->size(); ++i)
        if (second.store->timeAt(i) != chart.store->timeAt(i) ||
            second.store->sampleAt(i) != chart.store->sampleAt(i))
            std::abort();
    QBuffer third;
    third.open(QIODevice::WriteOnly);
    hq::service::WriteChart(third, second.settings, *second.store);
    if (third.data() != out.data())
        std::abort();
    return 0;
}
