#include "platform/hid_simulated.h"

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <system_error>
#include <utility>

namespace hq::platform {

namespace {

thread_local ErrorCode tlsLastError = 0;

void setError(ErrorCode code) {
    tlsLastError = code;
}

// The input queue of one open read handle.
using InputQueue = std::deque<std::vector<std::uint8_t>>;

struct Device {
    SimulatedDeviceId id = 0;
    std::uint64_t devInst = 0;
    SimulatedPlugOptions options;
    std::shared_ptr<SimulatedHidFunction> function;
    bool plugged = true;
    std::vector<InputQueue*> readQueues; // one per open read handle
    std::size_t lostReports = 0;
    int refuseOpens = 0;
    ErrorCode refuseOpenError = 0;
    int refuseStarts = 0;
    ErrorCode refuseStartError = 0;
    int failReads = 0;
    ErrorCode failReadError = 0;
    int failWrites = 0;
    ErrorCode failWriteError = 0;
    int openHandles = 0;
    int readStarts = 0;
    int writes = 0;
    int outstanding = 0;

    // Called with the bus lock held.
    void deliver(const std::vector<std::uint8_t>& report) {
        if (readQueues.empty()) {
            ++lostReports;
            return;
        }
        for (InputQueue* queue : readQueues) {
            if (queue->size() >= options.inputBuffers) {
                ++lostReports;
                if (options.overflow == InputOverflow::DropNewest || queue->empty())
                    continue;
                queue->pop_front();
            }
            queue->push_back(report);
        }
    }
};

void copyString(const std::u16string& text, std::span<char16_t> buffer) {
    if (buffer.empty())
        return;
    const std::size_t n = std::min(text.size(), buffer.size() - 1);
    std::copy_n(text.begin(), n, buffer.begin());
    buffer[n] = 0;
}

} // namespace

struct SimulatedHidPlatform::Bus {
    mutable std::mutex lock;
    std::condition_variable inputArrived;
    std::vector<std::shared_ptr<Device>> devices; // present devices in plug order
    SimulatedDeviceId nextId = 1;
    std::uint64_t nextDevInst = 0x1000;
    bool available = true;

    // Listeners are called under notifyLock, so a notifier's destruction waits for a running
    // callback of its own.
    std::mutex notifyLock;
    std::vector<std::pair<int, std::function<void()>>> listeners;
    int nextListener = 1;

    std::shared_ptr<Device> find(SimulatedDeviceId id) const {
        for (const auto& d : devices)
            if (d->id == id)
                return d;
        return {};
    }
    std::shared_ptr<Device> findPath(const std::string& path) const {
        for (const auto& d : devices)
            if (d->options.interfacePath == path)
                return d;
        return {};
    }
    void notify() {
        std::lock_guard g(notifyLock);
        for (auto& [key, callback] : listeners)
            if (callback)
                callback();
    }
};

using Bus = SimulatedHidPlatform::Bus;

namespace {

class SimPreparsed : public HidPreparsedData {
public:
    explicit SimPreparsed(HidCaps caps) : caps_(caps) {}
    bool getCaps(HidCaps& caps) const override {
        caps = caps_;
        return true;
    }

private:
    HidCaps caps_;
};

class SimControlHandle : public HidControlHandle {
public:
    SimControlHandle(std::shared_ptr<Bus> bus, std::shared_ptr<Device> device, HidAccess access)
        : bus_(std::move(bus)), device_(std::move(device)), access_(access) {}
    ~SimControlHandle() override {
        std::lock_guard g(bus_->lock);
        --device_->openHandles;
    }

    bool getAttributes(HidAttributes& attributes) override {
        auto function = present();
        if (!function)
            return false;
        if (device_->options.failAttributes) {
            setError(simerr::kIoError);
            return false;
        }
        attributes = function->attributes();
        attributes.size = 12;
        return true;
    }
    std::unique_ptr<HidPreparsedData> getPreparsedData() override {
        auto function = present();
        if (!function)
            return nullptr;
        if (device_->options.noPreparsedData) {
            setError(simerr::kIoError);
            return nullptr;
        }
        return std::make_unique<SimPreparsed>(function->caps());
    }
    bool getProductString(std::span<char16_t> buffer) override {
        auto function = present();
        return function && fill(function->productString(), buffer);
    }
    bool getSerialNumberString(std::span<char16_t> buffer) override {
        auto function = present();
        return function && fill(function->serialString(), buffer);
    }
    IndexedStringResult getIndexedString(std::uint32_t index, std::span<char16_t> buffer) override {
        if (device_->options.noIndexedStrings)
            return IndexedStringResult::NotAvailable;
        auto function = present();
        if (!function)
            return IndexedStringResult::Failed;
        const auto ids = function->languageIds();
        if (index != 0 || ids.empty()) {
            setError(simerr::kIoError);
            return IndexedStringResult::Failed;
        }
        const std::size_t n = std::min(ids.size(), buffer.size());
        std::copy_n(ids.begin(), n, buffer.begin());
        return IndexedStringResult::Filled;
    }
    bool write(std::span<const std::uint8_t> report, std::uint32_t& written) override {
        written = 0;
        std::shared_ptr<SimulatedHidFunction> function;
        {
            std::lock_guard g(bus_->lock);
            if (!device_->plugged) {
                setError(simerr::kNoSuchDevice);
                return false;
            }
            if (access_ != HidAccess::ReadWrite) {
                setError(simerr::kPermissionDenied);
                return false;
            }
            if (device_->failWrites > 0) {
                --device_->failWrites;
                setError(device_->failWriteError);
                return false;
            }
            ++device_->writes;
            function = device_->function;
        }
        auto answers = function->onOutputReport(report);
        {
            std::lock_guard g(bus_->lock);
            if (device_->plugged)
                for (const auto& a : answers)
                    device_->deliver(a);
        }
        bus_->inputArrived.notify_all();
        written = static_cast<std::uint32_t>(report.size());
        return true;
    }

private:
    std::shared_ptr<SimulatedHidFunction> present() {
        std::lock_guard g(bus_->lock);
        if (!device_->plugged) {
            setError(simerr::kNoSuchDevice);
            return {};
        }
        return device_->function;
    }
    static bool fill(const std::optional<std::u16string>& text, std::span<char16_t> buffer) {
        if (!text) {
            setError(simerr::kIoError);
            return false;
        }
        copyString(*text, buffer);
        return true;
    }

    std::shared_ptr<Bus> bus_;
    std::shared_ptr<Device> device_;
    HidAccess access_;
};

class SimReadHandle : public HidReadHandle {
public:
    // Called with the bus lock held: from now on arriving reports are queued for this handle.
    SimReadHandle(std::shared_ptr<Bus> bus, std::shared_ptr<Device> device)
        : bus_(std::move(bus)), device_(std::move(device)) {
        device_->readQueues.push_back(&input_);
    }
    ~SimReadHandle() override {
        std::lock_guard g(bus_->lock);
        std::erase(device_->readQueues, &input_);
        if (state_ == State::Pending)
            --device_->outstanding;
        --device_->openHandles;
    }

    bool startRead(std::span<std::uint8_t> buffer) override {
        std::lock_guard g(bus_->lock);
        if (state_ == State::Pending) {
            setError(simerr::kBusy);
            return false;
        }
        if (!device_->plugged) {
            setError(simerr::kNoSuchDevice);
            return false;
        }
        if (device_->refuseStarts > 0) {
            --device_->refuseStarts;
            setError(device_->refuseStartError);
            return false;
        }
        ++device_->readStarts;
        ++device_->outstanding;
        state_ = State::Pending;
        buffer_ = buffer;
        cancelled_ = false;
        return true;
    }

    bool waitForCompletion(std::chrono::milliseconds slice) override {
        std::unique_lock g(bus_->lock);
        const auto until = std::chrono::steady_clock::now() + slice;
        while (true) {
            if (state_ == State::Completed)
                return true;
            if (state_ == State::Pending && tryComplete())
                return true;
            if (bus_->inputArrived.wait_until(g, until) == std::cv_status::timeout) {
                return state_ == State::Completed || (state_ == State::Pending && tryComplete());
            }
        }
    }

    bool takeReadCount(std::uint32_t& count) override {
        std::lock_guard g(bus_->lock);
        if (state_ == State::Pending)
            tryComplete();
        if (state_ != State::Completed) {
            setError(simerr::kBusy);
            return false;
        }
        state_ = State::Idle;
        if (!ok_) {
            setError(error_);
            return false;
        }
        count = count_;
        return true;
    }

    void cancel() override {
        {
            std::lock_guard g(bus_->lock);
            if (state_ != State::Pending)
                return;
            cancelled_ = true;
        }
        bus_->inputArrived.notify_all();
    }

private:
    enum class State { Idle, Pending, Completed };

    // Called with the bus lock held while a read is pending.
    bool tryComplete() {
        if (cancelled_)
            return finish(false, simerr::kCancelled, 0);
        if (!device_->plugged)
            return finish(false, simerr::kNoSuchDevice, 0);
        if (device_->failReads > 0) {
            --device_->failReads;
            return finish(false, device_->failReadError, 0);
        }
        if (input_.empty())
            return false;
        auto report = std::move(input_.front());
        input_.pop_front();
        const std::size_t n = std::min(report.size(), buffer_.size());
        std::copy_n(report.begin(), n, buffer_.begin());
        return finish(true, 0, static_cast<std::uint32_t>(n));
    }
    bool finish(bool ok, ErrorCode error, std::uint32_t count) {
        state_ = State::Completed;
        ok_ = ok;
        error_ = error;
        count_ = count;
        buffer_ = {};
        --device_->outstanding;
        return true;
    }

    std::shared_ptr<Bus> bus_;
    std::shared_ptr<Device> device_;
    InputQueue input_;
    State state_ = State::Idle;
    std::span<std::uint8_t> buffer_;
    bool cancelled_ = false;
    bool ok_ = false;
    ErrorCode error_ = 0;
    std::uint32_t count_ = 0;
};

class SimNotifier : public HidChangeNotifier {
public:
    SimNotifier(std::shared_ptr<Bus> bus, int key) : bus_(std::move(bus)), key_(key) {}
    ~SimNotifier() override {
        std::lock_guard g(bus_->notifyLock);
        std::erase_if(bus_->listeners, [&](const auto& l) { return l.first == key_; });
    }

private:
    std::shared_ptr<Bus> bus_;
    int key_;
};

} // namespace

std::vector<std::vector<std::uint8_t>>
FixedHidFunction::onOutputReport(std::span<const std::uint8_t> report) {
    std::lock_guard g(lock_);
    written_.emplace_back(report.begin(), report.end());
    return {};
}

std::vector<std::vector<std::uint8_t>> FixedHidFunction::writtenReports() const {
    std::lock_guard g(lock_);
    return written_;
}

SimulatedHidPlatform::SimulatedHidPlatform() : bus_(std::make_shared<Bus>()) {}

SimulatedHidPlatform::~SimulatedHidPlatform() {
    // Wake every waiting read; handles that outlive the platform keep the bus alive.
    {
        std::lock_guard g(bus_->lock);
        for (auto& d : bus_->devices)
            d->plugged = false;
        bus_->devices.clear();
    }
    bus_->inputArrived.notify_all();
}

SimulatedDeviceId SimulatedHidPlatform::plug(std::shared_ptr<SimulatedHidFunction> function,
                                             SimulatedPlugOptions options) {
    SimulatedDeviceId id;
    {
        std::lock_guard g(bus_->lock);
        auto d = std::make_shared<Device>();
        id = d->id = bus_->nextId++;
        d->devInst = bus_->nextDevInst++;
        if (options.interfacePath.empty())
            options.interfacePath = "sim:hid#" + std::to_string(id);
        d->options = std::move(options);
        d->function = std::move(function);
        bus_->devices.push_back(std::move(d));
    }
    bus_->notify();
    return id;
}

void SimulatedHidPlatform::unplug(SimulatedDeviceId id) {
    {
        std::lock_guard g(bus_->lock);
        auto d = bus_->find(id);
        if (!d)
            return;
        d->plugged = false;
        for (InputQueue* queue : d->readQueues)
            queue->clear();
        std::erase(bus_->devices, d);
    }
    bus_->inputArrived.notify_all();
    bus_->notify();
}

bool SimulatedHidPlatform::isPlugged(SimulatedDeviceId id) const {
    std::lock_guard g(bus_->lock);
    return bus_->find(id) != nullptr;
}

std::uint64_t SimulatedHidPlatform::devInstOf(SimulatedDeviceId id) const {
    std::lock_guard g(bus_->lock);
    auto d = bus_->find(id);
    return d ? d->devInst : 0;
}

std::string SimulatedHidPlatform::interfacePathOf(SimulatedDeviceId id) const {
    std::lock_guard g(bus_->lock);
    auto d = bus_->find(id);
    return d ? d->options.interfacePath : std::string();
}

void SimulatedHidPlatform::setAvailable(bool available) {
    std::lock_guard g(bus_->lock);
    bus_->available = available;
}

void SimulatedHidPlatform::notifyChange() {
    bus_->notify();
}

void SimulatedHidPlatform::queueInputReport(SimulatedDeviceId id,
                                            std::vector<std::uint8_t> report) {
    {
        std::lock_guard g(bus_->lock);
        auto d = bus_->find(id);
        if (!d)
            return;
        d->deliver(report);
    }
    bus_->inputArrived.notify_all();
}

std::size_t SimulatedHidPlatform::pendingInputReports(SimulatedDeviceId id) const {
    std::lock_guard g(bus_->lock);
    auto d = bus_->find(id);
    std::size_t most = 0;
    if (d)
        for (const InputQueue* queue : d->readQueues)
            most = std::max(most, queue->size());
    return most;
}

std::size_t SimulatedHidPlatform::lostInputReports(SimulatedDeviceId id) const {
    std::lock_guard g(bus_->lock);
    auto d = bus_->find(id);
    return d ? d->lostReports : 0;
}

void SimulatedHidPlatform::refuseReadStarts(SimulatedDeviceId id, int n, ErrorCode error) {
    std::lock_guard g(bus_->lock);
    if (auto d = bus_->find(id)) {
        d->refuseStarts = n;
        d->refuseStartError = error;
    }
}

void SimulatedHidPlatform::refuseReadOpens(SimulatedDeviceId id, int n, ErrorCode error) {
    std::lock_guard g(bus_->lock);
    if (auto d = bus_->find(id)) {
        d->refuseOpens = n;
        d->refuseOpenError = error;
    }
}

void SimulatedHidPlatform::failReads(SimulatedDeviceId id, int n, ErrorCode error) {
    {
        std::lock_guard g(bus_->lock);
        if (auto d = bus_->find(id)) {
            d->failReads = n;
            d->failReadError = error;
        }
    }
    bus_->inputArrived.notify_all();
}

void SimulatedHidPlatform::failWrites(SimulatedDeviceId id, int n, ErrorCode error) {
    std::lock_guard g(bus_->lock);
    if (auto d = bus_->find(id)) {
        d->failWrites = n;
        d->failWriteError = error;
    }
}

int SimulatedHidPlatform::openHandleCount(SimulatedDeviceId id) const {
    std::lock_guard g(bus_->lock);
    auto d = bus_->find(id);
    return d ? d->openHandles : 0;
}

int SimulatedHidPlatform::readHandleCount(SimulatedDeviceId id) const {
    std::lock_guard g(bus_->lock);
    auto d = bus_->find(id);
    return d ? static_cast<int>(d->readQueues.size()) : 0;
}

int SimulatedHidPlatform::readStartCount(SimulatedDeviceId id) const {
    std::lock_guard g(bus_->lock);
    auto d = bus_->find(id);
    return d ? d->readStarts : 0;
}

int SimulatedHidPlatform::writeCount(SimulatedDeviceId id) const {
    std::lock_guard g(bus_->lock);
    auto d = bus_->find(id);
    return d ? d->writes : 0;
}

bool SimulatedHidPlatform::readOutstanding(SimulatedDeviceId id) const {
    std::lock_guard g(bus_->lock);
    auto d = bus_->find(id);
    return d && d->outstanding > 0;
}

bool SimulatedHidPlatform::available() const {
    std::lock_guard g(bus_->lock);
    return bus_->available;
}

std::vector<HidInterfaceInfo> SimulatedHidPlatform::enumerate() {
    std::lock_guard g(bus_->lock);
    std::vector<HidInterfaceInfo> list;
    if (!bus_->available)
        return list;
    for (const auto& d : bus_->devices)
        list.push_back({d->devInst, d->options.interfacePath, d->options.properties});
    return list;
}

std::unique_ptr<HidControlHandle>
SimulatedHidPlatform::openControl(const std::string& interfacePath, HidAccess access) {
    std::lock_guard g(bus_->lock);
    auto d = bus_->findPath(interfacePath);
    if (!d) {
        setError(simerr::kNotFound);
        return nullptr;
    }
    if (d->options.refuseAllOpens ||
        (d->options.refuseReadWrite && access == HidAccess::ReadWrite)) {
        setError(simerr::kPermissionDenied);
        return nullptr;
    }
    ++d->openHandles;
    return std::make_unique<SimControlHandle>(bus_, d, access);
}

std::unique_ptr<HidReadHandle> SimulatedHidPlatform::openRead(const std::string& interfacePath) {
    std::lock_guard g(bus_->lock);
    auto d = bus_->findPath(interfacePath);
    if (!d) {
        setError(simerr::kNotFound);
        return nullptr;
    }
    if (d->options.refuseAllOpens || d->options.refuseReadWrite) {
        setError(simerr::kPermissionDenied);
        return nullptr;
    }
    if (d->refuseOpens > 0) {
        --d->refuseOpens;
        setError(d->refuseOpenError);
        return nullptr;
    }
    ++d->openHandles;
    return std::make_unique<SimReadHandle>(bus_, d);
}

ErrorCode SimulatedHidPlatform::lastError() const {
    return tlsLastError;
}

std::string SimulatedHidPlatform::errorText(ErrorCode code) const {
    return std::generic_category().message(static_cast<int>(code));
}

std::unique_ptr<HidChangeNotifier>
SimulatedHidPlatform::watchDeviceChanges(std::function<void()> onChange) {
    std::lock_guard g(bus_->notifyLock);
    const int key = bus_->nextListener++;
    bus_->listeners.emplace_back(key, std::move(onChange));
    return std::make_unique<SimNotifier>(bus_, key);
}

} // namespace hq::platform
