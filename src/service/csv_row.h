// Rows of the chart's CSV layout (described in docs/csv_export.md). Qt-free, so that a
// recorder without windows writes exactly the same layout.
#pragma once

#include "service/history_store.h"

#include <cstdint>
#include <string>

namespace hq::service {

// ISO-8601 local time with milliseconds and the UTC offset, e.g. 2026-12-09T11:53:44.250+01:00.
std::string FormatIsoLocal(std::int64_t utcMs, int utcOffsetSeconds);
// A stored code as plotted: exact decimal with as many fraction digits as the divisor needs.
std::string FormatScaled(std::uint16_t code, const SeriesEncoding& encoding);

// Header line, without line end.
std::string CsvHeader();
// One record, without line end. `utcOffsetSeconds` is the local offset at that instant.
std::string CsvRow(std::int64_t utcMs, int utcOffsetSeconds, const RawSample& sample);
// Marks missing records between two rows: "# gap from <iso> to <iso>".
std::string CsvGapLine(std::int64_t fromUtcMs, int fromOffsetSeconds, std::int64_t toUtcMs,
                       int toOffsetSeconds);

} // namespace hq::service
