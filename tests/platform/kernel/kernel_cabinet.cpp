#include "kernel_cabinet.h"

#include <cstring>

namespace hq::kerneltest {

namespace {

void put16(std::vector<std::uint8_t>& r, std::size_t at, std::uint16_t v) {
    r[at] = static_cast<std::uint8_t>(v & 0xFF);
    r[at + 1] = static_cast<std::uint8_t>(v >> 8);
}

int fromBcd(std::uint8_t b) {
    return (b >> 4) * 10 + (b & 0x0F);
}

} // namespace

KernelCabinet::KernelCabinet(CabinetBehaviour behaviour)
    : behaviour_(std::move(behaviour)), sender_([this] { sendLoop(); }) {}

KernelCabinet::~KernelCabinet() {
    {
        std::lock_guard g(lock_);
        stopping_ = true;
    }
    wake_.notify_all();
    sender_.join();
    unplug();
}

bool KernelCabinet::plug(std::string& error) {
    UhidIdentity id;
    id.name = "HQ3746";
    id.uniq = behaviour_.usbSerial;
    id.phys = "qemu-uhid/" + behaviour_.usbSerial;
    id.vendor = 0x04D8;
    id.product = 0x003F;
    id.version = 0x0100;
    id.descriptor = vendorDescriptor64();
    {
        std::lock_guard g(lock_);
        due_.clear();
    }
    std::lock_guard d(deviceLock_);
    return device_.create(
        id, [this](std::span<const std::uint8_t> report) { return onOutput(report); }, error);
}

void KernelCabinet::unplug() {
    {
        std::lock_guard g(lock_);
        due_.clear();
    }
    std::lock_guard d(deviceLock_);
    device_.destroy();
}

std::string KernelCabinet::received() const {
    std::lock_guard g(lock_);
    std::string codes;
    for (const auto& r : received_)
        codes += r.size() > 1 ? static_cast<char>(r[1]) : '?';
    return codes;
}

std::vector<std::vector<std::uint8_t>> KernelCabinet::receivedReports() const {
    std::lock_guard g(lock_);
    return received_;
}

void KernelCabinet::clearReceived() {
    std::lock_guard g(lock_);
    received_.clear();
}

CabinetValues KernelCabinet::values() const {
    std::lock_guard g(lock_);
    return values_;
}

std::vector<std::uint8_t> KernelCabinet::statusReport() const {
    std::vector<std::uint8_t> r(64, 0);
    r[0] = 'v';
    r[1] = 0x81; // actuators
    r[2] = 0;    // error number
    put16(r, 3, polls_);
    r[5] = 7;           // okTimer of the older layout
    r[7] = 0x05;        // valves
    put16(r, 8, 50);    // mains frequency
    put16(r, 10, 2150); // T3, hundredths
    put16(r, 12, 455);  // L1 (motor), tenths
    put16(r, 18, 42);   // T1_2, the okTimer of the newer layout
    put16(r, 20, 230);  // T2_1
    put16(r, 22, 225);  // T2_2
    r[24] = 0x01;       // status: door open
    r[25] = 3;          // programme phase
    r[28] = 0x0A;       // upper sensor byte
    put16(r, 29, values_.humidityTop);
    put16(r, 31, values_.temperatureTop);
    r[33] = 0x0B;
    put16(r, 34, values_.humidityBottom);
    put16(r, 36, values_.temperatureBottom);
    std::memcpy(&r[38], values_.address, 4);
    const std::uint8_t second[4] = {255, 255, 255, 0};
    std::memcpy(&r[42], second, 4);
    put16(r, 46, 1234);
    return r;
}

std::vector<std::uint8_t> KernelCabinet::configReport() const {
    std::vector<std::uint8_t> r(64, 0);
    r[0] = '@';
    r[1] = 50;
    r[2] = 50;
    r[3] = 30;
    put16(r, 4, values_.doorAlarmSeconds);
    put16(r, 6, values_.restartDelaySeconds);
    const auto serial = static_cast<std::uint32_t>(behaviour_.serialNumber);
    for (int i = 0; i < 4; ++i)
        r[13 + std::size_t(i)] = static_cast<std::uint8_t>(serial >> (8 * i));
    r[17] = 3; // firmware 1.003
    r[18] = 1;
    std::memcpy(&r[21], values_.mac, 6);
    r[28] = values_.returnAir;
    return r;
}

std::vector<std::uint8_t> KernelCabinet::webImageReport() const {
    std::vector<std::uint8_t> r(64, 0);
    r[0] = 'u';
    const char text[] = "Version_MPFS=1.003;";
    std::memcpy(&r[1], text, sizeof text - 1);
    return r;
}

std::vector<std::uint8_t> KernelCabinet::clockReport() const {
    std::vector<std::uint8_t> r(64, 0);
    r[0] = '3';
    r[1] = 1; // read status
    r[2] = static_cast<std::uint8_t>(values_.hours);
    r[3] = static_cast<std::uint8_t>(values_.minutes);
    r[4] = static_cast<std::uint8_t>(values_.seconds);
    r[5] = static_cast<std::uint8_t>(values_.day);
    r[6] = static_cast<std::uint8_t>(values_.month);
    r[7] = static_cast<std::uint8_t>(values_.year);
    return r;
}

// Runs on the uhid device's service thread, for each output report as the kernel passes it on
// (report-ID byte first).
std::vector<std::vector<std::uint8_t>>
KernelCabinet::onOutput(std::span<const std::uint8_t> report) {
    std::unique_lock g(lock_);
    received_.emplace_back(report.begin(), report.end());
    if (report.size() < 2)
        return {};
    std::vector<std::uint8_t> answer;
    switch (report[1]) {
    case 'v':
        ++polls_;
        answer = statusReport();
        break;
    case '@':
        answer = configReport();
        break;
    case 'u':
        answer = webImageReport();
        break;
    case '3':
        answer = clockReport();
        break;
    case 'A':
        if (report.size() >= 15) {
            values_.doorAlarmSeconds = static_cast<std::uint16_t>(report[5] | report[6] << 8);
            values_.restartDelaySeconds = static_cast<std::uint16_t>(report[7] | report[8] << 8);
            values_.returnAir = report[14] == 1 ? 1 : 0;
        }
        return {};
    case '2':
        if (report.size() >= 11) {
            values_.seconds = fromBcd(report[4]);
            values_.minutes = fromBcd(report[5]);
            values_.hours = fromBcd(report[6]);
            values_.day = fromBcd(report[7]);
            values_.month = fromBcd(report[9]);
            values_.year = fromBcd(report[10]);
        }
        return {};
    default:
        return {};
    }
    switch (behaviour_.answering) {
    case Answering::AtOnce:
        return {answer};
    case Answering::Delayed: {
        auto at = std::chrono::steady_clock::now() + behaviour_.delay;
        if (!due_.empty() && due_.back().first > at)
            at = due_.back().first; // answers keep the order of the commands
        due_.emplace_back(at, std::move(answer));
        g.unlock();
        wake_.notify_all();
        return {};
    }
    case Answering::Never:
        return {};
    }
    return {};
}

void KernelCabinet::sendLoop() {
    using namespace std::chrono;
    auto nextChat = steady_clock::now();
    unsigned tick = 0;
    std::unique_lock g(lock_);
    while (!stopping_) {
        const auto now = steady_clock::now();
        std::vector<std::vector<std::uint8_t>> send;
        while (!due_.empty() && due_.front().first <= now) {
            send.push_back(std::move(due_.front().second));
            due_.pop_front();
        }
        if (behaviour_.chatty && now >= nextChat) {
            ++tick;
            std::vector<std::uint8_t> scan(64, 0);
            scan[0] = ':';
            scan[1] = 2;
            scan[2] = 0xA0;
            scan[3] = 0xD0;
            send.push_back(scan);
            if (tick % 3 == 0) {
                std::vector<std::uint8_t> unknown(64, 0x5A);
                unknown[0] = 0x99;
                send.push_back(unknown);
            }
            if (tick % 5 == 0)
                send.push_back(statusReport());
            nextChat = now + milliseconds(20);
        }
        if (!send.empty()) {
            g.unlock();
            {
                std::lock_guard d(deviceLock_);
                for (const auto& report : send)
                    device_.sendInput(report);
            }
            g.lock();
            continue;
        }
        auto until = now + milliseconds(behaviour_.chatty ? 20 : 1000);
        if (!due_.empty() && due_.front().first < until)
            until = due_.front().first;
        wake_.wait_until(g, until);
    }
}

} // namespace hq::kerneltest
