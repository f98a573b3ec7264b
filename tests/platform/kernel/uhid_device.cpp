#include "uhid_device.h"

#include <linux/uhid.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>

namespace hq::kerneltest {

std::vector<std::uint8_t> vendorDescriptor64() {
    return {0x06, 0x00, 0xFF,             // usage page (vendor FF00)
            0x09, 0x01,                   // usage 1
            0xA1, 0x01,                   // collection (application)
            0x19, 0x01, 0x29, 0x40,       //   usages 1..64
            0x15, 0x00, 0x26, 0xFF, 0x00, //   logical 0..255
            0x75, 0x08, 0x95, 0x40,       //   64 x 8 bits
            0x81, 0x00,                   //   input (data, array)
            0x19, 0x01, 0x29, 0x40,       //   usages 1..64
            0x91, 0x00,                   //   output (data, array)
            0xC0};
}

UhidDevice::~UhidDevice() {
    destroy();
}

bool UhidDevice::create(const UhidIdentity& identity, OutputHandler handler, std::string& error) {
    destroy();
    fd_ = ::open("/dev/uhid", O_RDWR | O_CLOEXEC);
    if (fd_ < 0) {
        error = std::string("/dev/uhid: ") + std::strerror(errno);
        return false;
    }
    stopFd_ = ::eventfd(0, EFD_CLOEXEC);
    handler_ = std::move(handler);

    uhid_event ev{};
    ev.type = UHID_CREATE2;
    auto& c = ev.u.create2;
    std::strncpy(reinterpret_cast<char*>(c.name), identity.name.c_str(), sizeof c.name - 1);
    std::strncpy(reinterpret_cast<char*>(c.phys), identity.phys.c_str(), sizeof c.phys - 1);
    std::strncpy(reinterpret_cast<char*>(c.uniq), identity.uniq.c_str(), sizeof c.uniq - 1);
    c.bus = identity.bus;
    c.vendor = identity.vendor;
    c.product = identity.product;
    c.version = identity.version;
    c.rd_size = static_cast<__u16>(identity.descriptor.size());
    std::memcpy(c.rd_data, identity.descriptor.data(), identity.descriptor.size());
    if (!send(&ev, sizeof ev)) {
        error = std::string("UHID_CREATE2: ") + std::strerror(errno);
        ::close(fd_);
        ::close(stopFd_);
        fd_ = stopFd_ = -1;
        return false;
    }
    thread_ = std::thread([this] { serve(); });
    return true;
}

void UhidDevice::destroy() {
    if (fd_ < 0)
        return;
    uhid_event ev{};
    ev.type = UHID_DESTROY;
    send(&ev, sizeof ev);
    const std::uint64_t one = 1;
    [[maybe_unused]] auto n = ::write(stopFd_, &one, sizeof one);
    if (thread_.joinable())
        thread_.join();
    ::close(fd_);
    ::close(stopFd_);
    fd_ = stopFd_ = -1;
}

bool UhidDevice::sendInput(std::span<const std::uint8_t> report) {
    if (fd_ < 0 || report.size() > UHID_DATA_MAX)
        return false;
    uhid_event in{};
    in.type = UHID_INPUT2;
    in.u.input2.size = static_cast<__u16>(report.size());
    std::memcpy(in.u.input2.data, report.data(), report.size());
    return send(&in, sizeof in);
}

bool UhidDevice::send(const void* event, std::size_t size) {
    std::lock_guard lock(writeLock_);
    const auto n = ::write(fd_, event, size);
    return n == static_cast<ssize_t>(size);
}

void UhidDevice::serve() {
    for (;;) {
        pollfd fds[2] = {{fd_, POLLIN, 0}, {stopFd_, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) {
            if (errno == EINTR)
                continue;
            return;
        }
        if (fds[1].revents)
            return;
        uhid_event ev{};
        const auto n = ::read(fd_, &ev, sizeof ev);
        if (n <= 0)
            continue;
        switch (ev.type) {
        case UHID_OUTPUT: {
            ++outputs_;
            const std::span<const std::uint8_t> report(ev.u.output.data, ev.u.output.size);
            for (const auto& answer : handler_ ? handler_(report) : decltype(handler_(report)){})
                sendInput(answer);
            break;
        }
        case UHID_GET_REPORT: { // no feature or input reports on request
            uhid_event reply{};
            reply.type = UHID_GET_REPORT_REPLY;
            reply.u.get_report_reply.id = ev.u.get_report.id;
            reply.u.get_report_reply.err = EIO;
            send(&reply, sizeof reply);
            break;
        }
        case UHID_SET_REPORT: {
            uhid_event reply{};
            reply.type = UHID_SET_REPORT_REPLY;
            reply.u.set_report_reply.id = ev.u.set_report.id;
            reply.u.set_report_reply.err = EIO;
            send(&reply, sizeof reply);
            break;
        }
        default: // START, STOP, OPEN, CLOSE
            break;
        }
    }
}

} // namespace hq::kerneltest
