#include "sim/encoder.h"

#include "protocol/record_table.h"

#include <algorithm>

namespace hq::sim {

namespace {
// A firmware version on either side of the okTimer rule.
protocol::FirmwareVersion okTimerFirmware(bool wide) {
    return wide ? protocol::FirmwareVersion{1, 3} : protocol::FirmwareVersion{1, 2};
}
} // namespace

InputData encodeStatus(const protocol::StatusRecord& s, bool wideOkTimer) {
    return protocol::encodeFields(s, protocol::reply::kStatus, okTimerFirmware(wideOkTimer));
}

InputData encodeConfig(const protocol::ConfigRecord& c) {
    return protocol::encodeFields(c, protocol::reply::kConfig);
}

InputData encodeClock(const protocol::ClockRecord& c) {
    return protocol::encodeFields(c, protocol::reply::kClock);
}

InputData encodeI2cScan(std::span<const std::uint8_t> addresses) {
    protocol::I2cScanRecord r;
    const std::size_t n = std::min(addresses.size(), protocol::kMaxI2cAddresses);
    r.addresses.assign(addresses.begin(), addresses.begin() + static_cast<std::ptrdiff_t>(n));
    r.count = static_cast<std::uint8_t>(n);
    return protocol::encodeFields(r, protocol::reply::kI2cScan);
}

InputData encodeWebImageVersion(std::string_view text) {
    protocol::WebImageVersion w;
    w.text = std::string(text); // the controller's own bytes (Windows-1252)
    return protocol::encodeFields(w, protocol::reply::kWebImageVersion);
}

} // namespace hq::sim
