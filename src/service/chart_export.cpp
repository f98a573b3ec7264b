#include "service/chart_export.h"

#include "service/chart_file.h"
#include "service/csv_row.h"
#include "service/measurement_chart.h"

#include <QClipboard>
#include <QDateTime>
#include <QGuiApplication>
#include <QIODevice>

namespace hq::service {

QString ExportImage(MeasurementChart& chart, const QString& path, ImageFormat format, int width,
                    int height) {
    bool ok = false;
    switch (format) {
    case ImageFormat::Png:
        ok = chart.savePng(path, width, height);
        break;
    case ImageFormat::Jpeg:
        ok = chart.saveJpg(path, width, height);
        break;
    case ImageFormat::Bmp:
        ok = chart.saveBmp(path, width, height);
        break;
    case ImageFormat::Pdf:
        ok = chart.savePdf(path, width, height);
        break;
    }
    return ok ? QString() : QStringLiteral("Cannot write \"%1\".").arg(path);
}

void CopyChartToClipboard(MeasurementChart& chart, int width, int height) {
    QGuiApplication::clipboard()->setPixmap(chart.toPixmap(width, height));
}

int LocalOffsetCache::offsetAt(std::int64_t utcMs) {
    // Offsets change on quarter-hour boundaries at the finest.
    const std::int64_t block = utcMs >= 0 ? utcMs / 900000 : (utcMs - 899999) / 900000;
    if (block != block_) {
        block_ = block;
        offset_ = QDateTime::fromMSecsSinceEpoch(block * 900000, Qt::LocalTime).offsetFromUtc();
    }
    return offset_;
}

QString WriteCsv(QIODevice& out, const HistoryStore& store, std::size_t begin, std::size_t end) {
    end = std::min(end, store.size());
    LocalOffsetCache offsets;
    std::string chunk = CsvHeader() + "\n";
    for (std::size_t i = begin; i < end; ++i) {
        const std::int64_t t = store.timeAt(i);
        if (i > begin && t - store.timeAt(i - 1) > kCsvGapMs) {
            const std::int64_t prev = store.timeAt(i - 1);
            chunk += CsvGapLine(prev, offsets.offsetAt(prev), t, offsets.offsetAt(t));
            chunk += '\n';
        }
        chunk += CsvRow(t, offsets.offsetAt(t), store.sampleAt(i));
        chunk += '\n';
        if (chunk.size() > (1 << 20)) {
            if (out.write(chunk.data(), qint64(chunk.size())) != qint64(chunk.size()))
                return QStringLiteral("Cannot write the CSV file: %1").arg(out.errorString());
            chunk.clear();
        }
    }
    if (out.write(chunk.data(), qint64(chunk.size())) != qint64(chunk.size()))
        return QStringLiteral("Cannot write the CSV file: %1").arg(out.errorString());
    return {};
}

QString ExportCsv(const HistoryStore& store, const QString& path) {
    return SaveAtomically(path, [&](QIODevice& d) { return WriteCsv(d, store, 0, store.size()); });
}

QString ExportCsv(const HistoryStore& store, const QString& path, double fromMs, double toMs) {
    const std::size_t begin = store.lowerBound(fromMs);
    const std::size_t end = store.lowerBound(std::nextafter(toMs, HUGE_VAL));
    return SaveAtomically(path, [&](QIODevice& d) { return WriteCsv(d, store, begin, end); });
}

} // namespace hq::service
