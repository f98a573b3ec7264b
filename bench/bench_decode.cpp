// Decoding one status report with its 20 message-pane lines, as the monitor does once a second.
#include <benchmark/benchmark.h>

#include <chrono>

#include "protocol/decoder.h"

namespace {

hq::protocol::ReplyReport statusReport() {
    hq::protocol::ReplyReport r{};
    const std::uint8_t body[] = {
        0x76, 0x81, 0,    0x34, 0x12, 7,    9,   5,   0xF4, 1,  0x10, 0x27, 0xE8, 3,    1,    0,
        0xFF, 0xFF, 0x2C, 1,    2,    0,    3,   0,   1,    4,  0xF0, 6,    0x0A, 0x2D, 0,    0xD7,
        0,    0xFF, 0x32, 0,    0x9C, 0xFF, 192, 168, 1,    20, 10,   0,    0,    1,    0x39, 0x30};
    std::copy(std::begin(body), std::end(body), r.begin());
    return r;
}

// A fresh result per report, as the window receives it.
void BM_DecodeStatus(benchmark::State& state) {
    const auto report = statusReport();
    hq::protocol::ReplyDecoder decoder;
    for (auto _ : state) {
        auto r = decoder.decode(report);
        benchmark::DoNotOptimize(r);
    }
}
BENCHMARK(BM_DecodeStatus)->Repetitions(10)->ReportAggregatesOnly(true);

// Reusing one result's storage.
void BM_DecodeStatusReuse(benchmark::State& state) {
    const auto report = statusReport();
    hq::protocol::ReplyDecoder decoder;
    hq::protocol::DecodeResult r;
    for (auto _ : state) {
        decoder.decode(report, r);
        benchmark::DoNotOptimize(r);
    }
}
BENCHMARK(BM_DecodeStatusReuse)->Repetitions(10)->ReportAggregatesOnly(true);

} // namespace

BENCHMARK_MAIN();
