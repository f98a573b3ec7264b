#include "sim/cabinet_hid_device.h"

#include <mutex>
#include <utility>

namespace hq::sim {

struct CabinetHidDevice::State {
    platform::SimulatedHidPlatform& bus;
    Cabinet& cabinet;
    Clock clock;
    std::mutex lock; // guards the cabinet and the fields below
    platform::SimulatedDeviceId id = 0;
    bool away = false; // taken off the bus by a reset or bootloader command
    std::chrono::system_clock::time_point awaySince{};

    State(platform::SimulatedHidPlatform& b, Cabinet& c, Clock k)
        : bus(b), cabinet(c), clock(std::move(k)) {}
};

namespace {

std::u16string widen(const std::string& text) {
    std::u16string out;
    for (unsigned char c : text)
        out.push_back(static_cast<char16_t>(c));
    return out;
}

std::vector<std::uint8_t> inputReport(const InputData& data) {
    std::vector<std::uint8_t> report(1 + data.size(), 0);
    std::copy(data.begin(), data.end(), report.begin() + 1);
    return report;
}

class CabinetFunction : public platform::SimulatedHidFunction {
public:
    explicit CabinetFunction(std::weak_ptr<CabinetHidDevice::State> state)
        : state_(std::move(state)) {}

    platform::HidAttributes attributes() const override {
        auto s = state_.lock();
        if (!s)
            return {};
        const auto& o = s->cabinet.options();
        return {12, o.vendorId, o.productId, o.versionNumber};
    }
    platform::HidCaps caps() const override { return {0x0001, 0xFF00, 65, 65, 0}; }
    std::optional<std::u16string> productString() const override {
        auto s = state_.lock();
        return s ? std::optional(widen(s->cabinet.options().productString)) : std::nullopt;
    }
    std::optional<std::u16string> serialString() const override {
        auto s = state_.lock();
        if (!s || s->cabinet.options().serialString.empty())
            return std::nullopt;
        return widen(s->cabinet.options().serialString);
    }
    std::vector<std::vector<std::uint8_t>>
    onOutputReport(std::span<const std::uint8_t> report) override {
        auto s = state_.lock();
        if (!s)
            return {};
        std::vector<std::vector<std::uint8_t>> answers;
        platform::SimulatedDeviceId gone = 0;
        {
            std::lock_guard g(s->lock);
            for (const auto& data : s->cabinet.handleOutputReport(report))
                answers.push_back(inputReport(data));
            if (!s->cabinet.present() && s->id != 0) {
                gone = std::exchange(s->id, 0);
                s->away = true;
                s->awaySince = s->clock();
            }
        }
        if (gone != 0)
            s->bus.unplug(gone); // the controller drops off the bus after reset/bootloader
        return answers;
    }

private:
    std::weak_ptr<CabinetHidDevice::State> state_;
};

} // namespace

CabinetHidDevice::CabinetHidDevice(platform::SimulatedHidPlatform& bus, Cabinet& cabinet,
                                   Clock clock)
    : state_(std::make_shared<State>(bus, cabinet, clock ? std::move(clock) : Clock([] {
                                         return std::chrono::system_clock::now();
                                     }))) {}

CabinetHidDevice::~CabinetHidDevice() {
    unplug();
}

void CabinetHidDevice::plug() {
    {
        std::lock_guard g(state_->lock);
        if (state_->id != 0)
            return;
        state_->away = false;
    }
    platform::SimulatedPlugOptions options;
    options.properties.deviceDesc = "USB Input Device";
    options.properties.manufacturer = "(Standard system devices)";
    options.properties.enumeratorName = "USB";
    const auto id = state_->bus.plug(std::make_shared<CabinetFunction>(state_), options);
    std::lock_guard g(state_->lock);
    state_->id = id;
}

void CabinetHidDevice::unplug() {
    platform::SimulatedDeviceId id = 0;
    {
        std::lock_guard g(state_->lock);
        id = std::exchange(state_->id, 0);
        state_->away = false;
    }
    if (id != 0)
        state_->bus.unplug(id);
}

bool CabinetHidDevice::plugged() const {
    std::lock_guard g(state_->lock);
    return state_->id != 0;
}

platform::SimulatedDeviceId CabinetHidDevice::deviceId() const {
    std::lock_guard g(state_->lock);
    return state_->id;
}

void CabinetHidDevice::pump() {
    std::vector<InputData> unsolicited;
    bool replug = false;
    platform::SimulatedDeviceId id = 0;
    {
        std::lock_guard g(state_->lock);
        state_->cabinet.advance();
        id = state_->id;
        if (id != 0) {
            unsolicited = state_->cabinet.takeUnsolicited();
        } else if (state_->away && state_->cabinet.present() &&
                   state_->clock() - state_->awaySince >= state_->cabinet.options().resetDuration) {
            replug = true;
        }
    }
    for (const auto& data : unsolicited)
        state_->bus.queueInputReport(id, inputReport(data));
    if (replug)
        plug();
}

} // namespace hq::sim
