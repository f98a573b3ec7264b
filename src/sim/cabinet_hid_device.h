// Puts a simulated cabinet on the simulated HID bus: its output reports go to the cabinet, its
// answers come back as 65-byte input reports (report ID 0 and 64 data bytes). A reset command
// takes it off the bus and pump() plugs it in again once the reset time has passed (a new
// device instance, as after a real re-enumeration); the bootloader command takes it off the bus
// until the cabinet leaves the bootloader.
#pragma once

#include "platform/hid_simulated.h"
#include "sim/cabinet.h"

#include <memory>

namespace hq::sim {

class CabinetHidDevice {
public:
    // The cabinet and the bus must outlive this object. The clock decides when a reset is over
    // (system clock when empty).
    CabinetHidDevice(platform::SimulatedHidPlatform& bus, Cabinet& cabinet, Clock clock = {});
    ~CabinetHidDevice(); // takes the cabinet off the bus
    CabinetHidDevice(const CabinetHidDevice&) = delete;
    CabinetHidDevice& operator=(const CabinetHidDevice&) = delete;

    void plug();
    void unplug();
    bool plugged() const;
    // The bus id while plugged, else 0.
    platform::SimulatedDeviceId deviceId() const;

    // Call periodically (e.g. from a 50 ms timer): advances the cabinet, queues the reports it
    // sends on its own, and plugs it in again after a reset or once it left the bootloader.
    void pump();

    struct State;

private:
    std::shared_ptr<State> state_;
};

} // namespace hq::sim
