#include "hid/hid_device.h"

#include "hid/hid_controller.h"
#include "hid/hid_read_thread.h"

#include <QCoreApplication>
#include <QMetaObject>

#include <algorithm>
#include <array>

namespace hq {

namespace {

constexpr std::size_t kStringUnits = 254; // 508 bytes

QString fromUnits(const std::array<char16_t, kStringUnits>& buffer) {
    const auto end = std::find(buffer.begin(), buffer.end(), u'\0');
    return QString::fromUtf16(buffer.data(), static_cast<qsizetype>(end - buffer.begin()));
}

} // namespace

HidDevice::HidDevice(platform::HidPlatform& platform, std::unique_ptr<HidPnpInfo> pnpRecord,
                     HidDeviceController* controller)
    : platform_(platform), controller_(controller), pnpRecord_(std::move(pnpRecord)) {
    if (controller_) {
        reportHandler_ = controller_->onDeviceData();
        unplugHandler_ = controller_->onDeviceUnplug();
        readErrorHandler_ = controller_->onDeviceDataError();
    }
    std::lock_guard g(controlLock_);
    openControlHandle();
    if (!controlHandle_)
        throw ControllerError("device cannot be opened", platform_.lastError());
    attributes_.size = 12;
    if (!controlHandle_->getAttributes(attributes_)) {
        const auto code = platform_.lastError();
        controlHandle_.reset();
        throw ControllerError("device cannot be identified", code);
    }
    closeControlLocked();
}

HidDevice::~HidDevice() {
    HidDataEvent oldReport = reportHandler_;
    HidPlugEvent oldUnplug = unplugHandler_;
    SetReportHandler(nullptr);
    unplugHandler_ = nullptr;
    {
        std::lock_guard g(controlLock_);
        closeControlLocked();
        preparsed_.reset();
    }
    CloseReadHandle();

    if (controller_) {
        auto& list = controller_->devices_;
        const auto it = std::find(list.begin(), list.end(), this);
        if (it != list.end()) {
            const auto position = static_cast<std::size_t>(it - list.begin());
            std::unique_ptr<HidDevice> replacement;
            if (plugged_) {
                try {
                    replacement =
                        std::make_unique<HidDevice>(platform_, std::move(pnpRecord_), controller_);
                    replacement->reportHandler_ = std::move(oldReport);
                    replacement->unplugHandler_ = std::move(oldUnplug);
                    replacement->SetSleepTime(sleepTime_);
                } catch (const ControllerError&) {
                    // The interface is listed but cannot be opened any more: drop the entry;
                    // the next scan that still finds it announces it anew.
                    replacement.reset();
                }
            }
            if (replacement)
                controller_->replaceEntry(position, std::move(replacement));
            else
                list.erase(list.begin() + static_cast<std::ptrdiff_t>(position));
        }
    }
}

bool HidDevice::IsReachable() const {
    return plugged_ && (claimed_ || inEvent_);
}

void HidDevice::openControlHandle() {
    controlHandle_ =
        platform_.openControl(pnpRecord_->InterfacePath, platform::HidAccess::ReadWrite);
    canReadWrite_ = controlHandle_ != nullptr;
    if (controlHandle_) {
        openError_ = 0;
        return;
    }
    openError_ = platform_.lastError();
    controlHandle_ =
        platform_.openControl(pnpRecord_->InterfacePath, platform::HidAccess::QueryOnly);
}

bool HidDevice::openControlLocked() {
    if (IsReachable() && !controlHandle_)
        openControlHandle();
    return controlHandle_ != nullptr;
}

void HidDevice::closeControlLocked() {
    controlHandle_.reset();
}

bool HidDevice::OpenControl() {
    std::lock_guard g(controlLock_);
    return openControlLocked();
}

void HidDevice::CloseControl() {
    std::lock_guard g(controlLock_);
    closeControlLocked();
}

void HidDevice::CloseReadHandle() {
    std::shared_ptr<platform::HidReadHandle> handle;
    {
        std::lock_guard g(readLock_);
        handle = std::move(readHandle_);
        readHandle_.reset();
        // A read the read thread started on it ends now; the thread's own reference keeps the
        // platform handle open until the thread has let go of it.
        if (handle)
            handle->cancel();
    }
}

std::string HidDevice::openErrorText() const {
    const auto code = openError_.load();
    return code ? platform_.errorText(code) : std::string();
}

const platform::HidPreparsedData* HidDevice::getPreparsedLocked() {
    if (!preparsed_ && openControlLocked()) {
        preparsed_ = controlHandle_->getPreparsedData();
        closeControlLocked();
    }
    return preparsed_.get();
}

const platform::HidPreparsedData* HidDevice::GetPreparsed() {
    std::lock_guard g(controlLock_);
    return getPreparsedLocked();
}

platform::HidCaps HidDevice::ReadCaps() {
    std::lock_guard g(controlLock_);
    platform::HidCaps caps{};
    if (const auto* preparsed = getPreparsedLocked()) {
        if (!preparsed->getCaps(caps))
            caps = {};
    }
    return caps;
}

QString HidDevice::QueryProductText() {
    std::lock_guard g(controlLock_);
    if (productText_.isEmpty() && openControlLocked()) {
        std::array<char16_t, kStringUnits> buffer{};
        if (controlHandle_->getProductString(buffer))
            productText_ = fromUnits(buffer);
        closeControlLocked();
    }
    return productText_;
}

QString HidDevice::QuerySerialText() {
    std::lock_guard g(controlLock_);
    if (serialText_.isEmpty() && openControlLocked()) {
        std::array<char16_t, kStringUnits> serial{};
        if (controlHandle_->getSerialNumberString(serial)) {
            std::array<char16_t, kStringUnits> languages;
            languages.fill(0xFFFF);
            const auto result = controlHandle_->getIndexedString(0, languages);
            if (result == platform::IndexedStringResult::NotAvailable) {
                // Without string descriptors by index there is no language list to tell a
                // firmware that answers the serial query with it; take the serial string.
                serialText_ = fromUnits(serial);
            } else {
                std::size_t len = 0;
                for (std::size_t i = kStringUnits; i-- > 0;) {
                    if (languages[i] != 0xFFFF) {
                        len = languages[i] == 0 ? i : i + 1;
                        break;
                    }
                }
                for (std::size_t i = 0; i < len; ++i) {
                    if (languages[i] != serial[i]) {
                        serialText_ = fromUnits(serial);
                        break;
                    }
                }
            }
        }
        closeControlLocked();
    }
    return serialText_;
}

bool HidDevice::SendReport(const std::uint8_t* report, std::uint32_t length,
                           std::uint32_t& written) {
    written = 0;
    std::lock_guard g(controlLock_);
    if (!openControlLocked())
        return false;
    return controlHandle_->write({report, length}, written);
}

void HidDevice::MarkUnplugged() {
    CloseControl();
    {
        // Under the read lock, before the handle goes: a read start that comes after it sees
        // the device unreachable instead of opening the vanished interface anew.
        std::lock_guard g(readLock_);
        plugged_ = false;
    }
    CloseReadHandle();
    if (!unplugHandler_ || unplugFiring_)
        return;
    // The handler fires once: a second MarkUnplugged while it runs calls nothing, and the
    // handler is cleared after the call (a handler set during it included), also when it
    // raises.
    unplugFiring_ = true;
    struct ClearAfterCall {
        HidDevice& device;
        ~ClearAfterCall() {
            device.unplugHandler_ = nullptr;
            device.unplugFiring_ = false;
        }
    } clear{*this};
    const HidPlugEvent handler = unplugHandler_;
    handler(this);
}

void HidDevice::SetSleepTime(std::int32_t value) {
    if (value >= kMinSleepTime && value <= kMaxSleepTime)
        sleepTime_ = value;
}

bool HidDevice::OpenReadHandle() {
    std::lock_guard g(readLock_);
    if (!IsReachable())
        return false;
    if (!readHandle_)
        readHandle_ = platform_.openRead(pnpRecord_->InterfacePath);
    return readHandle_ != nullptr;
}

bool HidDevice::StartReportRead(std::uint8_t* buffer, std::uint32_t length) {
    std::lock_guard g(readLock_);
    // Checked and started under the read lock: CloseReadHandle either runs before (no read is
    // started) or after (it cancels this read).
    if (!IsReachable())
        return false;
    // Normally open since StartReader; an open that failed there is tried again here.
    if (!readHandle_)
        readHandle_ = platform_.openRead(pnpRecord_->InterfacePath);
    if (!readHandle_)
        return false;
    if (!readHandle_->startRead({buffer, length}))
        return false;
    readInFlight_ = readHandle_;
    return true;
}

bool HidDevice::waitReportRead(std::int32_t sliceMs) {
    if (!readInFlight_)
        return true;
    return readInFlight_->waitForCompletion(std::chrono::milliseconds(sliceMs));
}

std::uint32_t HidDevice::TakeReadCount() {
    auto handle = std::move(readInFlight_);
    readInFlight_.reset();
    if (!handle)
        return 0;
    std::uint32_t count = 0;
    std::lock_guard g(readLock_);
    // Always asked, so that a failed completion leaves its code as the thread's last error;
    // a read on a handle that was closed meanwhile yields nothing.
    const bool ok = handle->takeReadCount(count);
    return ok && readHandle_ == handle ? count : 0;
}

void HidDevice::CancelRead() {
    auto handle = std::move(readInFlight_);
    readInFlight_.reset();
    if (!handle)
        return;
    handle->cancel();
    // The buffer stays in use until the platform reports the cancelled read as completed.
    for (int i = 0; i < 50 && !handle->waitForCompletion(std::chrono::milliseconds(100)); ++i) {
    }
    std::uint32_t ignored = 0;
    handle->takeReadCount(ignored);
}

void HidDevice::SetReportHandler(HidDataEvent handler) {
    if (!handler)
        StopReader();
    reportHandler_ = std::move(handler);
    StartReader();
}

void HidDevice::StartReader() {
    if (reportHandler_ && plugged_ && claimed_ && canReadWrite_ && !reader_) {
        // The read handle is opened now, before the caller can write a command: the operating
        // system queues an input report only for the handles open when it arrives, so an
        // answer that came before the thread's first read opened a handle would be lost. An
        // open that fails here is tried again by the thread's first read, which reports the
        // failure as a read error.
        OpenReadHandle();
        reader_ = std::make_shared<HidDeviceReadThread>(*this);
        reader_->start();
    }
}

void HidDevice::StopReader() {
    if (!reader_)
        return;
    const auto reader = reader_;
    reader->requestStop();
    if (waitingForReader_) {
        // A handler that the waiting StopReader below runs asked again: that wait ends the
        // thread and clears the reader.
        return;
    }
    if (reader->delivering()) {
        // Called from a handler that this reader's thread is waiting for: that thread ends as
        // soon as the handler returns, without touching the device again. Join it later.
        reader_.reset();
        QMetaObject::invokeMethod(
            QCoreApplication::instance(), [reader] { reader->waitStopped(); },
            Qt::QueuedConnection);
        return;
    }
    // The reader stays set while its thread ends, so a handler that runs meanwhile and sets a
    // report handler again starts no second thread.
    waitingForReader_ = true;
    reader->waitStopped();
    waitingForReader_ = false;
    reader_.reset();
}

} // namespace hq
