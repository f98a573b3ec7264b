// Taking records out of the stored history: as CSV (the chart's layout, docs/csv_export.md) or
// as a chart file, streamed block by block, saved atomically.
#pragma once

#include "history/archive_reader.h"
#include "service/chart_settings.h"
#include "service/history_store.h"

#include <QString>

#include <cstdint>
#include <functional>
#include <optional>

namespace hq::history {

struct TimeRange {
    std::optional<std::int64_t> fromMs; // inclusive; none: from the first record
    std::optional<std::int64_t> toMs;   // inclusive; none: to the last record
    bool contains(std::int64_t t) const {
        return (!fromMs || t >= *fromMs) && (!toMs || t <= *toMs);
    }
};

// Calls `sink` with the records of the range in stored order (blocks, then the journal's rows),
// one block's worth at a time. A damaged block is skipped (and reported by the reader).
void forEachRow(ArchiveReader& reader, const TimeRange& range,
                const std::function<void(const std::vector<Row>& rows)>& sink);

// The 18 chart codes of a stored row.
service::RawSample sampleOfRow(const Row& row);

// Error text, empty on success; `written` gets the number of records.
QString exportCsv(ArchiveReader& reader, const QString& path, const TimeRange& range,
                  std::uint64_t* written = nullptr);
QString exportChart(ArchiveReader& reader, const QString& path,
                    const service::ChartSettings& settings, const TimeRange& range,
                    std::uint64_t* written = nullptr);

} // namespace hq::history
