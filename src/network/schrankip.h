#pragma once

#include <QString>

#include <optional>

namespace hq {

// The address field of the LAN tab: four groups of one to three digits, each in three character
// positions with leading blanks, separated by dots.
inline constexpr auto kEmptySchrankip = "   .   .   .   ";

// Lays a dotted address ("192.168.1.50") out in the field's shape ("192.168.  1. 50"). Text that
// is not four groups of one to three digits gives nothing.
std::optional<QString> FormatSchrankip(const QString& dotted);

// The plain dotted address of the field's text: all blanks removed ("192.168.  1. 50" gives
// "192.168.1.50"). An empty group stays empty ("192.168..50"), which is no address.
QString PlainSchrankip(const QString& fieldText);

// True when the field holds no address at all (every position blank).
bool IsEmptySchrankip(const QString& fieldText);

} // namespace hq
