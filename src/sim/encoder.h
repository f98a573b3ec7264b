// Encodes the cabinet's answers into input report data as the controller lays them out, from
// the record tables (protocol/record_table.h) that the monitor's reply decoder reads them by.
#pragma once

#include <span>
#include <string_view>

#include "protocol/reply.h"
#include "sim/cabinet.h"

namespace hq::sim {

// wideOkTimer: firmware from 1.003 on sends okTimer as u16 at bytes 18-19 (where t1_2 sits);
// older firmware sends it as u8 at byte 5 (clamped to 255) and t1_2 at bytes 18-19.
InputData encodeStatus(const protocol::StatusRecord& s, bool wideOkTimer);
InputData encodeConfig(const protocol::ConfigRecord& c);
InputData encodeClock(const protocol::ClockRecord& c);
// At most 62 addresses; the count byte is the number written.
InputData encodeI2cScan(std::span<const std::uint8_t> addresses);
// Up to 61 bytes of text (Windows-1252), zero-padded.
InputData encodeWebImageVersion(std::string_view text);

} // namespace hq::sim
