// Status records of the simulated cabinet (sim::Cabinet, its drift and noise as they are), polled
// once a second on a simulated clock with a few milliseconds of poll jitter, as rows of the
// stored history. For tests and measurements.
#pragma once

#include "history/columns.h"
#include "protocol/command_frame.h"
#include "protocol/reply.h"
#include "sim/cabinet.h"

#include <chrono>
#include <cstdint>
#include <memory>
#include <random>

namespace hq::testing {

class SimulatedRows {
public:
    // startMs: UTC milliseconds of the first poll; jitterMs: each time stamp lies up to this
    // much after its whole second (the poll timer and the USB round trip).
    explicit SimulatedRows(std::int64_t startMs, int jitterMs = 16, std::uint64_t seed = 7)
        : nowMs_(startMs), jitter_(jitterMs), rng_(std::uint32_t(seed)) {
        sim::CabinetOptions o;
        o.seed = seed;
        cabinet_ = std::make_unique<sim::Cabinet>(o, [this] {
            return std::chrono::system_clock::time_point(std::chrono::milliseconds(nowMs_));
        });
    }

    history::Row next() {
        const std::int64_t second = base_ + 1000 * count_++;
        nowMs_ = second + (jitter_ > 0 ? std::int64_t(rng_() % unsigned(jitter_ + 1)) : 0);
        const std::uint8_t ask[2] = {0, protocol::command::kStatus};
        const auto answers = cabinet_->handleOutputReport(ask);
        protocol::StatusRecord r;
        if (!answers.empty())
            r = protocol::decodeStatusRecord(answers.front(), protocol::FirmwareVersion{1, 3});
        return history::rowFromStatus(nowMs_, r);
    }

private:
    std::int64_t nowMs_;
    std::int64_t base_ = nowMs_;
    std::int64_t count_ = 0;
    int jitter_;
    std::mt19937 rng_;
    std::unique_ptr<sim::Cabinet> cabinet_;
};

} // namespace hq::testing
