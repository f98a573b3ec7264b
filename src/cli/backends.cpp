// The two device backends of the tool: the operating system's HID interfaces and one simulated
// cabinet in process.
#include "cli/cli.h"

#include "platform/hid_native.h"
#include "platform/hid_simulated.h"
#include "sim/cabinet.h"
#include "sim/cabinet_hid_device.h"

#include <QTimer>

#include <algorithm>
#include <iostream>
#include <string>
#include <vector>

namespace hq::cli {

namespace {

class NativeBackend : public DeviceBackend {
public:
    NativeBackend() : platform_(platform::createNativeHidPlatform()) {}
    platform::HidPlatform& platform() override { return *platform_; }

private:
    std::unique_ptr<platform::HidPlatform> platform_;
};

class SimulatedBackend : public DeviceBackend {
public:
    // count cabinets, the first as the simulated cabinet always is (serial number 12345678),
    // the others with the serial numbers, USB serial strings and MAC addresses that follow.
    explicit SimulatedBackend(int count) {
        for (int i = 0; i < count; ++i) {
            sim::CabinetOptions o;
            o.seed += std::uint64_t(i);
            o.serialNumber += i;
            o.serialString = "HQ00" + std::to_string(o.serialNumber);
            o.mac[5] = static_cast<std::uint8_t>(o.mac[5] + i);
            o.ipAddress[3] = static_cast<std::uint8_t>(o.ipAddress[3] + i);
            auto& c = cabinets_.emplace_back(std::make_unique<sim::Cabinet>(o));
            devices_.push_back(std::make_unique<sim::CabinetHidDevice>(bus_, *c));
            devices_.back()->plug();
        }
        // The cabinets' world moves on and a reset cabinet comes back on the bus.
        QObject::connect(&pump_, &QTimer::timeout, [this] {
            for (auto& d : devices_)
                d->pump();
        });
        pump_.start(50);
    }
    ~SimulatedBackend() override {
        pump_.stop();
        devices_.clear();
    }
    platform::HidPlatform& platform() override { return bus_; }

private:
    platform::SimulatedHidPlatform bus_;
    std::vector<std::unique_ptr<sim::Cabinet>> cabinets_;
    std::vector<std::unique_ptr<sim::CabinetHidDevice>> devices_;
    QTimer pump_;
};

} // namespace

std::unique_ptr<DeviceBackend> makeNativeBackend() {
    return std::make_unique<NativeBackend>();
}

std::unique_ptr<DeviceBackend> makeSimulatedBackend(int cabinets) {
    return std::make_unique<SimulatedBackend>(std::max(1, cabinets));
}

Environment defaultEnvironment(const QString& applicationDir, const std::atomic<bool>* interrupt) {
    Environment env;
    env.out = &std::cout;
    env.err = &std::cerr;
    env.in = &std::cin;
    env.backend = [](bool simulate) {
        return simulate ? makeSimulatedBackend() : makeNativeBackend();
    };
    env.simulatedCabinets = [](int count) { return makeSimulatedBackend(count); };
    env.now = [] { return std::chrono::system_clock::now(); };
    env.applicationDir = applicationDir;
    env.interrupt = interrupt;
    return env;
}

} // namespace hq::cli
