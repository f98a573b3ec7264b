// The record tables: one table per reply record, each field with its name, where its bytes lie
// in the report, how they read, the scale and unit of its value and how the message pane shows
// it. The decoder, the simulated cabinet's encoder, the field names of the JSON and CSV output
// and the units all come from here; nothing else writes a record's layout down.
//
// Offsets count from the reply code (byte 0 of the 64 data bytes after the report ID); multi-
// byte values are little-endian. The decode and encode templates below unfold each table at
// compile time, so table-driven decoding costs no more than writing the fields out by hand.
#pragma once

#include "protocol/reply.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <variant>
#include <vector>

namespace hq::protocol {

// How a field's bytes read.
enum class Layout : std::uint8_t {
    U8,
    U16,
    S16,         // 16-bit two's complement
    S32,         // 32-bit two's complement
    Bytes,       // width bytes in display order (an IPv4 address, a MAC address)
    Bit,         // the bits of mask in the byte at offset: a flag
    OkTimer,     // the firmware decides: U8 at offset before 1.003, U16 at wideOffset from then on
    CountedList, // up to the count byte's number of bytes from offset (at most width)
    Text,        // width bytes up to the first zero, Windows-1252
    Derived,     // computed from other fields; no bytes of its own
};

// How the message pane shows a field (in table order; None: not shown).
enum class Shown : std::uint8_t { None, Decimal, Bits, Hex, Dotted };

// A unit: id for names (CSV columns, metric names), symbol for people.
struct Unit {
    std::string_view id;
    std::string_view symbol;
};
inline constexpr Unit kNoUnit{"", ""};
inline constexpr Unit kRelativeHumidity{"pct", "% r.H."};
inline constexpr Unit kPercent{"pct", "%"};
inline constexpr Unit kCelsius{"degC", "\xC2\xB0"
                                       "C"};
inline constexpr Unit kSeconds{"s", "s"};

// Where a field's value lives in its record.
template <class R>
using MemberOf =
    std::variant<std::uint8_t R::*, std::uint16_t R::*, std::int16_t R::*, std::int32_t R::*,
                 bool R::*, std::array<std::uint8_t, 4> R::*, std::array<std::uint8_t, 6> R::*,
                 std::vector<std::uint8_t> R::*, std::string R::*, std::optional<std::string> R::*,
                 std::optional<double> R::*>;

template <class R> struct FieldSpec {
    std::string_view name; // the field's name in the record, JSON and CSV
    MemberOf<R> member;
    Layout layout;
    std::uint8_t offset = 0;
    std::uint8_t width = 0;      // bytes
    std::uint8_t mask = 0;       // Bit
    std::uint8_t wideOffset = 0; // OkTimer from firmware 1.003 on
    int divisor = 1;             // the value in its unit is the stored integer / divisor
    Unit unit = kNoUnit;
    Shown shown = Shown::None;
    std::string_view paneLabel = {}; // text before the value in the pane
};

// clang-format off
inline constexpr std::array kStatusFields = std::to_array<FieldSpec<StatusRecord>>({
    {"aktoren",           &StatusRecord::aktoren,           Layout::U8,      1, 1, 0, 0,  1,   kNoUnit,           Shown::Bits,    "Aktoren: "},
    {"fehler",            &StatusRecord::fehler,            Layout::U8,      2, 1, 0, 0,  1,   kNoUnit,           Shown::Decimal, "FEHLER: "},
    {"l1Ups",             &StatusRecord::l1Ups,             Layout::U16,     3, 2, 0, 0,  1,   kNoUnit,           Shown::Decimal, "L1 UPs: "},
    {"okTimer",           &StatusRecord::okTimer,           Layout::OkTimer, 5, 1, 0, 18, 1,   kNoUnit,           Shown::None,    ""},
    {"tet",               &StatusRecord::tet,               Layout::U8,      6, 1, 0, 0,  1,   kNoUnit,           Shown::None,    ""},
    {"ventile",           &StatusRecord::ventile,           Layout::U8,      7, 1, 0, 0,  1,   kNoUnit,           Shown::Bits,    "Ventile: "},
    {"netzf",             &StatusRecord::netzf,             Layout::U16,     8, 2, 0, 0,  1,   kNoUnit,           Shown::Decimal, "Netzf: "},
    {"t3",                &StatusRecord::t3,                Layout::U16,    10, 2, 0, 0,  100, kNoUnit,           Shown::Decimal, "T3: "},
    {"l1",                &StatusRecord::l1,                Layout::U16,    12, 2, 0, 0,  10,  kPercent,          Shown::Decimal, "L1: "},
    {"t1",                &StatusRecord::t1,                Layout::U16,    14, 2, 0, 0,  1,   kNoUnit,           Shown::Decimal, "T1: "},
    {"netErrors",         &StatusRecord::netErrors,         Layout::U16,    16, 2, 0, 0,  1,   kNoUnit,           Shown::Decimal, "NET_ERRORS: "},
    {"t1_2",              &StatusRecord::t1_2,              Layout::U16,    18, 2, 0, 0,  1,   kNoUnit,           Shown::Decimal, "T1_2: "},
    {"t2_1",              &StatusRecord::t2_1,              Layout::U16,    20, 2, 0, 0,  1,   kNoUnit,           Shown::Decimal, "T2_1: "},
    {"t2_2",              &StatusRecord::t2_2,              Layout::U16,    22, 2, 0, 0,  1,   kNoUnit,           Shown::Decimal, "T2_2: "},
    {"status",            &StatusRecord::status,            Layout::U8,     24, 1, 0, 0,  1,   kNoUnit,           Shown::Bits,    "STATUS: "},
    {"programmphase",     &StatusRecord::programmphase,     Layout::U8,     25, 1, 0, 0,  1,   kNoUnit,           Shown::Decimal, "Programmphase: "},
    {"prog",              &StatusRecord::prog,              Layout::U8,     26, 1, 0, 0,  1,   kNoUnit,           Shown::Bits,    "PROG: "},
    {"lIn",               &StatusRecord::lIn,               Layout::U8,     27, 1, 0, 0,  1,   kNoUnit,           Shown::Decimal, "L_IN: "},
    {"hytRetO",           &StatusRecord::hytRetO,           Layout::U8,     28, 1, 0, 0,  1,   kNoUnit,           Shown::Hex,     "HytRetO: "},
    {"humidityTop",       &StatusRecord::humidityTop,       Layout::U16,    29, 2, 0, 0,  10,  kRelativeHumidity, Shown::None,    ""},
    {"temperatureTop",    &StatusRecord::temperatureTop,    Layout::S16,    31, 2, 0, 0,  10,  kCelsius,          Shown::None,    ""},
    {"hytRetU",           &StatusRecord::hytRetU,           Layout::U8,     33, 1, 0, 0,  1,   kNoUnit,           Shown::Hex,     "HytRetU: "},
    {"humidityBottom",    &StatusRecord::humidityBottom,    Layout::U16,    34, 2, 0, 0,  10,  kRelativeHumidity, Shown::None,    ""},
    {"temperatureBottom", &StatusRecord::temperatureBottom, Layout::S16,    36, 2, 0, 0,  10,  kCelsius,          Shown::None,    ""},
    {"cabinetAddress",    &StatusRecord::cabinetAddress,    Layout::Bytes,  38, 4, 0, 0,  1,   kNoUnit,           Shown::None,    ""},
    {"secondAddress",     &StatusRecord::secondAddress,     Layout::Bytes,  42, 4, 0, 0,  1,   kNoUnit,           Shown::Dotted,  ""},
    {"intTimer",          &StatusRecord::intTimer,          Layout::U16,    46, 2, 0, 0,  1,   kNoUnit,           Shown::Decimal, "IntTimer: "},
});

inline constexpr std::array kConfigFields = std::to_array<FieldSpec<ConfigRecord>>({
    {"regenHumidity",       &ConfigRecord::regenHumidity,       Layout::U8,     1, 1, 0,    0, 10, kRelativeHumidity},
    {"reduction1Humidity",  &ConfigRecord::reduction1Humidity,  Layout::U8,     2, 1, 0,    0, 10, kRelativeHumidity},
    {"reduction2Humidity",  &ConfigRecord::reduction2Humidity,  Layout::U8,     3, 1, 0,    0, 10, kRelativeHumidity},
    {"doorAlarmTime",       &ConfigRecord::doorAlarmTime,       Layout::U16,    4, 2, 0,    0, 1,  kSeconds},
    {"restartDelay",        &ConfigRecord::restartDelay,        Layout::U16,    6, 2, 0,    0, 1,  kSeconds},
    {"extraTime1",          &ConfigRecord::extraTime1,          Layout::U16,    8, 2, 0,    0, 1,  kSeconds},
    {"showReturnAir",       &ConfigRecord::showReturnAir,       Layout::Bit,    8, 1, 0x40, 0, 1,  kNoUnit},
    {"extraTime2",          &ConfigRecord::extraTime2,          Layout::U16,   10, 2, 0,    0, 1,  kSeconds},
    {"serialNumber",        &ConfigRecord::serialNumber,        Layout::S32,   13, 4, 0,    0, 1,  kNoUnit},
    {"firmwareMinor",       &ConfigRecord::firmwareMinor,       Layout::U8,    17, 1, 0,    0, 1,  kNoUnit},
    {"firmwareMajor",       &ConfigRecord::firmwareMajor,       Layout::U8,    18, 1, 0,    0, 1,  kNoUnit},
    {"macAddress",          &ConfigRecord::macAddress,          Layout::Bytes, 21, 6, 0,    0, 1,  kNoUnit},
    {"returnAirMonitoring", &ConfigRecord::returnAirMonitoring, Layout::U8,    28, 1, 0,    0, 1,  kNoUnit},
});

inline constexpr std::array kClockFields = std::to_array<FieldSpec<ClockRecord>>({
    {"readStatus", &ClockRecord::readStatus, Layout::U8, 1, 1},
    {"hours",      &ClockRecord::hours,      Layout::U8, 2, 1},
    {"minutes",    &ClockRecord::minutes,    Layout::U8, 3, 1},
    {"seconds",    &ClockRecord::seconds,    Layout::U8, 4, 1},
    {"day",        &ClockRecord::day,        Layout::U8, 5, 1},
    {"month",      &ClockRecord::month,      Layout::U8, 6, 1},
    {"year",       &ClockRecord::year,       Layout::U8, 7, 1}, // year - 2000
});

inline constexpr std::array kI2cScanFields = std::to_array<FieldSpec<I2cScanRecord>>({
    {"count",     &I2cScanRecord::count,     Layout::U8,          1, 1},
    // 8-bit write addresses; only those inside the report, at most 62.
    {"addresses", &I2cScanRecord::addresses, Layout::CountedList, 2, kMaxI2cAddresses},
});

inline constexpr std::array kWebImageVersionFields = std::to_array<FieldSpec<WebImageVersion>>({
    {"text",        &WebImageVersion::text,        Layout::Text,    1, kWebImageTextLength},
    // "Version_MPFS=1.003;" gives "1.003" and 1.003.
    {"versionText", &WebImageVersion::versionText, Layout::Derived},
    {"version",     &WebImageVersion::version,     Layout::Derived},
});
// clang-format on

template <class R> constexpr const auto& fieldsOf() {
    if constexpr (std::is_same_v<R, StatusRecord>)
        return kStatusFields;
    else if constexpr (std::is_same_v<R, ConfigRecord>)
        return kConfigFields;
    else if constexpr (std::is_same_v<R, ClockRecord>)
        return kClockFields;
    else if constexpr (std::is_same_v<R, I2cScanRecord>)
        return kI2cScanFields;
    else
        return kWebImageVersionFields;
}

// The field of a record's table with this name, or none.
template <class R> const FieldSpec<R>* findField(std::string_view name) {
    for (const auto& f : fieldsOf<R>())
        if (f.name == name)
            return &f;
    return nullptr;
}

// The column name of a field in CSV files and metric names: its name, with "_" and its unit's
// id when it has a unit ("humidityTop_pct", "temperatureTop_degC", "l1_pct").
std::string columnName(std::string_view fieldName, Unit unit);

namespace detail {

inline std::uint8_t byteAt(std::span<const std::uint8_t> d, std::size_t i) {
    return i < d.size() ? d[i] : 0;
}
inline std::uint16_t u16At(std::span<const std::uint8_t> d, std::size_t i) {
    return static_cast<std::uint16_t>(byteAt(d, i) | (byteAt(d, i + 1) << 8));
}
inline std::uint32_t u32At(std::span<const std::uint8_t> d, std::size_t i) {
    return static_cast<std::uint32_t>(u16At(d, i)) |
           (static_cast<std::uint32_t>(u16At(d, i + 2)) << 16);
}
inline void put16(std::span<std::uint8_t> d, std::size_t i, std::uint16_t v) {
    d[i] = static_cast<std::uint8_t>(v & 0xFF);
    d[i + 1] = static_cast<std::uint8_t>(v >> 8);
}

template <class R, std::size_t I>
void decodeField(std::span<const std::uint8_t> d, FirmwareVersion firmware, R& r) {
    constexpr const FieldSpec<R>& f = fieldsOf<R>()[I];
    constexpr auto member = std::get<f.member.index()>(f.member);
    auto& v = r.*member;
    using T = std::remove_reference_t<decltype(v)>;
    if constexpr (f.layout == Layout::U8) {
        v = static_cast<T>(byteAt(d, f.offset));
    } else if constexpr (f.layout == Layout::U16) {
        v = static_cast<T>(u16At(d, f.offset));
    } else if constexpr (f.layout == Layout::S16) {
        v = static_cast<T>(static_cast<std::int16_t>(u16At(d, f.offset)));
    } else if constexpr (f.layout == Layout::S32) {
        v = static_cast<T>(static_cast<std::int32_t>(u32At(d, f.offset)));
    } else if constexpr (f.layout == Layout::Bit) {
        v = (byteAt(d, f.offset) & f.mask) != 0;
    } else if constexpr (f.layout == Layout::OkTimer) {
        v = firmware.hasWideOkTimer() ? static_cast<T>(u16At(d, f.wideOffset))
                                      : static_cast<T>(byteAt(d, f.offset));
    } else if constexpr (f.layout == Layout::Bytes) {
        for (std::size_t k = 0; k < v.size(); ++k)
            v[k] = byteAt(d, f.offset + k);
    } else if constexpr (f.layout == Layout::CountedList) {
        // The count is the byte before the list; only bytes inside the report are taken.
        const std::size_t end = std::min(d.size(), kReplyReportLength);
        const std::size_t present = end > f.offset ? end - f.offset : 0;
        const std::size_t n = std::min<std::size_t>(
            {byteAt(d, std::size_t(f.offset) - 1), present, std::size_t(f.width)});
        v.assign(d.begin() + f.offset, d.begin() + static_cast<std::ptrdiff_t>(f.offset + n));
    }
    // Text and Derived fields are the record's own algorithm (the web image version).
}

template <class R, std::size_t I>
void encodeField(const R& r, FirmwareVersion firmware, std::span<std::uint8_t> d) {
    constexpr const FieldSpec<R>& f = fieldsOf<R>()[I];
    constexpr auto member = std::get<f.member.index()>(f.member);
    const auto& v = r.*member;
    if constexpr (f.layout == Layout::U8) {
        d[f.offset] = static_cast<std::uint8_t>(v);
    } else if constexpr (f.layout == Layout::U16 || f.layout == Layout::S16) {
        put16(d, f.offset, static_cast<std::uint16_t>(v));
    } else if constexpr (f.layout == Layout::S32) {
        const auto u = static_cast<std::uint32_t>(v);
        put16(d, f.offset, static_cast<std::uint16_t>(u & 0xFFFF));
        put16(d, f.offset + 2u, static_cast<std::uint16_t>(u >> 16));
    } else if constexpr (f.layout == Layout::Bit) {
        d[f.offset] = static_cast<std::uint8_t>(v ? d[f.offset] | f.mask : d[f.offset] & ~f.mask);
    } else if constexpr (f.layout == Layout::OkTimer) {
        // From 1.003 on the same bytes as the field that sits there (t1_2); before, one byte.
        if (firmware.hasWideOkTimer())
            put16(d, f.wideOffset, v);
        else
            d[f.offset] = static_cast<std::uint8_t>(std::min<int>(v, 255));
    } else if constexpr (f.layout == Layout::Bytes) {
        for (std::size_t k = 0; k < v.size(); ++k)
            d[f.offset + k] = v[k];
    } else if constexpr (f.layout == Layout::CountedList) {
        const std::size_t n = std::min<std::size_t>(v.size(), f.width);
        d[std::size_t(f.offset) - 1] = static_cast<std::uint8_t>(n);
        for (std::size_t k = 0; k < n; ++k)
            d[f.offset + k] = v[k];
    } else if constexpr (f.layout == Layout::Text) {
        const std::size_t n = std::min<std::size_t>(v.size(), f.width);
        for (std::size_t k = 0; k < n; ++k)
            d[f.offset + k] = static_cast<std::uint8_t>(v[k]);
    }
}

// Fields whose bytes another field shares are written after it (okTimer over t1_2).
template <class R, std::size_t I> constexpr bool writtenLast() {
    return fieldsOf<R>()[I].layout == Layout::OkTimer;
}

} // namespace detail

// Reads the table's fields of record R from a report of any length (missing bytes read as
// zero). firmware decides the okTimer layout.
template <class R>
R decodeFields(std::span<const std::uint8_t> data, FirmwareVersion firmware = {}) {
    R r{};
    [&]<std::size_t... I>(std::index_sequence<I...>) {
        (detail::decodeField<R, I>(data, firmware, r), ...);
    }
    (std::make_index_sequence<fieldsOf<R>().size()>());
    return r;
}

// Writes the record's fields into the 64 data bytes of an input report, its reply code first.
template <class R>
ReplyReport encodeFields(const R& r, std::uint8_t replyCode, FirmwareVersion firmware = {}) {
    ReplyReport d{};
    d[0] = replyCode;
    [&]<std::size_t... I>(std::index_sequence<I...>) {
        ((detail::writtenLast<R, I>() ? void() : detail::encodeField<R, I>(r, firmware, d)), ...);
        ((detail::writtenLast<R, I>() ? detail::encodeField<R, I>(r, firmware, d) : void()), ...);
    }
    (std::make_index_sequence<fieldsOf<R>().size()>());
    return d;
}

// A field's value: an integer for numbers (unscaled), true/false for flags, the text, the list,
// or the dotted / colon-separated text of addresses. The monostate for an absent value.
using FieldValue = std::variant<std::monostate, std::int64_t, double, bool, std::string,
                                std::vector<std::int64_t>>;

template <class R> FieldValue fieldValue(const FieldSpec<R>& f, const R& r) {
    return std::visit(
        [&](auto member) -> FieldValue {
            const auto& v = r.*member;
            using T = std::decay_t<decltype(v)>;
            if constexpr (std::is_same_v<T, bool>)
                return v;
            else if constexpr (std::is_integral_v<T>)
                return static_cast<std::int64_t>(v);
            else if constexpr (std::is_same_v<T, std::array<std::uint8_t, 4>>)
                return dottedAddress(v);
            else if constexpr (std::is_same_v<T, std::array<std::uint8_t, 6>>)
                return macText(v);
            else if constexpr (std::is_same_v<T, std::vector<std::uint8_t>>)
                return std::vector<std::int64_t>(v.begin(), v.end());
            else if constexpr (std::is_same_v<T, std::string>)
                return v;
            else if (v)
                return *v;
            else
                return std::monostate{};
        },
        f.member);
}

// A numeric field's value in its unit (the stored integer / divisor); none for other fields.
template <class R> std::optional<double> scaledValue(const FieldSpec<R>& f, const R& r) {
    const FieldValue v = fieldValue(f, r);
    if (const auto* i = std::get_if<std::int64_t>(&v))
        return static_cast<double>(*i) / f.divisor;
    if (const auto* b = std::get_if<bool>(&v))
        return *b ? 1.0 : 0.0;
    if (const auto* d = std::get_if<double>(&v))
        return *d;
    return std::nullopt;
}

} // namespace hq::protocol
