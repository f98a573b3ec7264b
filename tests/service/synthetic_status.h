// Plausible cabinet history for tests and measurements: slow humidity and temperature drift
// with sensor noise, regeneration cycles, motor steps, door openings and error episodes.
#pragma once

#include "protocol/reply.h"

#include <cmath>
#include <cstdint>
#include <random>

namespace hq::testing {

class SyntheticCabinet {
public:
    explicit SyntheticCabinet(std::uint32_t seed = 1) : rng_(seed) {}

    // The record of second i.
    protocol::StatusRecord record(std::int64_t i) {
        protocol::StatusRecord r;
        const double t = double(i);
        const bool door = (i % 7200) < 60; // a minute every two hours
        const std::int64_t sinceDoor = i % 7200;
        const double doorBump = sinceDoor < 1200 ? 200.0 * std::exp(-double(sinceDoor) / 300) : 0;
        auto noise = [this](int span) { return int(rng_() % unsigned(2 * span + 1)) - span; };
        r.humidityTop = std::uint16_t(150 + 60 * std::sin(t / 5000) + doorBump + noise(1));
        r.humidityBottom = std::uint16_t(120 + 50 * std::sin(t / 6100 + 1) + doorBump + noise(1));
        r.temperatureTop = std::int16_t(215 + 30 * std::sin(t / 20000) + noise(1));
        r.temperatureBottom = std::int16_t(-15 + 40 * std::sin(t / 17000 + 2) + noise(1));
        const std::int64_t cycle = i % 3600; // regeneration once an hour
        r.t2_1 = std::uint16_t(cycle < 900 ? 30 + cycle / 30 : 60 - (cycle - 900) / 100);
        r.t2_2 = std::uint16_t(cycle < 900 ? 25 + cycle / 40 : 47 - (cycle - 900) / 130);
        r.l1 = std::uint16_t((i / 600) % 2 ? 1000 : 350); // motor steps every ten minutes
        r.l1Ups = std::uint16_t(i / 10);
        r.netzf = std::uint16_t(50 + noise(1));
        r.t3 = std::uint16_t(1234 + noise(3));
        r.fehler = std::uint8_t((i % 20000) < 30 ? 3 : 0);
        r.prog = std::uint8_t(cycle < 900 ? 0x81 : 0x01);
        r.programmphase = std::uint8_t(cycle < 900 ? 4 : 1);
        r.okTimer = std::uint16_t(i % 250);
        r.tet = std::uint8_t(20 + (i / 60) % 5);
        r.status = std::uint8_t((door ? 0x01 : 0x00) | 0x10);
        r.intTimer = std::uint16_t(i % 1000);
        return r;
    }

private:
    std::mt19937 rng_;
};

} // namespace hq::testing
