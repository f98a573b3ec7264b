#include "hid/hid_controller.h"

#include "hid/main_thread_call.h"

#include <QMetaObject>
#include <QSocketNotifier>

#include <algorithm>

namespace hq {

namespace {

// Sets a flag for the duration of a scope, also when a handler raises.
class FlagScope {
public:
    FlagScope(bool& flag) : flag_(flag) { flag_ = true; }
    ~FlagScope() { flag_ = false; }

private:
    bool& flag_;
};

class InEventScope {
public:
    explicit InEventScope(std::atomic<bool>& flag) : flag_(flag) { flag_ = true; }
    ~InEventScope() { flag_ = false; }

private:
    std::atomic<bool>& flag_;
};

} // namespace

HidDeviceController::HidDeviceController(platform::HidPlatform& platform, QObject* parent)
    : QObject(parent), platform_(platform) {
    if (!platform_.available())
        return;
    // The platform may call back from any thread; the scan runs on this object's thread.
    notifyTarget_ = std::make_unique<MainThreadCall>();
    notifier_ = platform_.watchDeviceChanges(
        [target = notifyTarget_.get(), this] { target->post([this] { notifyDeviceChange(0); }); });
    if (notifier_ && notifier_->pollDescriptor() >= 0) {
        socketNotifier_ =
            new QSocketNotifier(notifier_->pollDescriptor(), QSocketNotifier::Read, this);
        connect(socketNotifier_, &QSocketNotifier::activated, this,
                [this] { notifier_->processPending(); });
    }
    QMetaObject::invokeMethod(
        this, [this] { notifyDeviceChange(-1); }, Qt::QueuedConnection);
}

HidDeviceController::~HidDeviceController() {
    onDeviceChange_ = nullptr;
    onDeviceUnplug_ = nullptr;
    onEnumerate_ = nullptr;
    delete socketNotifier_;
    socketNotifier_ = nullptr;
    notifier_.reset();     // no callback runs after this
    notifyTarget_.reset(); // drops notifications not yet delivered
    auto list = std::move(devices_);
    devices_.clear();
    for (HidDevice* dev : list) {
        dev->controller_ = nullptr;
        if (dev->claimed())
            dev->MarkUnplugged();
    }
    owned_.clear();
    heldClaims_.clear();
}

void HidDeviceController::appendFree(std::unique_ptr<HidDevice> dev) {
    devices_.push_back(dev.get());
    owned_.push_back(std::move(dev));
}

void HidDeviceController::replaceEntry(std::size_t position, std::unique_ptr<HidDevice> dev) {
    devices_[position] = dev.get();
    owned_.push_back(std::move(dev));
}

std::unique_ptr<HidDevice> HidDeviceController::takeOwned(HidDevice* dev) {
    const auto it = std::find_if(owned_.begin(), owned_.end(),
                                 [&](const auto& owned) { return owned.get() == dev; });
    if (it == owned_.end())
        return nullptr;
    auto taken = std::move(*it);
    owned_.erase(it);
    return taken;
}

void HidDeviceController::notifyDeviceChange(std::int32_t changeParam) {
    if (inDeviceChange_)
        return;
    lastChangeParam_ = changeParam;
    FlagScope scope(inDeviceChange_);
    DeviceChange();
}

std::vector<std::unique_ptr<HidDevice>> HidDeviceController::ScanInterfaces() {
    std::vector<std::unique_ptr<HidDevice>> fresh;
    if (!platform_.available())
        return fresh;
    for (const auto& info : platform_.enumerate()) {
        try {
            fresh.push_back(
                std::make_unique<HidDevice>(platform_, std::make_unique<HidPnpInfo>(info), this));
        } catch (const ControllerError&) {
            // Left out of this scan; the next scan tries it again.
        }
    }
    return fresh;
}

void HidDeviceController::DeviceChange() {
    bool changed = lastChangeParam_ == -1;
    auto fresh = ScanInterfaces();
    // Until they are appended, the fresh devices are not in the list: their destruction
    // (also when a handler raises) leaves the list alone.

    for (std::size_t i = devices_.size(); i-- > 0;) {
        if (i >= devices_.size())
            continue; // a handler destroyed entries behind this position
        HidDevice* dev = devices_[i];
        const bool present =
            dev->plugged() && std::any_of(fresh.rbegin(), fresh.rend(), [&](const auto& f) {
                return f->pnpRecord().DevInst == dev->pnpRecord().DevInst;
            });
        if (present)
            continue;
        const bool claimed = dev->claimed();
        dev->MarkUnplugged();
        RaiseRemoval(dev);
        if (claimed) {
            // A claim the controller keeps ends here; its destruction leaves the list.
            const auto held = std::find_if(heldClaims_.begin(), heldClaims_.end(),
                                           [&](const auto& h) { return h.get() == dev; });
            if (held != heldClaims_.end()) {
                auto device = std::move(*held);
                heldClaims_.erase(held);
            }
        } else {
            const auto it = std::find(devices_.begin(), devices_.end(), dev);
            if (it != devices_.end()) {
                devices_.erase(it);
                dev->controller_ = nullptr;
                takeOwned(dev).reset();
            }
        }
        changed = true;
    }

    std::erase_if(fresh, [&](const std::unique_ptr<HidDevice>& f) {
        const bool known = std::any_of(devices_.begin(), devices_.end(), [&](HidDevice* d) {
            return d->plugged() && d->pnpRecord().DevInst == f->pnpRecord().DevInst;
        });
        if (known)
            f->controller_ = nullptr;
        return known;
    });

    for (auto& f : fresh) {
        HidDevice* dev = f.get();
        appendFree(std::move(f));
        changed = true;
        RaiseArrival(dev);
    }

    if (changed && onDeviceChange_)
        onDeviceChange_(this);
}

void HidDeviceController::RaiseArrival(HidDevice* dev) {
    if (!onArrival_)
        return;
    InEventScope scope(dev->inEvent_);
    onArrival_(dev);
}

void HidDeviceController::RaiseRemoval(HidDevice* dev) {
    if (onRemoval_)
        onRemoval_(dev);
}

void HidDeviceController::keepHeldClaim(std::unique_ptr<HidDevice>& dev) {
    if (dev)
        heldClaims_.push_back(std::move(dev));
    dev.reset();
}

bool HidDeviceController::ClaimByIds(std::unique_ptr<HidDevice>& dev, std::int32_t vendor,
                                     std::int32_t product) {
    keepHeldClaim(dev);
    for (std::size_t i = 0; i < devices_.size(); ++i) {
        const auto& a = devices_[i]->hidAttributes();
        const bool allowed = a.vendorId == vendor && (a.productId == product || product == -1);
        if (ClaimAt(dev, static_cast<std::int32_t>(i), allowed))
            return true;
    }
    return false;
}

bool HidDeviceController::ClaimAt(std::unique_ptr<HidDevice>& dev, std::int32_t index,
                                  bool allowed) {
    if (!allowed || index < 0 || static_cast<std::size_t>(index) >= devices_.size())
        return false;
    HidDevice* d = devices_[static_cast<std::size_t>(index)];
    if (d->claimed())
        return false;
    auto owned = takeOwned(d);
    if (!owned)
        return false;
    d->claimed_ = true;
    keepHeldClaim(dev);
    dev = std::move(owned);
    d->StartReader();
    return true;
}

std::int32_t HidDeviceController::RunEnumeration() {
    std::int32_t count = 0;
    for (std::size_t i = 0; i < devices_.size(); ++i) {
        HidDevice* dev = devices_[i];
        if (!dev->plugged())
            continue;
        ++count;
        if (!RaiseEnumerate(dev, static_cast<std::int32_t>(i)))
            break;
    }
    return count;
}

bool HidDeviceController::RaiseEnumerate(HidDevice* dev, std::int32_t idx) {
    if (!onEnumerate_)
        return false;
    bool result = false;
    {
        InEventScope scope(dev->inEvent_);
        result = onEnumerate_(dev, idx);
    }
    if (!dev->claimed()) {
        dev->CloseControl();
        dev->CloseReadHandle();
    }
    return result;
}

void HidDeviceController::setDevThreadSleepTime(std::int32_t value) {
    if (value == devThreadSleepTime_)
        return;
    for (HidDevice* dev : devices_)
        if (dev->sleepTime() == devThreadSleepTime_)
            dev->SetSleepTime(value);
    devThreadSleepTime_ = value;
}

void HidDeviceController::setOnDeviceChange(HidNotifyEvent h) {
    if (h == onDeviceChange_)
        return;
    onDeviceChange_ = std::move(h);
    if (!loading_)
        DeviceChange();
}

void HidDeviceController::setOnDeviceData(HidDataEvent h) {
    if (h == onDeviceData_)
        return;
    for (HidDevice* dev : devices_)
        if (dev->reportHandler() == onDeviceData_)
            dev->SetReportHandler(h);
    onDeviceData_ = std::move(h);
}

void HidDeviceController::setOnDeviceDataError(HidDataErrorEvent h) {
    if (h == onDeviceDataError_)
        return;
    for (HidDevice* dev : devices_)
        if (dev->readErrorHandler() == onDeviceDataError_)
            dev->setReadErrorHandler(h);
    onDeviceDataError_ = std::move(h);
}

void HidDeviceController::setOnDeviceUnplug(HidPlugEvent h) {
    if (h == onDeviceUnplug_)
        return;
    for (HidDevice* dev : devices_)
        if (dev->unplugHandler() == onDeviceUnplug_)
            dev->setUnplugHandler(h);
    onDeviceUnplug_ = std::move(h);
}

} // namespace hq
