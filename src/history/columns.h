// The columns of the stored history: the time stamp and every numeric field of the status
// record table (protocol/record_table.h), in table order. A row holds one record as integers.
#pragma once

#include "protocol/record_table.h"

#include <array>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace hq::history {

// How a column's integers read (stored in files: keep the numbers).
enum class ColumnKind : std::uint8_t {
    U8 = 1,
    U16 = 2,
    S16 = 3,
    U32 = 4, // four bytes in display order, the first one most significant (an IPv4 address)
};

struct ColumnSpec {
    std::string name; // the record table's field name
    ColumnKind kind = ColumnKind::U16;
    bool bitField = false; // summaries also keep the AND and the OR of its values
    std::int32_t divisor = 1;
    std::string unit; // symbol, UTF-8; empty for none
    friend bool operator==(const ColumnSpec&, const ColumnSpec&) = default;
};

namespace detail {
template <class R> constexpr bool isStoredLayout(protocol::Layout l) {
    using protocol::Layout;
    return l == Layout::U8 || l == Layout::U16 || l == Layout::S16 || l == Layout::OkTimer ||
           l == Layout::Bytes;
}
constexpr std::size_t countStatusColumns() {
    std::size_t n = 0;
    for (const auto& f : protocol::kStatusFields)
        n += isStoredLayout<protocol::StatusRecord>(f.layout) &&
             (f.layout != protocol::Layout::Bytes || f.width == 4);
    return n;
}
} // namespace detail

// Field columns of a status record (the time stamp is kept apart).
inline constexpr std::size_t kFieldColumns = detail::countStatusColumns();

// One stored record: UTC milliseconds and the field columns' integers.
struct Row {
    std::int64_t timeMs = 0;
    std::array<std::int64_t, kFieldColumns> values{};
    friend bool operator==(const Row&, const Row&) = default;
};

// The field columns, in table order.
const std::vector<ColumnSpec>& statusColumns();
// Index of the column with this name, or -1.
int columnIndex(std::string_view name);

Row rowFromStatus(std::int64_t utcMs, const protocol::StatusRecord& record);
protocol::StatusRecord statusFromRow(const Row& row);

// The integer range a column's kind allows; values outside it are clamped when written.
std::int64_t kindMin(ColumnKind kind);
std::int64_t kindMax(ColumnKind kind);

} // namespace hq::history
