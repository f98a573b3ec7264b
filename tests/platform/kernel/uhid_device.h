// A HID device made in the kernel through /dev/uhid: the kernel sees a real HID device (with a
// hidraw node and udev events), whose reports this process produces and consumes.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <span>
#include <string>
#include <thread>
#include <vector>

namespace hq::kerneltest {

struct UhidIdentity {
    std::string name;
    std::string phys;
    std::string uniq;
    std::uint16_t bus = 0x03; // BUS_USB
    std::uint32_t vendor = 0;
    std::uint32_t product = 0;
    std::uint32_t version = 0;
    std::vector<std::uint8_t> descriptor;
};

// Vendor-defined collection with 64-byte input and output reports and no report IDs.
std::vector<std::uint8_t> vendorDescriptor64();

class UhidDevice {
public:
    // Receives each output report as written (report-ID byte first) on the device's service
    // thread; returns the input reports to send back (without a report-ID byte).
    using OutputHandler =
        std::function<std::vector<std::vector<std::uint8_t>>(std::span<const std::uint8_t>)>;

    UhidDevice() = default;
    ~UhidDevice();
    UhidDevice(const UhidDevice&) = delete;
    UhidDevice& operator=(const UhidDevice&) = delete;

    // Creates the device; false with error set when /dev/uhid cannot be used.
    bool create(const UhidIdentity& identity, OutputHandler handler, std::string& error);
    // Removes the device from the kernel (UHID_DESTROY) and ends the service thread.
    void destroy();
    bool created() const { return fd_ >= 0; }
    // Sends one input report (without a report-ID byte) from any thread; false when the device
    // is not created or the kernel refuses it.
    bool sendInput(std::span<const std::uint8_t> report);

    int outputReports() const { return outputs_.load(); }

private:
    void serve();
    bool send(const void* event, std::size_t size);

    int fd_ = -1;
    int stopFd_ = -1;
    std::mutex writeLock_;
    OutputHandler handler_;
    std::thread thread_;
    std::atomic<int> outputs_{0};
};

} // namespace hq::kerneltest
