#include "hid/hid_read_thread.h"

#include "hid/hid_device.h"

#include "hid/main_thread_call.h"

#include <algorithm>
#include <utility>

namespace hq {

HidDeviceReadThread::HidDeviceReadThread(HidDevice& device)
    : device_(device), report_(device.ReadCaps().inputReportByteLength),
      context_(std::make_unique<MainThreadCall>()) {}

HidDeviceReadThread::~HidDeviceReadThread() {
    if (started_) {
        requestStop();
        waitStopped();
    }
}

void HidDeviceReadThread::start() {
    started_ = true;
    thread_ = std::thread([this] { run(); });
}

void HidDeviceReadThread::requestStop() {
    stop_.store(true);
    std::lock_guard g(lock_);
    changed_.notify_all();
}

void HidDeviceReadThread::waitStopped() {
    if (!started_)
        return;
    {
        std::unique_lock g(lock_);
        while (!finished_) {
            if (pending_) {
                g.unlock();
                runPending();
                g.lock();
                continue;
            }
            changed_.wait(g);
        }
    }
    if (thread_.joinable())
        thread_.join();
}

bool HidDeviceReadThread::delivering() const {
    std::lock_guard g(lock_);
    return delivering_;
}

bool HidDeviceReadThread::finished() const {
    std::lock_guard g(lock_);
    return finished_;
}

void HidDeviceReadThread::run() {
    try {
        body();
    } catch (...) {
        // A handed-over handler raised: the thread ends; nobody is told.
    }
    std::lock_guard g(lock_);
    finished_ = true;
    changed_.notify_all();
}

void HidDeviceReadThread::body() {
    while (!stop_.load()) {
        const auto caps = device_.ReadCaps();
        // The buffer was sized when the thread was made; a grown report length must not
        // overrun it.
        const std::uint32_t length = std::min<std::uint32_t>(
            caps.inputReportByteLength, static_cast<std::uint32_t>(report_.size()));
        std::fill_n(report_.begin(), length, std::uint8_t{0});

        if (!device_.StartReportRead(report_.data(), length)) {
            lastError_.store(device_.hidPlatform().lastError());
            handOver([this] { DeliverReadError(); });
            continue;
        }

        bool completed = false;
        do {
            completed = device_.waitReportRead(device_.sleepTime());
        } while (!completed && !stop_.load());
        if (stop_.load()) {
            if (!completed)
                device_.CancelRead();
            else
                device_.TakeReadCount();
            return;
        }

        bytesRead_.store(device_.TakeReadCount());
        if (bytesRead_.load() > 0)
            handOver([this] { DeliverReport(); });
    }
}

void HidDeviceReadThread::handOver(std::function<void()> call) {
    std::unique_lock g(lock_);
    pending_ = std::move(call);
    pendingDone_ = false;
    pendingError_ = nullptr;
    changed_.notify_all();
    g.unlock();
    context_->post([this] { runPending(); });
    g.lock();
    changed_.wait(g, [this] { return pendingDone_; });
    auto error = std::exchange(pendingError_, nullptr);
    g.unlock();
    if (error)
        std::rethrow_exception(error);
}

void HidDeviceReadThread::runPending() {
    std::function<void()> call;
    {
        std::lock_guard g(lock_);
        if (!pending_)
            return;
        call = std::move(pending_);
        pending_ = nullptr;
        delivering_ = true;
    }
    std::exception_ptr error;
    try {
        call();
    } catch (...) {
        error = std::current_exception();
    }
    std::lock_guard g(lock_);
    delivering_ = false;
    pendingError_ = error;
    pendingDone_ = true;
    changed_.notify_all();
}

void HidDeviceReadThread::DeliverReport() {
    const auto& handler = device_.reportHandler();
    if (!handler)
        return;
    const std::uint32_t n = bytesRead_.load();
    handler(&device_, report_[0], report_.data() + 1, static_cast<std::uint16_t>(n - 1));
}

void HidDeviceReadThread::DeliverReadError() {
    const auto& handler = device_.readErrorHandler();
    if (handler)
        handler(&device_, lastError_.load());
}

} // namespace hq
