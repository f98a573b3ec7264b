// Chart files (".hqchart"): the chart's settings and every record, layout in docs/chart_file.md.
#pragma once

#include "service/chart_settings.h"
#include "service/history_store.h"

#include <QString>

#include <functional>
#include <memory>
#include <vector>

class QIODevice;

namespace hq::service {

inline constexpr quint16 kChartFileVersion = 1;

// CRC-32 (IEEE 802.3, as zlib) used by the chart file's blocks.
quint32 chartFileCrc32(const char* data, qint64 size, quint32 crc = 0);

// The name to save under: ".hqchart" is appended when the chosen name has no extension.
QString chartFileName(const QString& chosen);

// Writes the chart as a stream, block by block. Returns an error text, empty on success.
QString writeChart(QIODevice& out, const ChartSettings& settings, const HistoryStore& store);

// Records handed over in batches: `next` replaces `times` and `samples` with the next records
// (at most HistoryStore::kChunkRecords, time stamps never decreasing across all batches) and
// returns false when there are none left; a non-empty `error` ends the writing with it.
using ChartRecordSource = std::function<bool(std::vector<std::int64_t>& times,
                                             std::vector<RawSample>& samples, QString& error)>;
// Writes a chart whose records come from `next` rather than a store (the stored history).
QString writeChartStream(QIODevice& out, const ChartSettings& settings,
                         const std::array<SeriesEncoding, kSeriesCount>& encodings,
                         const ChartRecordSource& next);

// Writes through `writer` into a QSaveFile and commits only when the writer succeeded, so an
// interrupted save leaves an existing file untouched. Returns an error text, empty on success.
QString saveAtomically(const QString& path, const std::function<QString(QIODevice&)>& writer);
QString saveChartFile(const QString& path, const ChartSettings& settings,
                      const HistoryStore& store);

struct LoadedChart {
    ChartSettings settings;
    std::unique_ptr<HistoryStore> store; // null when loading failed
    QString error;                       // empty on success
    bool ok() const { return store != nullptr; }
};

// Reads a chart; truncated, damaged or foreign input gives an error text and no store.
LoadedChart readChart(QIODevice& in);
LoadedChart loadChartFile(const QString& path);

} // namespace hq::service
