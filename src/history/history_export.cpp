#include "history/history_export.h"

#include "history/segment_format.h"
#include "service/chart_file.h"
#include "service/csv_row.h"
#include "service/plot_series.h"

#include <QDateTime>
#include <QIODevice>

#include <algorithm>

namespace hq::history {

namespace {
// Records further apart than this get a gap line in the CSV, as in the chart's export.
constexpr std::int64_t kGapMs = 5000;

// The local UTC offset, looked up once per quarter hour.
class OffsetCache {
public:
    int at(std::int64_t utcMs) {
        const std::int64_t quarter = utcMs / 900000;
        if (quarter != quarter_) {
            quarter_ = quarter;
            offset_ = QDateTime::fromMSecsSinceEpoch(utcMs).offsetFromUtc();
        }
        return offset_;
    }

private:
    std::int64_t quarter_ = INT64_MIN;
    int offset_ = 0;
};
} // namespace

service::RawSample sampleOfRow(const Row& row) {
    return service::sampleFromStatus(statusFromRow(row));
}

void forEachRow(ArchiveReader& reader, const TimeRange& range,
                const std::function<void(const std::vector<Row>& rows)>& sink) {
    std::vector<Row> picked;
    for (std::size_t b = 0; b < reader.blocks().size();) {
        const BlockHeader h = reader.blocks()[b].header;
        if ((range.toMs && h.minTimeMs > *range.toMs) ||
            (range.fromMs && h.maxTimeMs < *range.fromMs)) {
            ++b;
            continue;
        }
        auto rows = reader.readBlock(b);
        if (!rows)
            continue; // dropped from the index: b is the next block now
        ++b;
        picked.clear();
        for (const Row& r : *rows)
            if (range.contains(r.timeMs))
                picked.push_back(r);
        if (!picked.empty())
            sink(picked);
    }
    picked.clear();
    for (const Row& r : reader.tail())
        if (range.contains(r.timeMs))
            picked.push_back(r);
    if (!picked.empty())
        sink(picked);
}

QString exportCsv(ArchiveReader& reader, const QString& path, const TimeRange& range,
                  std::uint64_t* written) {
    std::uint64_t n = 0;
    const QString error = service::saveAtomically(path, [&](QIODevice& out) -> QString {
        OffsetCache offsets;
        std::string text = service::csvHeader() + "\n";
        std::int64_t last = 0;
        bool first = true;
        bool failed = false;
        forEachRow(reader, range, [&](const std::vector<Row>& rows) {
            for (const Row& r : rows) {
                const int offset = offsets.at(r.timeMs);
                if (!first && r.timeMs - last > kGapMs)
                    text += service::csvGapLine(last, offsets.at(last), r.timeMs, offset) + "\n";
                text += service::csvRow(r.timeMs, offset, sampleOfRow(r)) + "\n";
                last = r.timeMs;
                first = false;
                ++n;
            }
            if (text.size() > (1u << 20)) {
                failed =
                    failed || out.write(text.data(), qint64(text.size())) != qint64(text.size());
                text.clear();
            }
        });
        failed = failed || out.write(text.data(), qint64(text.size())) != qint64(text.size());
        return failed
                   ? QStringLiteral("The CSV file could not be written: %1").arg(out.errorString())
                   : QString();
    });
    if (written)
        *written = n;
    return error;
}

QString exportChart(ArchiveReader& reader, const QString& path,
                    const service::ChartSettings& settings, const TimeRange& range,
                    std::uint64_t* written) {
    // The rows are gathered into batches of at most one chart block; the chart file needs time
    // stamps that never decrease, so a clock that stepped back is held at the last time.
    std::uint64_t n = 0;
    const QString error = service::saveAtomically(path, [&](QIODevice& out) {
        std::size_t blockIndex = 0;
        bool tailDone = false;
        std::int64_t last = INT64_MIN;
        std::vector<Row> buffer;
        std::size_t bufferAt = 0;
        auto refill = [&]() -> bool {
            while (bufferAt >= buffer.size()) {
                buffer.clear();
                bufferAt = 0;
                if (blockIndex < reader.blocks().size()) {
                    const BlockHeader h = reader.blocks()[blockIndex].header;
                    if ((range.toMs && h.minTimeMs > *range.toMs) ||
                        (range.fromMs && h.maxTimeMs < *range.fromMs)) {
                        ++blockIndex;
                        continue;
                    }
                    auto rows = reader.readBlock(blockIndex);
                    if (!rows)
                        continue;
                    ++blockIndex;
                    for (const Row& r : *rows)
                        if (range.contains(r.timeMs))
                            buffer.push_back(r);
                } else if (!tailDone) {
                    tailDone = true;
                    for (const Row& r : reader.tail())
                        if (range.contains(r.timeMs))
                            buffer.push_back(r);
                } else {
                    return false;
                }
            }
            return true;
        };
        return service::writeChartStream(
            out, settings, service::seriesEncodings(),
            [&](std::vector<std::int64_t>& times, std::vector<service::RawSample>& samples,
                QString&) {
                times.clear();
                samples.clear();
                while (times.size() < service::HistoryStore::kChunkRecords && refill()) {
                    const Row& r = buffer[bufferAt++];
                    last = std::max(last, r.timeMs);
                    times.push_back(last);
                    samples.push_back(sampleOfRow(r));
                }
                n += times.size();
                return !times.empty();
            });
    });
    if (written)
        *written = n;
    return error;
}

} // namespace hq::history
