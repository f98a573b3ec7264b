#include "service/chart_export.h"

#include "service/chart_file.h"
#include "service/csv_row.h"
#include "service/measurement_chart.h"

#include <QClipboard>
#include <QDateTime>
#include <QGuiApplication>
#include <QIODevice>

namespace hq::service {

QString exportImage(MeasurementChart& chart, const QString& path, ImageFormat format, int width,
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

void copyChartToClipboard(MeasurementChart& chart, int width, int height) {
    QGuiApplication::clipboard()->setPixmap(chart.toPixmap(width, height));
}

int LocalOffsetCache::offsetAt(std::int64_t utcMs) {
    // Offsets change on quarter-hour boundaries at the finest.
    constexpr std::int64_t kBlockMs = 900000;
    const std::int64_t block = utcMs / kBlockMs - (utcMs % kBlockMs < 0 ? 1 : 0);
    if (block != block_) {
        block_ = block;
        offset_ = QDateTime::fromMSecsSinceEpoch(block * kBlockMs, Qt::LocalTime).offsetFromUtc();
    }
    return offset_;
}

QString writeCsv(QIODevice& out, const HistoryStore& store, std::size_t begin, std::size_t end,
                 std::size_t* skipped) {
    end = std::min(end, store.size());
    LocalOffsetCache offsets;
    CsvRecordWriter writer(kCsvGapMs);
    const auto offsetAt = [&offsets](std::int64_t t) { return offsets.offsetAt(t); };
    std::string chunk = csvHeader() + "\n";
    const auto flush = [&] {
        const bool ok = out.write(chunk.data(), qint64(chunk.size())) == qint64(chunk.size());
        chunk.clear();
        return ok;
    };
    for (std::size_t i = begin; i < end; ++i) {
        writer.add(store.timeAt(i), store.sampleAt(i), offsetAt, chunk);
        if (chunk.size() > (1 << 20) && !flush())
            return QStringLiteral("Cannot write the CSV file: %1").arg(out.errorString());
    }
    if (skipped != nullptr)
        *skipped = writer.skipped();
    if (!flush())
        return QStringLiteral("Cannot write the CSV file: %1").arg(out.errorString());
    return {};
}

QString csvSkippedMessage(std::size_t skipped) {
    if (skipped == 0)
        return {};
    return QStringLiteral("%1 record(s) with a time stamp outside the years 1 to 9999 left out of "
                          "the CSV file.")
        .arg(skipped);
}

QString exportCsv(const HistoryStore& store, const QString& path, std::size_t* skipped) {
    return saveAtomically(
        path, [&](QIODevice& d) { return writeCsv(d, store, 0, store.size(), skipped); });
}

QString exportCsv(const HistoryStore& store, const QString& path, double fromMs, double toMs,
                  std::size_t* skipped) {
    const std::size_t begin = store.lowerBound(fromMs);
    const std::size_t end = store.lowerBound(std::nextafter(toMs, HUGE_VAL));
    return saveAtomically(path,
                          [&](QIODevice& d) { return writeCsv(d, store, begin, end, skipped); });
}

} // namespace hq::service
