#include "service/plot_series.h"

#include "protocol/record_table.h"

#include <utility>

namespace hq::service {

namespace {
constexpr std::array<std::uint32_t, 16> kPalette = {
    0xFF0000, 0x008000, 0xC8C800, 0x0000FF, 0x808080, 0xFF00FF, 0x008080, 0x000080,
    0x800000, 0x00C000, 0x808000, 0x800080, 0xA0A0A0, 0x00C0C0, 0x000000, 0xFF8000};

constexpr std::uint32_t autoRgb(int i) {
    return kPalette[std::size_t(i) % kPalette.size()];
}

// What each series shows, in series order (field names of the status record table).
constexpr std::array<std::string_view, kSeriesCount> kSeriesFields = {"netzf",
                                                                      "t2_1",
                                                                      "t2_2",
                                                                      "temperatureBottom",
                                                                      "humidityBottom",
                                                                      "temperatureTop",
                                                                      "humidityTop",
                                                                      "l1",
                                                                      "l1Ups",
                                                                      "t3",
                                                                      "fehler",
                                                                      "prog",
                                                                      "programmphase",
                                                                      "okTimer",
                                                                      "tet",
                                                                      "status",
                                                                      "door",
                                                                      "intTimer"};
constexpr std::string_view kDoor = "door";
constexpr std::size_t kNoField = ~std::size_t(0);

constexpr std::size_t statusFieldIndex(std::string_view name) {
    for (std::size_t i = 0; i < protocol::kStatusFields.size(); ++i)
        if (protocol::kStatusFields[i].name == name)
            return i;
    return kNoField;
}

// The stored code of series S: the field's integer, signed ones moved up by 32768.
template <std::size_t S> std::uint16_t seriesCode(const protocol::StatusRecord& r) {
    constexpr std::size_t index = statusFieldIndex(kSeriesFields[S]);
    if constexpr (index == kNoField) {
        static_assert(kSeriesFields[S] == kDoor, "a series names a field the table lacks");
        return std::uint16_t(r.doorOpen() ? 100 : 0);
    } else {
        constexpr const auto& f = protocol::kStatusFields[index];
        constexpr auto member = std::get<f.member.index()>(f.member);
        constexpr std::int32_t offset = f.layout == protocol::Layout::S16 ? 32768 : 0;
        return std::uint16_t(std::int32_t(r.*member) + offset);
    }
}

using K = SeriesKind;
using S = LineStyle;
struct Look {
    const char* title;
    SeriesKind kind;
    LineStyle style;
    std::uint32_t rgb;
    bool automaticColour;
    bool shownAtStart;
};
const std::array<Look, kSeriesCount> kLooks = {{
    {"Temp P. down old", K::Line, S::Solid, 0x80FFFF, false, false},
    {"Temp P. up", K::Line, S::Solid, 0xBC64C4, false, true},
    {"Temp P. down", K::Line, S::Solid, 0x70CE37, false, true},
    {"HYT down \xC2\xB0"
     "C",
     K::Line, S::Solid, 0xE8D240, false, false},
    {"HYT down %r.H.", K::Line, S::Solid, 0x0000FF, false, true},
    {"HYT up \xC2\xB0"
     "C",
     K::Line, S::Solid, 0xFF0080, false, true},
    {"HYT up %r.H.", K::Line, S::Solid, 0x80FFFF, false, true},
    {"Motor %", K::Line, S::Solid, 0xFF00FF, false, true},
    {"Free", K::Line, S::Solid, 0x000080, false, false},
    {"Free", K::Line, S::Solid, autoRgb(9), true, false},
    {"error", K::FastLine, S::Solid, 0xFF0000, false, false},
    {"prog", K::Line, S::Dash, 0x00FFFF, false, false},
    {"passage", K::Line, S::Dot, 0x80FFFF, false, false},
    {"ok_timer", K::Line, S::Solid, autoRgb(13), true, false},
    {"tet", K::Line, S::Solid, autoRgb(14), true, false},
    {"status", K::Line, S::Solid, autoRgb(15), true, false},
    {"door", K::Area, S::Solid, 0x808080, false, false},
    {"Inttimer", K::Line, S::Solid, autoRgb(17), true, false},
}};

std::array<SeriesSpec, kSeriesCount> makeSpecs() {
    std::array<SeriesSpec, kSeriesCount> specs{};
    for (std::size_t i = 0; i < specs.size(); ++i) {
        const Look& look = kLooks[i];
        SeriesSpec& spec = specs[i];
        spec.title = look.title;
        spec.kind = look.kind;
        spec.style = look.style;
        spec.rgb = look.rgb;
        spec.automaticColour = look.automaticColour;
        spec.shownAtStart = look.shownAtStart;
        spec.field = kSeriesFields[i];
        if (const auto* f = protocol::findField<protocol::StatusRecord>(spec.field)) {
            spec.encoding = {f->layout == protocol::Layout::S16 ? 32768 : 0, f->divisor};
            spec.csvName = protocol::columnName(f->name, f->unit);
        } else { // the door: 0 or 100 %
            spec.encoding = {0, 1};
            spec.csvName = protocol::columnName(kDoor, protocol::kPercent);
        }
    }
    return specs;
}
} // namespace

const std::array<SeriesSpec, kSeriesCount>& seriesSpecs() {
    static const std::array<SeriesSpec, kSeriesCount> kSpecs = makeSpecs();
    return kSpecs;
}

std::array<SeriesEncoding, kSeriesCount> seriesEncodings() {
    std::array<SeriesEncoding, kSeriesCount> e{};
    for (std::size_t i = 0; i < e.size(); ++i)
        e[i] = seriesSpecs()[i].encoding;
    return e;
}

std::uint32_t automaticColour(int index) {
    return autoRgb(index);
}

RawSample sampleFromStatus(const protocol::StatusRecord& r) {
    return [&]<std::size_t... I>(std::index_sequence<I...>) {
        return RawSample{seriesCode<I>(r)...};
    }
    (std::make_index_sequence<kSeriesCount>());
}

} // namespace hq::service
