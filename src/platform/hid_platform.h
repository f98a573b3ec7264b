// The HID platform interface: what the HID link needs of the operating system, in the
// project's own terms. One implementation per platform (Linux hidraw/udev, Windows
// hid.dll/setupapi.dll, the in-process simulated bus), chosen at build time or by main().
//
// Threading: enumeration, the control-handle operations and the change notifier are used
// from the main thread; a read handle is used by one read thread, except cancel(), which
// any thread may call at any time. lastError() is per calling thread.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace hq::platform {

// A platform error code: errno on Linux, GetLastError() on Windows, the simulated bus's own
// codes (errno values) in the simulation. 0 means no error.
using ErrorCode = std::uint32_t;

// Plug-and-play properties of one interface (the registry properties of its device node on
// Windows; what udev/sysfs offers on Linux). Numbers are 0 and texts empty when unknown.
struct HidPnpProperties {
    std::uint32_t capabilities = 0;
    std::string deviceClass;
    std::string classGuid;
    std::vector<std::string> compatibleIds;
    std::uint32_t configFlags = 0;
    std::string deviceDesc;
    std::string driver;
    std::string friendlyName;
    std::vector<std::string> hardwareIds;
    std::vector<std::string> lowerFilters;
    std::string manufacturer;
    std::vector<std::string> upperFilters;
    std::string service;
    std::string address;
    std::uint32_t busNumber = 0;
    std::string busTypeGuid;
    std::string characteristics;
    std::uint32_t devType = 0;
    std::string enumeratorName;
    std::uint32_t exclusive = 0;
    std::uint32_t legacyBusType = 0;
    std::string locationInformation;
    std::string physicalDeviceObjectName;
    std::string securitySds;
    std::uint32_t uiNumber = 0;
    std::string uiNumberDescFormat;
};

// One present HID interface as an enumeration lists it.
struct HidInterfaceInfo {
    // Identity of the device instance: the same in every enumeration while the interface stays
    // present, different after it was unplugged and plugged in again.
    std::uint64_t devInst = 0;
    // What openControl()/openRead() open (a Windows interface path, a /dev/hidrawN node, ...).
    std::string interfacePath;
    HidPnpProperties properties;
};

struct HidAttributes {
    std::uint32_t size = 12;
    std::uint16_t vendorId = 0;
    std::uint16_t productId = 0;
    std::uint16_t versionNumber = 0;
};

// Report lengths in bytes, each counting the report-ID byte. Zero when unknown.
struct HidCaps {
    std::uint16_t usage = 0;
    std::uint16_t usagePage = 0;
    std::uint16_t inputReportByteLength = 0;
    std::uint16_t outputReportByteLength = 0;
    std::uint16_t featureReportByteLength = 0;
};

// Report-descriptor data of an interface; stays valid after the control handle is closed.
class HidPreparsedData {
public:
    virtual ~HidPreparsedData() = default;
    // Fills caps; false (caps untouched) on failure.
    virtual bool getCaps(HidCaps& caps) const = 0;
};

enum class HidAccess {
    ReadWrite, // read and write access
    QueryOnly, // enough for attributes, strings and report-descriptor data
};

// What a query of string descriptor 0 (the language-ID list) achieved.
enum class IndexedStringResult {
    Filled,      // the buffer holds the descriptor's contents as far as they go
    Failed,      // the query failed; the buffer may be untouched
    NotAvailable // this platform cannot read string descriptors by index
};

// A synchronous handle on one interface. Destroying it closes it.
class HidControlHandle {
public:
    virtual ~HidControlHandle() = default;
    virtual bool getAttributes(HidAttributes& attributes) = 0;
    // Null on failure.
    virtual std::unique_ptr<HidPreparsedData> getPreparsedData() = 0;
    // Zero-terminated UTF-16 strings written into buffer (at most buffer.size() units,
    // including the terminator). False on failure.
    virtual bool getProductString(std::span<char16_t> buffer) = 0;
    virtual bool getSerialNumberString(std::span<char16_t> buffer) = 0;
    virtual IndexedStringResult getIndexedString(std::uint32_t index,
                                                 std::span<char16_t> buffer) = 0;
    // Synchronous write of one output report (byte 0 is the report ID). False on failure
    // (lastError() tells why); written receives the bytes transferred.
    virtual bool write(std::span<const std::uint8_t> report, std::uint32_t& written) = 0;
};

// An overlapped, read-only handle: one outstanding read at a time. Destroying it closes it and
// ends an outstanding read; the buffer of that read is not touched afterwards.
class HidReadHandle {
public:
    virtual ~HidReadHandle() = default;
    // Starts one read into buffer, which must stay valid until waitForCompletion() returned
    // true or the handle was destroyed. False when the read could not be started.
    virtual bool startRead(std::span<std::uint8_t> buffer) = 0;
    // Waits at most slice for the outstanding read to complete (with data, an error, or
    // cancelled). True when it completed during this call or before it; false after the slice.
    virtual bool waitForCompletion(std::chrono::milliseconds slice) = 0;
    // The byte count of the completed read; false when the read failed or was cancelled, or
    // none has completed.
    virtual bool takeReadCount(std::uint32_t& count) = 0;
    // Cancels the outstanding read, if any. Safe from any thread, also while another thread
    // waits in waitForCompletion() (which then returns true without data).
    virtual void cancel() = 0;
};

// Delivers device-node change notifications while it exists. Once its destructor has returned,
// the callback is neither running nor called again. Two ways, a platform uses either:
// - it calls the callback given to watchDeviceChanges() (from any thread; the receiver
//   marshals it to its main thread), e.g. a Windows hidden window's procedure;
// - it exposes a descriptor that the main thread watches for readability and then calls
//   processPending(), which drains the pending events and calls the callback for each
//   change, e.g. a udev monitor's socket.
class HidChangeNotifier {
public:
    virtual ~HidChangeNotifier() = default;
    // The descriptor to watch, or -1 when notifications arrive through the callback alone.
    virtual int pollDescriptor() const { return -1; }
    virtual void processPending() {}
};

class HidPlatform {
public:
    virtual ~HidPlatform() = default;

    // False when the platform's HID support could not be bound (no scans, no notifications).
    virtual bool available() const = 0;

    // The present HID interfaces in the platform's order. Empty when none or on failure.
    virtual std::vector<HidInterfaceInfo> enumerate() = 0;

    // Null on failure (lastError() tells why).
    virtual std::unique_ptr<HidControlHandle> openControl(const std::string& interfacePath,
                                                          HidAccess access) = 0;
    virtual std::unique_ptr<HidReadHandle> openRead(const std::string& interfacePath) = 0;

    // The calling thread's error code of its last failed platform operation.
    virtual ErrorCode lastError() const = 0;
    // A short human-readable text for an error code (e.g. "Permission denied").
    virtual std::string errorText(ErrorCode code) const = 0;

    // Starts watching for device-node changes (an interface added or removed). The callback
    // runs once per change notification; null when the platform cannot watch.
    virtual std::unique_ptr<HidChangeNotifier>
    watchDeviceChanges(std::function<void()> onChange) = 0;
};

} // namespace hq::platform
