// Taking the chart out of the window: images, clipboard and CSV (layout in docs/csv_export.md).
#pragma once

#include "service/history_store.h"

#include <QString>

class QIODevice;

namespace hq::service {

class MeasurementChart;

enum class ImageFormat { Png, Jpeg, Bmp, Pdf };

// Writes the chart at the given size. Returns an error text, empty on success.
QString exportImage(MeasurementChart& chart, const QString& path, ImageFormat format, int width,
                    int height);
// Puts a picture of the chart at the given size on the clipboard.
void copyChartToClipboard(MeasurementChart& chart, int width, int height);

// Records further apart than this are separated by a gap line in the export.
inline constexpr std::int64_t kCsvGapMs = 5000;

// Writes the header and the records [begin, end) with local-time stamps, marking gaps. Records
// whose time stamp lies outside the years 1 to 9999 are left out; *skipped (when given) is their
// number. Returns an error text, empty on success.
QString writeCsv(QIODevice& out, const HistoryStore& store, std::size_t begin, std::size_t end,
                 std::size_t* skipped = nullptr);
// Saves all records, or those in [fromMs, toMs], atomically as CSV.
QString exportCsv(const HistoryStore& store, const QString& path, std::size_t* skipped = nullptr);
QString exportCsv(const HistoryStore& store, const QString& path, double fromMs, double toMs,
                  std::size_t* skipped = nullptr);
// What the export tells the user about records left out; empty when none were.
QString csvSkippedMessage(std::size_t skipped);

// The local UTC offset at an instant, in seconds (cached per quarter hour).
class LocalOffsetCache {
public:
    int offsetAt(std::int64_t utcMs);

private:
    std::int64_t block_ = INT64_MIN;
    int offset_ = 0;
};

} // namespace hq::service
