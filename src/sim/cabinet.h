// The simulated cabinet: a model of the HQ3746 controller as the monitor sees it over USB.
// Standard library only. Deterministic from its seed and its clock.
#pragma once

#include "cabinet/identity.h"

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace hq::sim {

using Clock = std::function<std::chrono::system_clock::time_point()>;

// One input report's 64 data bytes (the report ID 0 is not included).
using InputData = std::array<std::uint8_t, 64>;

struct CabinetOptions {
    std::uint64_t seed = 1;
    std::uint8_t firmwareMajor = 1;
    std::uint8_t firmwareMinor = 3;
    std::int32_t serialNumber = 12345678;
    std::array<std::uint8_t, 6> mac{0x00, 0x04, 0xA3, 0x37, 0x46, 0x01};
    std::array<std::uint8_t, 4> ipAddress{192, 168, 1, 20};
    // Up to 61 characters; padded with zero bytes in the "u" answer.
    std::string webImageText = "Version_MPFS=1.003;";
    std::uint16_t doorAlarmSeconds = 300;
    std::uint16_t restartDelaySeconds = 600;
    bool returnAirMonitoring = true;
    // USB identity
    std::uint16_t vendorId = cabinet::kVendorId;
    std::uint16_t productId = cabinet::kProductId;
    std::uint16_t versionNumber = 0x0100;
    std::string productString{cabinet::kProductString};
    std::string serialString = "HQ0012345678";
    // How long the controller stays off the bus after a reset (0xFF).
    std::chrono::milliseconds resetDuration{1500};
    // Temperature at the humidity sensors in tenths of °C (may be negative).
    std::int16_t temperatureTenths = 215;
    // The door opens now and then by itself (a user taking something out).
    bool randomDoor = true;
    // Error number reported while the door has been open longer than the alarm time.
    std::uint8_t doorAlarmError = 1;
    // The second four-byte value of the status record (shown dotted).
    std::array<std::uint8_t, 4> secondAddress{255, 255, 255, 0};
    // Drying time between two regenerations of the cartridge.
    std::chrono::seconds regenerationInterval{3600};
};

enum class CabinetPresence {
    Present,    // on the bus, answering
    Resetting,  // gone after 0xFF; comes back after resetDuration
    Bootloader, // gone after 0xFE; stays gone until leaveBootloader()
};

class Cabinet {
public:
    explicit Cabinet(CabinetOptions options = {}, Clock clock = {});

    const CabinetOptions& options() const;

    // Handles one output report exactly as written to the device: byte 0 is the report ID,
    // the command frame follows. Returns the input reports the cabinet sends in answer
    // (none for commands without an answer, or while it is not present).
    std::vector<InputData> handleOutputReport(std::span<const std::uint8_t> report);

    // Moves the simulated world forward to the clock's now: humidity drift, door, phases,
    // the end of a reset. Called by handleOutputReport; callers may call it from timers.
    void advance();

    CabinetPresence presence() const;
    bool present() const { return presence() == CabinetPresence::Present; }
    void leaveBootloader();

    // Reports the cabinet sends on its own (an I2C scan record on demand); taken once.
    std::vector<InputData> takeUnsolicited();

    // Service hooks for tests and demonstrations.
    void raiseError(std::uint8_t errorNumber); // 0 clears
    void requestI2cScan(std::vector<std::uint8_t> addresses);
    void setDoorOpen(bool open);

    // Current state, as the next answers will report it.
    std::uint16_t humidityTop() const;    // tenths of % r.H.
    std::uint16_t humidityBottom() const; // tenths of % r.H.
    bool doorOpen() const;
    std::uint8_t errorNumber() const;
    std::uint16_t doorAlarmSeconds() const;
    std::uint16_t restartDelaySeconds() const;
    bool returnAirMonitoring() const;
    std::int32_t serialNumber() const;
    // The cabinet's clock: the host clock plus the offset that the last "2" set. The cabinet
    // keeps a civil time without time zone; it is returned as if that civil time were UTC.
    // Until the first "2" it shows the host's local time.
    std::chrono::system_clock::time_point cabinetTime() const;
    std::uint8_t programmphase() const;  // see ProgramPhase
    std::int16_t temperatureTop() const; // tenths of °C

    // The programme phases the status record reports.
    enum ProgramPhase : std::uint8_t {
        StartUp = 0,     // the first seconds after power-on or reset
        Drying = 1,      // air circulates through the cartridge
        DoorOpen = 2,    // circulation stopped while the door is open
        RestartWait = 3, // waiting the restart delay after the door was closed
        Heating = 4,     // regeneration: the cartridge is heated
        Cooling = 5,     // regeneration: the cartridge cools down
    };

private:
    struct State;
    std::shared_ptr<State> state_;
};

} // namespace hq::sim
