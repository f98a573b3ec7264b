// The read thread of a claimed device: reads input reports through the device's overlapped
// read handle and hands each report, and each failure to start a read, to the main thread,
// waiting until the handler there has returned. An exception the handler raises is re-raised
// on the read thread, which then ends.
#pragma once

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

namespace hq {

class HidDevice;
class MainThreadCall;

class HidDeviceReadThread {
public:
    // Main thread. Sizes the report buffer from the device's input report length.
    explicit HidDeviceReadThread(HidDevice& device);
    // Main thread; stops the thread first if it still runs.
    ~HidDeviceReadThread();
    HidDeviceReadThread(const HidDeviceReadThread&) = delete;
    HidDeviceReadThread& operator=(const HidDeviceReadThread&) = delete;

    void start();
    void requestStop();
    // Main thread: waits until the body has ended, running the calls it hands over meanwhile.
    void waitStopped();
    // True while the main thread runs a call handed over by this thread.
    bool delivering() const;
    bool finished() const;

    std::uint32_t lastError() const { return lastError_.load(); }
    std::uint32_t bytesRead() const { return bytesRead_.load(); }
    std::size_t reportBufferSize() const { return report_.size(); }

private:
    void run();
    void body();
    void handOver(std::function<void()> call);
    void runPending();
    void DeliverReport();
    void DeliverReadError();

    HidDevice& device_;
    std::atomic<std::uint32_t> lastError_{0};
    std::atomic<std::uint32_t> bytesRead_{0};
    std::vector<std::uint8_t> report_;
    std::atomic<bool> stop_{false};

    mutable std::mutex lock_;
    std::condition_variable changed_;
    std::function<void()> pending_;
    bool pendingDone_ = false;
    bool delivering_ = false;
    std::exception_ptr pendingError_;
    bool finished_ = false;
    bool started_ = false;

    std::thread thread_;
    // Lives on the main thread; queued hand-overs are addressed to it and dropped with it.
    std::unique_ptr<MainThreadCall> context_;
};

} // namespace hq
