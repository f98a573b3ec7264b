// Writes a chart file of synthetic cabinet history, for looking at the chart windows by hand:
//   make_chart_file FILE [RECORDS [FIRST-LOCAL-TIME]]
// One record per second (86 400 by default, a day), starting at the given local time (ISO 8601,
// default: midnight of the day before yesterday). The "error" series is shown when the history
// holds errors, as the service window would have switched it on.
#include "service/chart_file.h"
#include "service/plot_series.h"
#include "synthetic_status.h"

#include <QCoreApplication>
#include <QDateTime>

#include <cstdio>

using namespace hq::service;

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments();
    if (args.size() < 2 || args.size() > 5 || (args.size() == 5 && args[4] != "all")) {
        std::fprintf(stderr, "usage: make_chart_file FILE [RECORDS [FIRST-LOCAL-TIME [all]]]\n"
                             "  all: every series shown\n");
        return 2;
    }
    bool ok = true;
    const qlonglong records = args.size() > 2 ? args[2].toLongLong(&ok) : 86'400;
    if (!ok || records < 1) {
        std::fprintf(stderr, "RECORDS must be a positive number\n");
        return 2;
    }
    QDateTime first(QDate::currentDate().addDays(-2), QTime(0, 0), Qt::LocalTime);
    if (args.size() > 3) {
        first = QDateTime::fromString(args[3], Qt::ISODate);
        if (!first.isValid()) {
            std::fprintf(stderr, "FIRST-LOCAL-TIME is not an ISO 8601 date and time\n");
            return 2;
        }
    }
    HistoryStore store(seriesEncodings());
    ChartSettings settings = ChartSettings::defaults();
    if (args.size() == 5)
        for (auto& series : settings.series)
            series.visible = true;
    hq::testing::SyntheticCabinet cabinet(3);
    const qint64 t0 = first.toMSecsSinceEpoch();
    for (qlonglong i = 0; i < records; ++i) {
        const auto record = cabinet.record(i);
        if (record.fehler != 0)
            settings.series[std::size_t(kErrorSeries)].visible = true;
        store.append(t0 + i * 1000, sampleFromStatus(record));
    }
    const QString error = saveChartFile(args[1], settings, store);
    if (!error.isEmpty()) {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        return 1;
    }
    std::printf("%lld records from %s, store %zu bytes\n", records,
                qPrintable(first.toString(Qt::ISODate)), store.memoryBytes());
    return 0;
}
