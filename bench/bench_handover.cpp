// Latency from an input report queued on the simulated HID bus to the report handler running on
// the main thread (read thread wake-up, hand-over, event loop dispatch).
#include "hid/hid_controller.h"
#include "platform/hid_simulated.h"

#include <benchmark/benchmark.h>

#include <QCoreApplication>

#include <algorithm>
#include <chrono>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

void BM_ReportHandOver(benchmark::State& state) {
    hq::platform::SimulatedHidPlatform bus;
    hq::platform::FixedHidFunction::Identity identity;
    identity.attributes.vendorId = 0x04D8;
    identity.attributes.productId = 0x003F;
    identity.caps.inputReportByteLength = 65;
    identity.caps.outputReportByteLength = 65;
    const auto id = bus.plug(std::make_shared<hq::platform::FixedHidFunction>(identity));
    hq::HidDeviceController controller(bus);
    QCoreApplication::processEvents();
    std::unique_ptr<hq::HidDevice> dev;
    if (!controller.ClaimByIds(dev, 0x04D8, 0x003F)) {
        state.SkipWithError("cabinet not found");
        return;
    }
    bool delivered = false;
    Clock::time_point arrived;
    dev->SetReportHandler([&](hq::HidDevice*, std::uint8_t, const std::uint8_t*, std::uint16_t) {
        arrived = Clock::now();
        delivered = true;
    });
    const std::vector<std::uint8_t> report(65, 0x76);
    std::vector<double> samples;
    samples.reserve(100000);
    for (auto _ : state) {
        delivered = false;
        const auto queued = Clock::now();
        bus.queueInputReport(id, report);
        while (!delivered)
            QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        const double seconds = std::chrono::duration<double>(arrived - queued).count();
        state.SetIterationTime(seconds);
        samples.push_back(seconds * 1e6);
    }
    if (samples.empty())
        return;
    std::sort(samples.begin(), samples.end());
    state.counters["p50_us"] = samples[samples.size() / 2];
    state.counters["p99_us"] = samples[std::min(samples.size() - 1, samples.size() * 99 / 100)];
    state.counters["max_us"] = samples.back();
    dev.reset();
}
BENCHMARK(BM_ReportHandOver)->UseManualTime()->Unit(benchmark::kMicrosecond)->Iterations(20000);

} // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    benchmark::Initialize(&argc, argv);
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    return 0;
}
