// The simulated HID platform: an in-process HID bus on which tests and the simulation mode plug
// and unplug devices. Each device's behaviour is a SimulatedHidFunction. Thread-safe: reads run
// on read threads, everything else on any thread.
#pragma once

#include "platform/hid_platform.h"

#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace hq::platform {

// Error codes the simulated bus reports (errno values, as on Linux).
namespace simerr {
inline constexpr ErrorCode kNoSuchDevice = 19;     // ENODEV: the device is gone
inline constexpr ErrorCode kNotFound = 2;          // ENOENT: no such interface path
inline constexpr ErrorCode kPermissionDenied = 13; // EACCES
inline constexpr ErrorCode kIoError = 5;           // EIO: an injected fault
inline constexpr ErrorCode kCancelled = 125;       // ECANCELED
inline constexpr ErrorCode kBusy = 16;             // EBUSY: a read is already outstanding
} // namespace simerr

// Behaviour of one simulated HID function (what the device's firmware does).
// Called without the bus lock held; may plug and unplug devices on the bus.
class SimulatedHidFunction {
public:
    virtual ~SimulatedHidFunction() = default;
    virtual HidAttributes attributes() const = 0;
    virtual HidCaps caps() const = 0;
    // Empty optional: the device has no such string (the query fails).
    virtual std::optional<std::u16string> productString() const = 0;
    virtual std::optional<std::u16string> serialString() const = 0;
    // String descriptor 0; empty: the query fails.
    virtual std::vector<std::uint16_t> languageIds() const { return {0x0409}; }
    // One output report as written (byte 0 is the report ID). Returns the input reports the
    // device sends in answer, each with its report-ID byte first.
    virtual std::vector<std::vector<std::uint8_t>>
    onOutputReport(std::span<const std::uint8_t> report) = 0;
};

// A function with fixed identity that records writes and answers nothing; enough for "some
// other HID device" on the bus.
class FixedHidFunction : public SimulatedHidFunction {
public:
    struct Identity {
        HidAttributes attributes;
        HidCaps caps;
        std::optional<std::u16string> product;
        std::optional<std::u16string> serial;
        std::vector<std::uint16_t> languageIds{0x0409};
    };
    explicit FixedHidFunction(Identity identity) : identity_(std::move(identity)) {}
    HidAttributes attributes() const override { return identity_.attributes; }
    HidCaps caps() const override { return identity_.caps; }
    std::optional<std::u16string> productString() const override { return identity_.product; }
    std::optional<std::u16string> serialString() const override { return identity_.serial; }
    std::vector<std::uint16_t> languageIds() const override { return identity_.languageIds; }
    std::vector<std::vector<std::uint8_t>>
    onOutputReport(std::span<const std::uint8_t> report) override;
    // The reports written so far.
    std::vector<std::vector<std::uint8_t>> writtenReports() const;

private:
    Identity identity_;
    mutable std::mutex lock_;
    std::vector<std::vector<std::uint8_t>> written_;
};

// What a read handle's input queue does with a report that arrives while it is full.
enum class InputOverflow {
    DropNewest, // the arriving report is lost (Linux hidraw)
    DropOldest, // the oldest waiting report makes room (the Windows HID class driver's ring)
};

// How a plugged device behaves towards opens and queries.
struct SimulatedPlugOptions {
    std::string interfacePath; // empty: "sim:hid#<n>"
    HidPnpProperties properties;
    bool refuseReadWrite = false;  // read-write open fails with PermissionDenied
    bool refuseAllOpens = false;   // every open fails with PermissionDenied
    bool failAttributes = false;   // the attribute query fails
    bool noPreparsedData = false;  // the report-descriptor query fails
    bool noIndexedStrings = false; // the platform cannot read string descriptors by index
    // Input reports each read handle keeps until a read takes them. The default is hidraw's:
    // a queue of 64 per open file that drops an arriving report when full.
    std::size_t inputBuffers = 64;
    InputOverflow overflow = InputOverflow::DropNewest;
};

using SimulatedDeviceId = std::uint64_t;

class SimulatedHidPlatform : public HidPlatform {
public:
    SimulatedHidPlatform();
    ~SimulatedHidPlatform() override;
    SimulatedHidPlatform(const SimulatedHidPlatform&) = delete;
    SimulatedHidPlatform& operator=(const SimulatedHidPlatform&) = delete;

    // Bus control. plug() and unplug() raise a change notification, as the system would.
    SimulatedDeviceId plug(std::shared_ptr<SimulatedHidFunction> function,
                           SimulatedPlugOptions options = {});
    void unplug(SimulatedDeviceId id); // unknown ids are ignored
    bool isPlugged(SimulatedDeviceId id) const;
    // The device-instance identity under which the device is enumerated.
    std::uint64_t devInstOf(SimulatedDeviceId id) const;
    std::string interfacePathOf(SimulatedDeviceId id) const;
    void setAvailable(bool available);
    // Raises a change notification without any change (a broadcast for another device node).
    void notifyChange();

    // Input side, as the operating systems queue input reports: a report that arrives is put
    // into the queue of every read handle open at that moment, where it waits until a read on
    // that handle takes it (one report per read); a report that arrives while no read handle is
    // open is lost. Each queue holds options.inputBuffers reports and overflows as
    // options.overflow says. An empty report completes a read with zero bytes. Answers of the
    // device's function to a write arrive the same way.
    void queueInputReport(SimulatedDeviceId id, std::vector<std::uint8_t> report);
    // The most reports any open read handle of the device has waiting.
    std::size_t pendingInputReports(SimulatedDeviceId id) const;
    // Reports lost so far because no read handle was open or a queue was full (a report
    // dropped from several queues counts once per queue).
    std::size_t lostInputReports(SimulatedDeviceId id) const;

    // Fault injection, each for the next n operations of the device.
    void refuseReadStarts(SimulatedDeviceId id, int n, ErrorCode error = simerr::kIoError);
    void refuseReadOpens(SimulatedDeviceId id, int n, ErrorCode error = simerr::kIoError);
    void failReads(SimulatedDeviceId id, int n, ErrorCode error = simerr::kIoError);
    void failWrites(SimulatedDeviceId id, int n, ErrorCode error = simerr::kIoError);

    // Counters for tests.
    int openHandleCount(SimulatedDeviceId id) const; // control and read handles now open
    int readHandleCount(SimulatedDeviceId id) const; // read handles now open
    int readStartCount(SimulatedDeviceId id) const;
    int writeCount(SimulatedDeviceId id) const;
    // A read was outstanding on the device at this moment.
    bool readOutstanding(SimulatedDeviceId id) const;

    // HidPlatform
    bool available() const override;
    std::vector<HidInterfaceInfo> enumerate() override;
    std::unique_ptr<HidControlHandle> openControl(const std::string& interfacePath,
                                                  HidAccess access) override;
    std::unique_ptr<HidReadHandle> openRead(const std::string& interfacePath) override;
    ErrorCode lastError() const override;
    std::string errorText(ErrorCode code) const override;
    std::unique_ptr<HidChangeNotifier> watchDeviceChanges(std::function<void()> onChange) override;

    struct Bus;

private:
    std::shared_ptr<Bus> bus_;
};

} // namespace hq::platform
