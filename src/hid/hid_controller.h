// Finds the HID interfaces of the PC, keeps one HidDevice per interface present, rescans when
// the platform reports a device-node change, and raises arrival, removal and change events.
// Callers claim a device by vendor and product ID; claimed devices belong to the caller (who
// ends the claim by destroying the device), free ones to the controller. Main thread only.
#pragma once

#include "hid/hid_device.h"
#include "hid/hid_handler.h"
#include "platform/hid_platform.h"

#include <QObject>

#include <cstdint>
#include <memory>
#include <vector>

class QSocketNotifier;

namespace hq {

class MainThreadCall;

class HidDeviceController : public QObject {
public:
    // Starts watching for device-node changes and posts itself the start-up notification: the
    // first scan runs once the event loop delivers it.
    explicit HidDeviceController(platform::HidPlatform& platform, QObject* parent = nullptr);
    // Free devices are destroyed; claimed ones are marked unplugged and left to their owners.
    ~HidDeviceController() override;

    // A device-node change notification; changeParam -1 marks the start-up notification (the
    // change event is then raised even when nothing changed). Ignored while a scan runs.
    void notifyDeviceChange(std::int32_t changeParam);
    void DeviceChange();
    std::vector<std::unique_ptr<HidDevice>> ScanInterfaces();
    // Claims the first free device with this vendor and product (-1: any product); dev
    // receives it, or stays empty. A device dev held on entry is not destroyed: it stays
    // claimed and alive in the controller's keeping, which destroys it when its interface
    // goes away or the controller itself goes.
    bool ClaimByIds(std::unique_ptr<HidDevice>& dev, std::int32_t vendor, std::int32_t product);
    // Claims the device at index if allowed and free; otherwise dev stays as it was. A device
    // dev held before a successful claim is kept as ClaimByIds keeps it.
    bool ClaimAt(std::unique_ptr<HidDevice>& dev, std::int32_t index, bool allowed);
    std::int32_t RunEnumeration();
    void RaiseArrival(HidDevice* dev);
    void RaiseRemoval(HidDevice* dev);
    bool RaiseEnumerate(HidDevice* dev, std::int32_t idx);

    // The known interfaces in list order (free and claimed).
    const std::vector<HidDevice*>& devices() const { return devices_; }
    bool inDeviceChange() const { return inDeviceChange_; }
    std::int32_t lastChangeParam() const { return lastChangeParam_; }
    platform::HidPlatform& hidPlatform() const { return platform_; }

    // Properties.
    std::int32_t devThreadSleepTime() const { return devThreadSleepTime_; }
    void setDevThreadSleepTime(std::int32_t value);
    QString version() const { return QStringLiteral("1.0.0"); }
    void setVersion(const QString&) {}
    const HidPlugEvent& onArrival() const { return onArrival_; }
    void setOnArrival(HidPlugEvent h) { onArrival_ = std::move(h); }
    const HidEnumerateEvent& onEnumerate() const { return onEnumerate_; }
    void setOnEnumerate(HidEnumerateEvent h) { onEnumerate_ = std::move(h); }
    const HidNotifyEvent& onDeviceChange() const { return onDeviceChange_; }
    void setOnDeviceChange(HidNotifyEvent h);
    const HidDataEvent& onDeviceData() const { return onDeviceData_; }
    void setOnDeviceData(HidDataEvent h);
    const HidDataErrorEvent& onDeviceDataError() const { return onDeviceDataError_; }
    void setOnDeviceDataError(HidDataErrorEvent h);
    const HidPlugEvent& onDeviceUnplug() const { return onDeviceUnplug_; }
    void setOnDeviceUnplug(HidPlugEvent h);
    const HidPlugEvent& onRemoval() const { return onRemoval_; }
    void setOnRemoval(HidPlugEvent h) { onRemoval_ = std::move(h); }
    // While loading, setting OnDeviceChange does not scan at once.
    void setLoading(bool loading) { loading_ = loading; }

private:
    friend class HidDevice;
    // Takes a claimed device out of a caller's hands without ending its claim.
    void keepHeldClaim(std::unique_ptr<HidDevice>& dev);
    // Adds a free device at the end of the list / at a position, owned by the controller.
    void appendFree(std::unique_ptr<HidDevice> dev);
    void replaceEntry(std::size_t position, std::unique_ptr<HidDevice> dev);
    // The controller's own device, taken out of its keeping (null when it is not the owner).
    std::unique_ptr<HidDevice> takeOwned(HidDevice* dev);

    platform::HidPlatform& platform_;
    // The list in order: every known interface, free or claimed. Who owns a device is kept
    // apart: the controller owns the free ones (owned_) and the claims its callers let go of
    // (heldClaims_); a claimed device belongs to whoever claimed it.
    std::vector<HidDevice*> devices_;
    std::vector<std::unique_ptr<HidDevice>> owned_;
    bool inDeviceChange_ = false;
    std::int32_t lastChangeParam_ = 0;
    bool loading_ = false;
    std::int32_t devThreadSleepTime_ = HidDevice::kDefaultSleepTime;
    HidPlugEvent onArrival_;
    HidEnumerateEvent onEnumerate_;
    HidNotifyEvent onDeviceChange_;
    HidDataEvent onDeviceData_;
    HidDataErrorEvent onDeviceDataError_;
    HidPlugEvent onDeviceUnplug_;
    HidPlugEvent onRemoval_;
    std::unique_ptr<platform::HidChangeNotifier> notifier_;
    QSocketNotifier* socketNotifier_ = nullptr;
    // Receives the change notifications the platform raises on other threads.
    std::unique_ptr<MainThreadCall> notifyTarget_;
    // Claimed devices whose callers let go of them in a claim (see ClaimByIds).
    std::vector<std::unique_ptr<HidDevice>> heldClaims_;
};

} // namespace hq
