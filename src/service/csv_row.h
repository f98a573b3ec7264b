// Rows of the chart's CSV layout (described in docs/csv_export.md). Qt-free, so that a
// recorder without windows writes exactly the same layout.
#pragma once

#include "service/history_store.h"

#include <cstdint>
#include <string>

namespace hq::service {

// ISO-8601 local time with milliseconds and the UTC offset, e.g. 2026-12-09T11:53:44.250+01:00.
std::string formatIsoLocal(std::int64_t utcMs, int utcOffsetSeconds);
// A stored code as plotted: exact decimal with as many fraction digits as the divisor needs.
std::string formatScaled(std::uint16_t code, const SeriesEncoding& encoding);

// Header line, without line end.
std::string csvHeader();
// One record, without line end. `utcOffsetSeconds` is the local offset at that instant.
std::string csvRow(std::int64_t utcMs, int utcOffsetSeconds, const RawSample& sample);
// Marks missing records between two rows: "# gap from <iso> to <iso>".
std::string csvGapLine(std::int64_t fromUtcMs, int fromOffsetSeconds, std::int64_t toUtcMs,
                       int toOffsetSeconds);

// The instants the layout can write: local dates in the years 1 to 9999. A chart file may hold
// any 64-bit time stamp; the others are left out of an export.
bool csvTimeWritable(std::int64_t utcMs, int utcOffsetSeconds);
// A cheap test before the local offset is looked up: false for instants so far outside the
// years 1 to 9999 that no offset (at most a day either way) brings them in.
bool csvTimeMayBeWritable(std::int64_t utcMs);

// Turns records, in their order, into the lines of the export: a gap line where two written
// records lie more than gapMs apart, then the record's row. Records outside the years 1 to 9999
// are left out and counted.
class CsvRecordWriter {
public:
    explicit CsvRecordWriter(std::int64_t gapMs) : gapMs_(gapMs) {}

    // Appends the lines of one record to out, each ending with LF. offsetAt gives the local UTC
    // offset at an instant; it is only asked about instants that may be written.
    template <typename OffsetAt>
    void add(std::int64_t utcMs, const RawSample& sample, OffsetAt&& offsetAt, std::string& out) {
        if (!csvTimeMayBeWritable(utcMs)) {
            ++skipped_;
            return;
        }
        addWithOffset(utcMs, offsetAt(utcMs), sample, out);
    }
    std::size_t skipped() const { return skipped_; }

private:
    void addWithOffset(std::int64_t utcMs, int offsetSeconds, const RawSample& sample,
                       std::string& out);

    std::int64_t gapMs_;
    bool havePrevious_ = false;
    std::int64_t previousMs_ = 0;
    int previousOffset_ = 0;
    std::size_t skipped_ = 0;
};

} // namespace hq::service
