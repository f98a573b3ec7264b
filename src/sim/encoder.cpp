#include "sim/encoder.h"

#include <algorithm>

namespace hq::sim {

namespace {
void put8(InputData& d, std::size_t i, std::uint8_t v) {
    d[i] = v;
}
void put16(InputData& d, std::size_t i, std::uint16_t v) {
    d[i] = static_cast<std::uint8_t>(v & 0xFF);
    d[i + 1] = static_cast<std::uint8_t>(v >> 8);
}
void put32(InputData& d, std::size_t i, std::uint32_t v) {
    put16(d, i, static_cast<std::uint16_t>(v & 0xFFFF));
    put16(d, i + 2, static_cast<std::uint16_t>(v >> 16));
}
template <std::size_t N>
void putBytes(InputData& d, std::size_t i, const std::array<std::uint8_t, N>& a) {
    std::copy(a.begin(), a.end(), d.begin() + static_cast<std::ptrdiff_t>(i));
}
} // namespace

InputData encodeStatus(const protocol::StatusRecord& s, bool wideOkTimer) {
    InputData d{};
    put8(d, 0, protocol::reply::Status);
    put8(d, 1, s.aktoren);
    put8(d, 2, s.fehler);
    put16(d, 3, s.l1Ups);
    put8(d, 5, wideOkTimer ? 0 : static_cast<std::uint8_t>(std::min<int>(s.okTimer, 255)));
    put8(d, 6, s.tet);
    put8(d, 7, s.ventile);
    put16(d, 8, s.netzf);
    put16(d, 10, s.t3);
    put16(d, 12, s.l1);
    put16(d, 14, s.t1);
    put16(d, 16, s.netErrors);
    put16(d, 18, wideOkTimer ? s.okTimer : s.t1_2);
    put16(d, 20, s.t2_1);
    put16(d, 22, s.t2_2);
    put8(d, 24, s.status);
    put8(d, 25, s.programmphase);
    put8(d, 26, s.prog);
    put8(d, 27, s.lIn);
    put8(d, 28, s.hytRetO);
    put16(d, 29, s.humidityTop);
    put16(d, 31, static_cast<std::uint16_t>(s.temperatureTop));
    put8(d, 33, s.hytRetU);
    put16(d, 34, s.humidityBottom);
    put16(d, 36, static_cast<std::uint16_t>(s.temperatureBottom));
    putBytes(d, 38, s.cabinetAddress);
    putBytes(d, 42, s.secondAddress);
    put16(d, 46, s.intTimer);
    return d;
}

InputData encodeConfig(const protocol::ConfigRecord& c) {
    InputData d{};
    put8(d, 0, protocol::reply::Config);
    put8(d, 1, c.regenHumidity);
    put8(d, 2, c.reduction1Humidity);
    put8(d, 3, c.reduction2Humidity);
    put16(d, 4, c.doorAlarmTime);
    put16(d, 6, c.restartDelay);
    // The display flag shares byte 8 with the low byte of extraTime1.
    const std::uint16_t extra1 =
        static_cast<std::uint16_t>((c.extraTime1 & ~0x40u) | (c.showReturnAir ? 0x40u : 0u));
    put16(d, 8, extra1);
    put16(d, 10, c.extraTime2);
    put32(d, 13, static_cast<std::uint32_t>(c.serialNumber));
    put8(d, 17, c.firmwareMinor);
    put8(d, 18, c.firmwareMajor);
    putBytes(d, 21, c.macAddress);
    put8(d, 28, c.returnAirMonitoring);
    return d;
}

InputData encodeClock(const protocol::ClockRecord& c) {
    InputData d{};
    put8(d, 0, protocol::reply::Clock);
    put8(d, 1, c.readStatus);
    put8(d, 2, c.hours);
    put8(d, 3, c.minutes);
    put8(d, 4, c.seconds);
    put8(d, 5, c.day);
    put8(d, 6, c.month);
    put8(d, 7, c.year);
    return d;
}

InputData encodeI2cScan(std::span<const std::uint8_t> addresses) {
    InputData d{};
    const std::size_t n = std::min(addresses.size(), protocol::kMaxI2cAddresses);
    put8(d, 0, protocol::reply::I2cScan);
    put8(d, 1, static_cast<std::uint8_t>(n));
    std::copy_n(addresses.begin(), n, d.begin() + 2);
    return d;
}

InputData encodeWebImageVersion(std::string_view text) {
    InputData d{};
    put8(d, 0, protocol::reply::WebImageVersion);
    const std::size_t n = std::min(text.size(), protocol::kWebImageTextLength);
    for (std::size_t i = 0; i < n; ++i)
        d[1 + i] = static_cast<std::uint8_t>(text[i]);
    return d;
}

} // namespace hq::sim
