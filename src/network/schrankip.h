#pragma once

#include <QHostAddress>
#include <QString>

#include <optional>

namespace hq {

// The address field of the LAN tab: four groups of one to three digits, each in three character
// positions with leading blanks, separated by dots.
inline constexpr auto kEmptySchrankip = "   .   .   .   ";

// Lays a dotted address ("192.168.1.50") out in the field's shape ("192.168.  1. 50"). Text that
// is not four groups of one to three digits gives nothing.
std::optional<QString> formatSchrankip(const QString& dotted);

// The plain dotted address of the field's text: all blanks removed ("192.168.  1. 50" gives
// "192.168.1.50"). An empty group stays empty ("192.168..50"), which is no address.
QString plainSchrankip(const QString& fieldText);

// Four dot-separated decimal groups 0..255, blanks within a group ignored ("192.168.  1. 50",
// "010.0.0.7" is 10.0.0.7, never octal). Anything else gives nothing.
std::optional<QHostAddress> parseDottedIPv4(const QString& text);

// True when text is made only of digits, dots and blanks: an attempt at a dotted address, never a
// host name worth looking up.
bool looksLikeDottedAddress(const QString& text);

// True when the field holds no address at all (every position blank).
bool isEmptySchrankip(const QString& fieldText);

// What the field's mask accepts as finished input: four groups of three positions separated by
// dots, each group one to three digits in a row with blanks around them ("192.168.  1. 50",
// "1  .2.3.4" before it is laid out). A group without any digit is not accepted.
bool isCompleteSchrankip(const QString& fieldText);

} // namespace hq
