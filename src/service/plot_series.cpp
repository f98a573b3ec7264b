#include "service/plot_series.h"

#include "protocol/reply.h"

namespace hq::service {

namespace {
constexpr SeriesEncoding kPlain{0, 1};
constexpr SeriesEncoding kTenths{0, 10};
constexpr SeriesEncoding kSignedTenths{32768, 10};
constexpr SeriesEncoding kHundredths{0, 100};

constexpr std::array<std::uint32_t, 16> kPalette = {
    0xFF0000, 0x008000, 0xC8C800, 0x0000FF, 0x808080, 0xFF00FF, 0x008080, 0x000080,
    0x800000, 0x00C000, 0x808000, 0x800080, 0xA0A0A0, 0x00C0C0, 0x000000, 0xFF8000};

constexpr std::uint32_t autoRgb(int i) {
    return kPalette[std::size_t(i) % kPalette.size()];
}

using K = SeriesKind;
using S = LineStyle;
const std::array<SeriesSpec, kSeriesCount> kSpecs = {{
    {"Temp P. down old", K::Line, S::Solid, 0x80FFFF, false, false, "netzf", kPlain},
    {"Temp P. up", K::Line, S::Solid, 0xBC64C4, false, true, "t2_1", kPlain},
    {"Temp P. down", K::Line, S::Solid, 0x70CE37, false, true, "t2_2", kPlain},
    {"HYT down \xC2\xB0"
     "C",
     K::Line, S::Solid, 0xE8D240, false, false, "temperatureBottom_degC", kSignedTenths},
    {"HYT down %r.H.", K::Line, S::Solid, 0x0000FF, false, true, "humidityBottom_pct", kTenths},
    {"HYT up \xC2\xB0"
     "C",
     K::Line, S::Solid, 0xFF0080, false, true, "temperatureTop_degC", kSignedTenths},
    {"HYT up %r.H.", K::Line, S::Solid, 0x80FFFF, false, true, "humidityTop_pct", kTenths},
    {"Motor %", K::Line, S::Solid, 0xFF00FF, false, true, "l1_pct", kTenths},
    {"Free", K::Line, S::Solid, 0x000080, false, false, "l1Ups", kPlain},
    {"Free", K::Line, S::Solid, autoRgb(9), true, false, "t3", kHundredths},
    {"error", K::FastLine, S::Solid, 0xFF0000, false, false, "fehler", kPlain},
    {"prog", K::Line, S::Dash, 0x00FFFF, false, false, "prog", kPlain},
    {"passage", K::Line, S::Dot, 0x80FFFF, false, false, "programmphase", kPlain},
    {"ok_timer", K::Line, S::Solid, autoRgb(13), true, false, "okTimer", kPlain},
    {"tet", K::Line, S::Solid, autoRgb(14), true, false, "tet", kPlain},
    {"status", K::Line, S::Solid, autoRgb(15), true, false, "status", kPlain},
    {"door", K::Area, S::Solid, 0x808080, false, false, "door_pct", kPlain},
    {"Inttimer", K::Line, S::Solid, autoRgb(17), true, false, "intTimer", kPlain},
}};
} // namespace

const std::array<SeriesSpec, kSeriesCount>& SeriesSpecs() {
    return kSpecs;
}

std::array<SeriesEncoding, kSeriesCount> SeriesEncodings() {
    std::array<SeriesEncoding, kSeriesCount> e{};
    for (std::size_t i = 0; i < e.size(); ++i)
        e[i] = kSpecs[i].encoding;
    return e;
}

std::uint32_t AutomaticColour(int index) {
    return autoRgb(index);
}

RawSample SampleFromStatus(const protocol::StatusRecord& r) {
    auto signedCode = [](std::int16_t v) { return std::uint16_t(std::int32_t(v) + 32768); };
    return RawSample{
        r.netzf,
        r.t2_1,
        r.t2_2,
        signedCode(r.temperatureBottom),
        r.humidityBottom,
        signedCode(r.temperatureTop),
        r.humidityTop,
        r.l1,
        r.l1Ups,
        r.t3,
        r.fehler,
        r.prog,
        r.programmphase,
        r.okTimer,
        r.tet,
        r.status,
        std::uint16_t(r.doorOpen() ? 100 : 0),
        r.intTimer,
    };
}

} // namespace hq::service
