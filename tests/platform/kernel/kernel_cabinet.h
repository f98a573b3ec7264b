// The drying cabinet's controller as the kernel test plays it behind a uhid device. Its reports
// are written byte by byte from the controller's report layout, not with the project's own
// encoder, so what the programs decode is checked against an independent source.
#pragma once

#include "uhid_device.h"

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace hq::kerneltest {

enum class Answering {
    AtOnce,  // in the kernel's output callback, before the write returns to the program
    Delayed, // after a fixed delay
    Never,   // receives every command, answers none
};

struct CabinetBehaviour {
    std::string usbSerial = "HQ0012345678";
    std::int32_t serialNumber = 12345678;
    Answering answering = Answering::AtOnce;
    std::chrono::milliseconds delay{50};
    // Sends reports nobody asked for: I2C scans, reports with an unknown code, status records.
    bool chatty = false;
};

// What the cabinet reports; the test compares the programs' output with it.
struct CabinetValues {
    std::uint16_t humidityTop = 453;    // tenths of % r.H.
    std::uint16_t humidityBottom = 387; // tenths of % r.H.
    std::uint16_t temperatureTop = 215; // tenths of a degree
    // Raw 0xFF9C: -10.0 degrees in two's complement.
    std::uint16_t temperatureBottom = 0xFF9C;
    std::uint8_t address[4] = {192, 168, 1, 50};
    std::uint16_t doorAlarmSeconds = 300;
    std::uint16_t restartDelaySeconds = 600;
    std::uint8_t returnAir = 1; // 1 on
    std::uint8_t mac[6] = {0x00, 0x04, 0xA3, 0x01, 0x02, 0x03};
    // The cabinet's clock (binary), as a clock set left it.
    int hours = 9, minutes = 5, seconds = 7, day = 6, month = 3, year = 24;
};

class KernelCabinet {
public:
    explicit KernelCabinet(CabinetBehaviour behaviour);
    ~KernelCabinet();
    KernelCabinet(const KernelCabinet&) = delete;
    KernelCabinet& operator=(const KernelCabinet&) = delete;

    // Plugs the cabinet in (a new uhid device) / pulls it out. The cabinet keeps its state.
    bool plug(std::string& error);
    void unplug();

    // The command codes received since the last clear, one character per output report.
    std::string received() const;
    std::vector<std::vector<std::uint8_t>> receivedReports() const;
    void clearReceived();
    CabinetValues values() const;
    const CabinetBehaviour& behaviour() const { return behaviour_; }

    // The reports as the controller sends them (64 data bytes, no report ID).
    std::vector<std::uint8_t> statusReport() const;
    std::vector<std::uint8_t> configReport() const;
    std::vector<std::uint8_t> webImageReport() const;
    std::vector<std::uint8_t> clockReport() const;

private:
    std::vector<std::vector<std::uint8_t>> onOutput(std::span<const std::uint8_t> report);
    void sendLoop();

    const CabinetBehaviour behaviour_;
    mutable std::mutex lock_;
    std::condition_variable wake_;
    CabinetValues values_;
    std::vector<std::vector<std::uint8_t>> received_;
    std::uint16_t polls_ = 0;
    // Answers due later, in the order they were asked for.
    std::deque<std::pair<std::chrono::steady_clock::time_point, std::vector<std::uint8_t>>> due_;
    // Guards creating, destroying and the sender's use of the device; never held together with
    // lock_ by the same thread while the device's service thread may need lock_.
    std::mutex deviceLock_;
    UhidDevice device_;
    bool stopping_ = false;
    std::thread sender_;
};

} // namespace hq::kerneltest
