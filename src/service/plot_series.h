// The 18 plotted series of the service chart: what each shows and how it is stored.
#pragma once

#include "service/history_store.h"

#include <array>
#include <cstdint>

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
    const char* csvName; // record field, with unit suffix where the value has one
    SeriesEncoding encoding;
};

inline constexpr int kErrorSeries = 10;
inline constexpr int kDoorSeries = 16;

const std::array<SeriesSpec, kSeriesCount>& SeriesSpecs();
std::array<SeriesEncoding, kSeriesCount> SeriesEncodings();
// Colour of the automatic palette for the series at this index.
std::uint32_t AutomaticColour(int index);

// The stored codes of one status record, in series order.
RawSample SampleFromStatus(const protocol::StatusRecord& record);

} // namespace hq::service
