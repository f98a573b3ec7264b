// The 18 plotted series of the service chart: what each shows and how it is stored.
#pragma once

#include "service/history_store.h"

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace hq::protocol {
struct StatusRecord;
}

namespace hq::service {

enum class SeriesKind : std::uint8_t { Line = 0, FastLine = 1, Area = 2 };
enum class LineStyle : std::uint8_t { Solid = 0, Dash = 1, Dot = 2, DashDot = 3, DashDotDot = 4 };

struct SeriesSpec {
    const char* title; // UTF-8
    SeriesKind kind;
    LineStyle style;
    std::uint32_t rgb; // 0xRRGGBB; for automatic colours the palette entry of the series
    bool automaticColour;
    bool shownAtStart;
    // The status record field the series plots (protocol/record_table.h); "door" is bit 0 of
    // "status" plotted as 100 or 0 %.
    std::string_view field;
    // From the record table: the field's divisor, and 32768 added to signed values.
    SeriesEncoding encoding;
    std::string csvName; // the field's column name, with its unit where it has one
};

inline constexpr int kErrorSeries = 10;
inline constexpr int kDoorSeries = 16;

const std::array<SeriesSpec, kSeriesCount>& seriesSpecs();
std::array<SeriesEncoding, kSeriesCount> seriesEncodings();
// Colour of the automatic palette for the series at this index.
std::uint32_t automaticColour(int index);

// The stored codes of one status record, in series order.
RawSample sampleFromStatus(const protocol::StatusRecord& record);

} // namespace hq::service
