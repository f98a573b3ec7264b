// The two device backends of the tool: the operating system's HID interfaces and one simulated
// cabinet in process.
#include "cli/cli.h"

#include "platform/hid_native.h"
#include "platform/hid_simulated.h"
#include "sim/cabinet.h"
#include "sim/cabinet_hid_device.h"

#include <QTimer>

#include <iostream>

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
    SimulatedBackend() : device_(bus_, cabinet_) {
        device_.plug();
        // The cabinet's world moves on and a reset cabinet comes back on the bus.
        QObject::connect(&pump_, &QTimer::timeout, [this] { device_.pump(); });
        pump_.start(50);
    }
    ~SimulatedBackend() override { pump_.stop(); }
    platform::HidPlatform& platform() override { return bus_; }

private:
    platform::SimulatedHidPlatform bus_;
    sim::Cabinet cabinet_;
    sim::CabinetHidDevice device_;
    QTimer pump_;
};

} // namespace

std::unique_ptr<DeviceBackend> makeNativeBackend() {
    return std::make_unique<NativeBackend>();
}

std::unique_ptr<DeviceBackend> makeSimulatedBackend() {
    return std::make_unique<SimulatedBackend>();
}

Environment defaultEnvironment(const QString& applicationDir, const std::atomic<bool>* interrupt) {
    Environment env;
    env.out = &std::cout;
    env.err = &std::cerr;
    env.in = &std::cin;
    env.backend = [](bool simulate) {
        return simulate ? makeSimulatedBackend() : makeNativeBackend();
    };
    env.now = [] { return std::chrono::system_clock::now(); };
    env.applicationDir = applicationDir;
    env.interrupt = interrupt;
    return env;
}

} // namespace hq::cli
