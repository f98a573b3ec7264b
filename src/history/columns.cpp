#include "history/columns.h"

#include <utility>

namespace hq::history {

namespace {
using protocol::kStatusFields;
using protocol::Layout;
using protocol::StatusRecord;

constexpr bool stored(std::size_t i) {
    const auto& f = kStatusFields[i];
    return detail::isStoredLayout<StatusRecord>(f.layout) &&
           (f.layout != Layout::Bytes || f.width == 4);
}

// Position of table field I among the stored columns.
constexpr std::size_t columnOf(std::size_t i) {
    std::size_t n = 0;
    for (std::size_t k = 0; k < i; ++k)
        n += stored(k);
    return n;
}

constexpr ColumnKind kindOf(Layout l) {
    switch (l) {
    case Layout::U8:
        return ColumnKind::U8;
    case Layout::S16:
        return ColumnKind::S16;
    case Layout::Bytes:
        return ColumnKind::U32;
    default:
        return ColumnKind::U16;
    }
}

template <std::size_t I> void toRow(const StatusRecord& r, Row& row) {
    if constexpr (stored(I)) {
        constexpr const auto& f = kStatusFields[I];
        constexpr auto member = std::get<f.member.index()>(f.member);
        const auto& v = r.*member;
        if constexpr (f.layout == Layout::Bytes) {
            std::int64_t x = 0;
            for (std::size_t k = 0; k < 4; ++k)
                x = (x << 8) | v[k];
            row.values[columnOf(I)] = x;
        } else {
            row.values[columnOf(I)] = std::int64_t(v);
        }
    }
}

template <std::size_t I> void fromRow(const Row& row, StatusRecord& r) {
    if constexpr (stored(I)) {
        constexpr const auto& f = kStatusFields[I];
        constexpr auto member = std::get<f.member.index()>(f.member);
        auto& v = r.*member;
        const std::int64_t x = row.values[columnOf(I)];
        if constexpr (f.layout == Layout::Bytes) {
            for (std::size_t k = 0; k < 4; ++k)
                v[k] = std::uint8_t(std::uint64_t(x) >> (8 * (3 - k)));
        } else {
            v = static_cast<std::remove_reference_t<decltype(v)>>(x);
        }
    }
}

std::vector<ColumnSpec> makeColumns() {
    std::vector<ColumnSpec> c;
    for (std::size_t i = 0; i < kStatusFields.size(); ++i) {
        if (!stored(i))
            continue;
        const auto& f = kStatusFields[i];
        ColumnSpec s;
        s.name = std::string(f.name);
        s.kind = kindOf(f.layout);
        s.bitField = f.shown == protocol::Shown::Bits;
        s.divisor = f.divisor;
        s.unit = std::string(f.unit.symbol);
        c.push_back(std::move(s));
    }
    return c;
}
} // namespace

const std::vector<ColumnSpec>& statusColumns() {
    static const std::vector<ColumnSpec> kColumns = makeColumns();
    return kColumns;
}

int columnIndex(std::string_view name) {
    const auto& c = statusColumns();
    for (std::size_t i = 0; i < c.size(); ++i)
        if (c[i].name == name)
            return int(i);
    return -1;
}

Row rowFromStatus(std::int64_t utcMs, const StatusRecord& record) {
    Row row;
    row.timeMs = utcMs;
    [&]<std::size_t... I>(std::index_sequence<I...>) {
        (toRow<I>(record, row), ...);
    }
    (std::make_index_sequence<kStatusFields.size()>());
    return row;
}

StatusRecord statusFromRow(const Row& row) {
    StatusRecord r;
    [&]<std::size_t... I>(std::index_sequence<I...>) {
        (fromRow<I>(row, r), ...);
    }
    (std::make_index_sequence<kStatusFields.size()>());
    return r;
}

std::int64_t kindMin(ColumnKind kind) {
    return kind == ColumnKind::S16 ? -32768 : 0;
}

std::int64_t kindMax(ColumnKind kind) {
    switch (kind) {
    case ColumnKind::U8:
        return 0xFF;
    case ColumnKind::U16:
        return 0xFFFF;
    case ColumnKind::S16:
        return 0x7FFF;
    case ColumnKind::U32:
        return 0xFFFFFFFFll;
    }
    return 0;
}

} // namespace hq::history
