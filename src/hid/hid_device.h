// One HID interface: identity, plug-and-play record, cached texts, platform handles, report
// sizes, synchronous writes and the handlers for its input reports.
//
// Threads: everything runs on the main thread except the read side (StartReportRead,
// WaitReportRead, TakeReadCount, CancelRead) and ReadCaps, which the device's read thread calls;
// OpenReadHandle runs on the main thread when the reader starts and on the read thread when a
// read finds no open handle. The control handle and the report-descriptor data are guarded by one
// lock, the read handle by another; the flags the read thread looks at are atomic.
//
// Read handle at unplug: the read thread takes its own reference to the read handle when it
// starts a read. CloseReadHandle (MarkUnplugged, destruction) drops the device's reference and
// cancels the outstanding read under the read lock; the platform handle is closed when the last
// reference goes, so the read thread never uses a closed handle nor a handle value that was
// reused for another file. A read whose handle was dropped yields no data.
#pragma once

#include "hid/hid_handler.h"
#include "platform/hid_platform.h"

#include <QString>

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <span>
#include <stdexcept>
#include <string>

namespace hq {

class HidDeviceReadThread;

// Raised when a device object cannot be made.
class ControllerError : public std::runtime_error {
public:
    ControllerError(const char* message, platform::ErrorCode code)
        : std::runtime_error(message), code_(code) {}
    // The platform's error code of the failed operation.
    platform::ErrorCode code() const { return code_; }

private:
    platform::ErrorCode code_;
};

// Plug-and-play record of one interface, as the scan found it.
struct HidPnpInfo {
    explicit HidPnpInfo(const platform::HidInterfaceInfo& info)
        : DevInst(info.devInst), InterfacePath(info.interfacePath), properties(info.properties) {}
    std::uint64_t DevInst;
    std::string InterfacePath;
    platform::HidPnpProperties properties;
};

class HidDevice {
public:
    static constexpr std::int32_t kDefaultSleepTime = 100;
    static constexpr std::int32_t kMinSleepTime = 10;
    static constexpr std::int32_t kMaxSleepTime = 10000;

    // Opens the interface (read-write, else query-only), reads its attributes and closes it
    // again. Raises ControllerError "device cannot be opened" / "device cannot be identified";
    // the record is destroyed with a failed construction.
    HidDevice(platform::HidPlatform& platform, std::unique_ptr<HidPnpInfo> pnpRecord,
              HidDeviceController* controller);
    // Stops the read thread, closes the handles; a claimed device that is still plugged leaves
    // a fresh free device for its interface at its list position.
    ~HidDevice();
    HidDevice(const HidDevice&) = delete;
    HidDevice& operator=(const HidDevice&) = delete;

    bool IsReachable() const;
    bool OpenControl();
    void CloseControl();
    void CloseReadHandle();
    const platform::HidPreparsedData* GetPreparsed();
    platform::HidCaps ReadCaps();
    QString QueryProductText();
    QString QuerySerialText();
    bool SendReport(const std::uint8_t* report, std::uint32_t length, std::uint32_t& written);
    bool SendReport(std::span<const std::uint8_t> report, std::uint32_t& written) {
        return SendReport(report.data(), static_cast<std::uint32_t>(report.size()), written);
    }
    void MarkUnplugged();
    void SetSleepTime(std::int32_t value);

    // Read side. The read handle is opened by StartReader (so that it is open before the first
    // command is written) and again by a read that finds it closed.
    bool OpenReadHandle();
    bool StartReportRead(std::uint8_t* buffer, std::uint32_t length);
    // Waits one slice for the started read; true when it completed.
    bool waitReportRead(std::int32_t sliceMs);
    std::uint32_t TakeReadCount();
    void CancelRead();

    // Handler and thread control (main thread).
    void SetReportHandler(HidDataEvent handler);
    void StartReader();
    void StopReader();

    // Properties.
    const platform::HidAttributes& hidAttributes() const { return attributes_; }
    const HidPnpInfo& pnpRecord() const { return *pnpRecord_; }
    bool canReadWrite() const { return canReadWrite_.load(); }
    // The platform error of the last refused read-write open (0 when it was granted), so a
    // window can tell the user why the device is read-only (e.g. permission denied).
    platform::ErrorCode openError() const { return openError_.load(); }
    std::string openErrorText() const;
    bool plugged() const { return plugged_.load(); }
    bool claimed() const { return claimed_.load(); }
    bool inEvent() const { return inEvent_.load(); }
    std::int32_t sleepTime() const { return sleepTime_.load(); }
    HidDeviceController* controller() const { return controller_; }
    const HidDataEvent& reportHandler() const { return reportHandler_; }
    const HidDataErrorEvent& readErrorHandler() const { return readErrorHandler_; }
    void setReadErrorHandler(HidDataErrorEvent handler) { readErrorHandler_ = std::move(handler); }
    const HidPlugEvent& unplugHandler() const { return unplugHandler_; }
    void setUnplugHandler(HidPlugEvent handler) { unplugHandler_ = std::move(handler); }
    // The read thread, or null.
    const HidDeviceReadThread* reader() const { return reader_.get(); }
    platform::HidPlatform& hidPlatform() const { return platform_; }

private:
    friend class HidDeviceController;
    // Opens the control handle read-write, else query-only; notes which it got and why.
    void openControlHandle();
    bool openControlLocked();
    void closeControlLocked();
    const platform::HidPreparsedData* getPreparsedLocked();

    platform::HidPlatform& platform_;
    HidDeviceController* controller_;
    std::atomic<bool> plugged_{true};
    std::atomic<bool> claimed_{false};
    std::atomic<bool> inEvent_{false};

    mutable std::mutex controlLock_;
    std::unique_ptr<platform::HidControlHandle> controlHandle_;
    std::unique_ptr<platform::HidPreparsedData> preparsed_;

    std::mutex readLock_;
    std::shared_ptr<platform::HidReadHandle> readHandle_;
    // The handle of the read the read thread started; touched by the read thread only.
    std::shared_ptr<platform::HidReadHandle> readInFlight_;

    platform::HidAttributes attributes_;
    std::unique_ptr<HidPnpInfo> pnpRecord_;
    QString productText_;
    QString serialText_;
    std::atomic<std::int32_t> sleepTime_{kDefaultSleepTime};
    HidDataEvent reportHandler_;
    HidDataErrorEvent readErrorHandler_;
    HidPlugEvent unplugHandler_;
    std::atomic<bool> canReadWrite_{false};
    std::atomic<platform::ErrorCode> openError_{0};
    std::shared_ptr<HidDeviceReadThread> reader_;
    bool waitingForReader_ = false; // StopReader waits for the reader's thread to end
    bool unplugFiring_ = false;     // MarkUnplugged is calling the unplug handler
};

} // namespace hq
