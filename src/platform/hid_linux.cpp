// Linux HID backend: hidraw device nodes for reports and descriptors, sysfs for identity and
// strings (readable without opening the node), libudev for enumeration and hotplug.
#include "platform/hid_linux.h"

#include "platform/hid_native.h"
#include "platform/hid_report_descriptor.h"

#include <libudev.h>

#include <linux/hidraw.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/un.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <iterator>
#include <sstream>

namespace hq::platform {

namespace hidraw {

namespace {

std::optional<std::string> readTextFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return std::nullopt;
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    if (in.bad())
        return std::nullopt;
    return text;
}

// A sysfs attribute without its trailing newline.
std::optional<std::string> readAttribute(const std::string& dir, const char* name) {
    auto text = readTextFile(dir + "/" + name);
    if (!text)
        return std::nullopt;
    while (!text->empty() && (text->back() == '\n' || text->back() == '\r'))
        text->pop_back();
    return text;
}

// KEY=value lines of a uevent file.
std::string ueventValue(const std::string& uevent, std::string_view key) {
    std::istringstream lines(uevent);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.size() > key.size() && line.compare(0, key.size(), key) == 0 &&
            line[key.size()] == '=')
            return line.substr(key.size() + 1);
    }
    return {};
}

bool parseHex(std::string_view text, std::uint32_t& value) {
    if (text.empty() || text.size() > 8)
        return false;
    std::uint32_t v = 0;
    for (char c : text) {
        v <<= 4;
        if (c >= '0' && c <= '9')
            v |= static_cast<std::uint32_t>(c - '0');
        else if (c >= 'a' && c <= 'f')
            v |= static_cast<std::uint32_t>(c - 'a' + 10);
        else if (c >= 'A' && c <= 'F')
            v |= static_cast<std::uint32_t>(c - 'A' + 10);
        else
            return false;
    }
    value = v;
    return true;
}

bool parseDecimal(std::string_view text, unsigned& value) {
    if (text.empty() || text.size() > 9)
        return false;
    unsigned v = 0;
    for (char c : text) {
        if (c < '0' || c > '9')
            return false;
        v = v * 10 + static_cast<unsigned>(c - '0');
    }
    value = v;
    return true;
}

std::string realPath(const std::string& path) {
    char resolved[PATH_MAX];
    if (::realpath(path.c_str(), resolved) == nullptr)
        return {};
    return resolved;
}

std::string parentDir(const std::string& path) {
    const auto slash = path.find_last_of('/');
    if (slash == std::string::npos || slash == 0)
        return {};
    return path.substr(0, slash);
}

std::string baseName(const std::string& path) {
    const auto slash = path.find_last_of('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool exists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

} // namespace

bool parseHidId(std::string_view text, std::uint32_t& bus, std::uint16_t& vendor,
                std::uint16_t& product) {
    const auto first = text.find(':');
    const auto second = first == std::string_view::npos ? first : text.find(':', first + 1);
    if (second == std::string_view::npos)
        return false;
    std::uint32_t b = 0, v = 0, p = 0;
    if (!parseHex(text.substr(0, first), b) ||
        !parseHex(text.substr(first + 1, second - first - 1), v) ||
        !parseHex(text.substr(second + 1), p) || v > 0xFFFF || p > 0xFFFF)
        return false;
    bus = b;
    vendor = static_cast<std::uint16_t>(v);
    product = static_cast<std::uint16_t>(p);
    return true;
}

std::optional<std::uint32_t> hidSequenceOf(std::string_view hidDeviceName) {
    const auto dot = hidDeviceName.find_last_of('.');
    if (dot == std::string_view::npos)
        return std::nullopt;
    std::uint32_t seq = 0;
    if (!parseHex(hidDeviceName.substr(dot + 1), seq))
        return std::nullopt;
    return seq;
}

std::uint64_t deviceInstanceId(const SysfsHidInfo& info) {
    return (static_cast<std::uint64_t>(info.hidSequence) << 32) | info.minor;
}

std::u16string utf8ToUtf16(std::string_view text) {
    std::u16string out;
    out.reserve(text.size());
    std::size_t i = 0;
    while (i < text.size()) {
        const auto c = static_cast<unsigned char>(text[i]);
        std::uint32_t cp = 0xFFFD;
        std::size_t len = 1;
        if (c < 0x80) {
            cp = c;
        } else if ((c & 0xE0) == 0xC0) {
            len = 2;
        } else if ((c & 0xF0) == 0xE0) {
            len = 3;
        } else if ((c & 0xF8) == 0xF0) {
            len = 4;
        }
        if (len > 1) {
            bool ok = i + len <= text.size();
            std::uint32_t v = c & (0x7F >> len);
            for (std::size_t k = 1; ok && k < len; ++k) {
                const auto cc = static_cast<unsigned char>(text[i + k]);
                if ((cc & 0xC0) != 0x80)
                    ok = false;
                else
                    v = (v << 6) | (cc & 0x3F);
            }
            static constexpr std::uint32_t kMinimum[] = {0, 0, 0x80, 0x800, 0x10000};
            if (ok && v >= kMinimum[len] && v <= 0x10FFFF && (v < 0xD800 || v > 0xDFFF)) {
                cp = v;
            } else {
                cp = 0xFFFD;
                len = 1;
            }
        }
        if (cp >= 0x10000) {
            cp -= 0x10000;
            out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
            out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
        } else {
            out.push_back(static_cast<char16_t>(cp));
        }
        i += len;
    }
    return out;
}

std::optional<SysfsHidInfo> readSysfsHidInfo(const std::string& syspath) {
    SysfsHidInfo info;
    info.syspath = syspath;
    const auto uevent = readTextFile(syspath + "/uevent");
    const auto dev = readAttribute(syspath, "dev");
    if (!uevent || !dev)
        return std::nullopt;
    const auto devname = ueventValue(*uevent, "DEVNAME");
    const auto colon = dev->find(':');
    if (devname.empty() || colon == std::string::npos ||
        !parseDecimal(std::string_view(*dev).substr(0, colon), info.major) ||
        !parseDecimal(std::string_view(*dev).substr(colon + 1), info.minor))
        return std::nullopt;
    info.devnode = "/dev/" + devname;

    // The HID device: the class device's "device" link (hidraw sits below it in sysfs).
    info.hidPath = realPath(syspath + "/device");
    if (info.hidPath.empty())
        return std::nullopt;
    const auto hidUevent = readTextFile(info.hidPath + "/uevent");
    if (!hidUevent)
        return std::nullopt;
    if (!parseHidId(ueventValue(*hidUevent, "HID_ID"), info.busType, info.vendorId, info.productId))
        return std::nullopt;
    const auto seq = hidSequenceOf(baseName(info.hidPath));
    if (!seq)
        return std::nullopt;
    info.hidSequence = *seq;
    info.driver = ueventValue(*hidUevent, "DRIVER");
    info.name = ueventValue(*hidUevent, "HID_NAME");
    info.phys = ueventValue(*hidUevent, "HID_PHYS");
    info.uniq = ueventValue(*hidUevent, "HID_UNIQ");
    info.modalias = ueventValue(*hidUevent, "MODALIAS");

    // A USB device above it (interface, then device) supplies bcdDevice and the string
    // descriptors as the device reports them.
    constexpr int maxLevels = 4;
    std::string dir = parentDir(info.hidPath);
    for (int level = 0; level < maxLevels && !dir.empty(); ++level, dir = parentDir(dir)) {
        if (!exists(dir + "/idVendor") || !exists(dir + "/bcdDevice"))
            continue;
        info.usb = true;
        std::uint32_t bcd = 0;
        if (const auto text = readAttribute(dir, "bcdDevice"); text && parseHex(*text, bcd))
            info.versionNumber = static_cast<std::uint16_t>(bcd);
        info.usbProduct = readAttribute(dir, "product").value_or(std::string());
        info.usbManufacturer = readAttribute(dir, "manufacturer").value_or(std::string());
        info.usbSerial = readAttribute(dir, "serial");
        unsigned busnum = 0;
        if (const auto text = readAttribute(dir, "busnum"); text && parseDecimal(*text, busnum))
            info.usbBusNumber = busnum;
        break;
    }
    return info;
}

std::optional<std::u16string> productString(const SysfsHidInfo& info) {
    if (info.usb) {
        if (info.usbProduct.empty())
            return std::nullopt;
        return utf8ToUtf16(info.usbProduct);
    }
    if (info.name.empty())
        return std::nullopt;
    return utf8ToUtf16(info.name);
}

std::optional<std::u16string> serialString(const SysfsHidInfo& info) {
    if (info.usb) {
        if (!info.usbSerial || info.usbSerial->empty())
            return std::nullopt;
        return utf8ToUtf16(*info.usbSerial);
    }
    if (info.uniq.empty())
        return std::nullopt;
    return utf8ToUtf16(info.uniq);
}

std::vector<std::uint8_t> readSysfsReportDescriptor(const SysfsHidInfo& info) {
    const auto text = readTextFile(info.hidPath + "/report_descriptor");
    if (!text)
        return {};
    return std::vector<std::uint8_t>(text->begin(), text->end());
}

} // namespace hidraw

namespace {

using hidraw::SysfsHidInfo;

thread_local ErrorCode tlsLastError = 0;

void setError(ErrorCode code) {
    tlsLastError = code;
}
void setErrno() {
    tlsLastError = static_cast<ErrorCode>(errno);
}

void closeFd(int fd) {
    if (fd >= 0)
        ::close(fd);
}

// The hidraw class device for an interface path: its sysfs directory (what enumeration lists)
// or, for convenience, its /dev node.
std::optional<SysfsHidInfo> resolve(const std::string& interfacePath) {
    std::string syspath = interfacePath;
    if (interfacePath.rfind("/dev/", 0) == 0) {
        const auto slash = interfacePath.find_last_of('/');
        syspath = hidraw::realPath("/sys/class/hidraw/" + interfacePath.substr(slash + 1));
        if (syspath.empty())
            return std::nullopt;
    }
    return hidraw::readSysfsHidInfo(syspath);
}

// Opens the node of info and makes sure it is still that device: the node must carry the
// device number sysfs gave, and the sysfs directory (whose name holds the HID device's running
// number) must still be there after the open, or a replugged device could be opened in its place.
int openNode(const SysfsHidInfo& info, int flags) {
    const int fd = ::open(info.devnode.c_str(), flags | O_CLOEXEC);
    if (fd < 0) {
        setErrno();
        return -1;
    }
    struct stat st {};
    const bool sameNode = ::fstat(fd, &st) == 0 && S_ISCHR(st.st_mode) &&
                          major(st.st_rdev) == info.major && minor(st.st_rdev) == info.minor;
    const auto dev = hidraw::readAttribute(info.syspath, "dev");
    const bool stillThere =
        dev && *dev == std::to_string(info.major) + ":" + std::to_string(info.minor);
    if (!sameNode || !stillThere) {
        ::close(fd);
        setError(ENODEV);
        return -1;
    }
    return fd;
}

std::vector<std::uint8_t> readDescriptor(int fd, const SysfsHidInfo& info) {
    if (fd >= 0) {
        int size = 0;
        if (::ioctl(fd, HIDIOCGRDESCSIZE, &size) == 0 && size > 0 &&
            size <= HID_MAX_DESCRIPTOR_SIZE) {
            hidraw_report_descriptor rd{};
            rd.size = static_cast<__u32>(size);
            if (::ioctl(fd, HIDIOCGRDESC, &rd) == 0)
                return std::vector<std::uint8_t>(rd.value, rd.value + size);
        }
    }
    return hidraw::readSysfsReportDescriptor(info);
}

class HidrawPreparsed : public HidPreparsedData {
public:
    explicit HidrawPreparsed(HidReportLayout layout) : layout_(layout) {}
    bool getCaps(HidCaps& caps) const override {
        caps.usage = layout_.usage;
        caps.usagePage = layout_.usagePage;
        caps.inputReportByteLength = layout_.inputReportByteLength;
        caps.outputReportByteLength = layout_.outputReportByteLength;
        caps.featureReportByteLength = layout_.featureReportByteLength;
        return true;
    }

private:
    HidReportLayout layout_;
};

bool copyString(const std::optional<std::u16string>& text, std::span<char16_t> buffer) {
    if (!text) {
        setError(ENOENT);
        return false;
    }
    if (buffer.empty()) {
        setError(EINVAL);
        return false;
    }
    const std::size_t n = std::min(text->size(), buffer.size() - 1);
    std::copy_n(text->begin(), n, buffer.begin());
    buffer[n] = u'\0';
    return true;
}

// A control handle: the device node opened read-write, or (query-only) no node at all: every
// query is answered from sysfs, so a node the user may not open still yields its identity.
class HidrawControlHandle : public HidControlHandle {
public:
    HidrawControlHandle(SysfsHidInfo info, int fd) : info_(std::move(info)), fd_(fd) {}
    ~HidrawControlHandle() override { closeFd(fd_); }
    HidrawControlHandle(const HidrawControlHandle&) = delete;
    HidrawControlHandle& operator=(const HidrawControlHandle&) = delete;

    bool getAttributes(HidAttributes& attributes) override {
        if (!present())
            return false;
        attributes.vendorId = info_.vendorId;
        attributes.productId = info_.productId;
        attributes.versionNumber = info_.versionNumber;
        return true;
    }

    std::unique_ptr<HidPreparsedData> getPreparsedData() override {
        if (!present())
            return nullptr;
        const auto descriptor = readDescriptor(fd_, info_);
        if (descriptor.empty()) {
            setError(EIO);
            return nullptr;
        }
        const auto layout = parseReportDescriptor(descriptor);
        if (!layout) {
            setError(EPROTO);
            return nullptr;
        }
        return std::make_unique<HidrawPreparsed>(*layout);
    }

    bool getProductString(std::span<char16_t> buffer) override {
        return present() && copyString(hidraw::productString(info_), buffer);
    }

    bool getSerialNumberString(std::span<char16_t> buffer) override {
        return present() && copyString(hidraw::serialString(info_), buffer);
    }

    // hidraw offers no way to read string descriptors by index (the language-ID list).
    IndexedStringResult getIndexedString(std::uint32_t, std::span<char16_t>) override {
        setError(ENOTSUP);
        return IndexedStringResult::NotAvailable;
    }

    bool write(std::span<const std::uint8_t> report, std::uint32_t& written) override {
        written = 0;
        if (fd_ < 0) { // query-only: not open for writing
            setError(EACCES);
            return false;
        }
        ssize_t n = 0;
        do {
            n = ::write(fd_, report.data(), report.size());
        } while (n < 0 && errno == EINTR);
        if (n < 0) {
            setErrno();
            return false;
        }
        written = static_cast<std::uint32_t>(n);
        return true;
    }

private:
    // The interface as this handle knows it is still there (not replaced by a replug).
    bool present() const {
        const auto dev = hidraw::readAttribute(info_.syspath, "dev");
        if (dev && *dev == std::to_string(info_.major) + ":" + std::to_string(info_.minor))
            return true;
        setError(ENODEV);
        return false;
    }

    SysfsHidInfo info_;
    int fd_;
};

// A read handle: the node opened read-only and non-blocking, and an eventfd through which any
// thread can end a wait. The descriptors are closed only by the destructor, which the owning
// (reading) thread runs, so no wait ever touches a closed or reused descriptor.
class HidrawReadHandle : public HidReadHandle {
public:
    HidrawReadHandle(int fd, int cancelFd, bool numbered)
        : fd_(fd), cancelFd_(cancelFd), numbered_(numbered) {}
    ~HidrawReadHandle() override {
        closeFd(fd_);
        closeFd(cancelFd_);
    }
    HidrawReadHandle(const HidrawReadHandle&) = delete;
    HidrawReadHandle& operator=(const HidrawReadHandle&) = delete;

    bool startRead(std::span<std::uint8_t> buffer) override {
        if (state_ == State::Pending) {
            setError(EBUSY);
            return false;
        }
        if (gone_) {
            setError(ENODEV);
            return false;
        }
        if (buffer.size() < (numbered_ ? 1u : 2u)) {
            setError(EINVAL);
            return false;
        }
        drainCancel();
        buffer_ = buffer;
        state_ = State::Pending;
        pending_.store(true);
        return true;
    }

    bool waitForCompletion(std::chrono::milliseconds slice) override {
        if (state_ != State::Pending)
            return state_ == State::Done;
        const auto deadline = std::chrono::steady_clock::now() + slice;
        for (;;) {
            const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
                deadline - std::chrono::steady_clock::now());
            pollfd fds[2] = {{fd_, POLLIN, 0}, {cancelFd_, POLLIN, 0}};
            const int r = ::poll(fds, 2, static_cast<int>(std::max<std::int64_t>(0, left.count())));
            if (r < 0 && errno == EINTR)
                continue;
            if (r < 0) {
                finish(false, static_cast<ErrorCode>(errno));
                return true;
            }
            if (r == 0)
                return false;
            if (fds[1].revents & POLLIN) {
                drainCancel();
                finish(false, ECANCELED);
                return true;
            }
            if (fds[0].revents & POLLIN) {
                if (readReport())
                    return true;
                continue; // nothing there after all (spurious wake-up)
            }
            if (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) {
                gone_ = true;
                finish(false, ENODEV);
                return true;
            }
        }
    }

    bool takeReadCount(std::uint32_t& count) override {
        if (state_ != State::Done) {
            setError(state_ == State::Pending ? EINPROGRESS : EINVAL);
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
        if (!pending_.load())
            return;
        const std::uint64_t one = 1;
        [[maybe_unused]] const auto n = ::write(cancelFd_, &one, sizeof one);
    }

private:
    enum class State { Idle, Pending, Done };

    void drainCancel() {
        std::uint64_t value = 0;
        [[maybe_unused]] const auto n = ::read(cancelFd_, &value, sizeof value);
    }

    void finish(bool ok, ErrorCode error, std::uint32_t count = 0) {
        pending_.store(false);
        state_ = State::Done;
        ok_ = ok;
        error_ = error;
        count_ = count;
        buffer_ = {};
    }

    // One report into the buffer. Reports of a device without report IDs come without the ID
    // byte; a 0 is put in front so that byte 0 is always the report ID.
    bool readReport() {
        const std::size_t offset = numbered_ ? 0 : 1;
        ssize_t n = 0;
        do {
            n = ::read(fd_, buffer_.data() + offset, buffer_.size() - offset);
        } while (n < 0 && errno == EINTR);
        if (n < 0) {
            if (errno == EAGAIN || errno == EWOULDBLOCK)
                return false;
            if (errno == ENODEV || errno == EIO)
                gone_ = true;
            finish(false, static_cast<ErrorCode>(errno));
            return true;
        }
        if (n == 0) {
            finish(true, 0, 0);
            return true;
        }
        if (!numbered_)
            buffer_[0] = 0;
        finish(true, 0, static_cast<std::uint32_t>(n) + static_cast<std::uint32_t>(offset));
        return true;
    }

    int fd_;
    int cancelFd_;
    bool numbered_;
    std::span<std::uint8_t> buffer_;
    State state_ = State::Idle;
    std::atomic<bool> pending_{false};
    bool gone_ = false;
    bool ok_ = false;
    ErrorCode error_ = 0;
    std::uint32_t count_ = 0;
};

HidPnpProperties propertiesOf(const SysfsHidInfo& info) {
    HidPnpProperties p;
    p.deviceClass = "hidraw";
    p.deviceDesc = info.name;
    p.friendlyName = info.name;
    p.driver = info.driver;
    p.service = info.driver;
    p.manufacturer = info.usbManufacturer;
    if (!info.modalias.empty())
        p.hardwareIds.push_back(info.modalias);
    p.address = info.hidPath.substr(info.hidPath.find_last_of('/') + 1);
    p.locationInformation = info.phys;
    p.physicalDeviceObjectName = info.devnode;
    p.busNumber = info.usbBusNumber;
    p.legacyBusType = info.busType;
    switch (info.busType) {
    case 0x03:
        p.enumeratorName = "USB";
        break;
    case 0x05:
        p.enumeratorName = "BLUETOOTH";
        break;
    case 0x18:
        p.enumeratorName = "I2C";
        break;
    default:
        p.enumeratorName = "HID";
        break;
    }
    return p;
}

struct UdevDeleter {
    void operator()(udev* u) const { udev_unref(u); }
    void operator()(udev_monitor* m) const { udev_monitor_unref(m); }
    void operator()(udev_enumerate* e) const { udev_enumerate_unref(e); }
    void operator()(udev_device* d) const { udev_device_unref(d); }
};
template <class T> using UdevPtr = std::unique_ptr<T, UdevDeleter>;

// While udevd runs, a device is listed only once udev has finished with it (its node then has
// the permissions the rules give); udev's own event for it follows and brings another scan.
// The control socket outlives a stopped udevd, so it is asked: a refused connection means
// nobody listens. A socket the user may not connect to belongs to a running udevd.
bool udevdRunning() {
    const int s = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0);
    if (s < 0)
        return hidraw::exists("/run/udev/control");
    sockaddr_un addr{};
    addr.sun_family = AF_UNIX;
    std::strncpy(addr.sun_path, "/run/udev/control", sizeof addr.sun_path - 1);
    const int r = ::connect(s, reinterpret_cast<const sockaddr*>(&addr), sizeof addr);
    const int error = errno;
    ::close(s);
    return r == 0 || (error != ECONNREFUSED && error != ENOENT);
}

class UdevChangeNotifier : public HidChangeNotifier {
public:
    UdevChangeNotifier(UdevPtr<udev> context, UdevPtr<udev_monitor> monitor,
                       std::function<void()> onChange)
        : udev_(std::move(context)), monitor_(std::move(monitor)), onChange_(std::move(onChange)) {}
    int pollDescriptor() const override { return udev_monitor_get_fd(monitor_.get()); }
    void processPending() override {
        while (UdevPtr<udev_device> dev{udev_monitor_receive_device(monitor_.get())}) {
            const char* action = udev_device_get_action(dev.get());
            if (action && (std::strcmp(action, "add") == 0 || std::strcmp(action, "remove") == 0))
                if (onChange_)
                    onChange_();
        }
    }

private:
    UdevPtr<udev> udev_;
    UdevPtr<udev_monitor> monitor_;
    std::function<void()> onChange_;
};

class LinuxHidPlatform : public HidPlatform {
public:
    LinuxHidPlatform() : udev_(udev_new()) {}

    bool available() const override { return udev_ != nullptr; }

    std::vector<HidInterfaceInfo> enumerate() override {
        std::vector<HidInterfaceInfo> result;
        if (!udev_)
            return result;
        UdevPtr<udev_enumerate> en{udev_enumerate_new(udev_.get())};
        if (!en || udev_enumerate_add_match_subsystem(en.get(), "hidraw") < 0 ||
            udev_enumerate_scan_devices(en.get()) < 0) {
            setError(EIO);
            return result;
        }
        const bool waitForUdev = udevdRunning();
        udev_list_entry* entry = nullptr;
        udev_list_entry_foreach(entry, udev_enumerate_get_list_entry(en.get())) {
            const char* syspath = udev_list_entry_get_name(entry);
            if (waitForUdev) {
                UdevPtr<udev_device> dev{udev_device_new_from_syspath(udev_.get(), syspath)};
                if (!dev || !udev_device_get_is_initialized(dev.get()))
                    continue;
            }
            auto info = hidraw::readSysfsHidInfo(syspath);
            if (!info) // gone meanwhile, or not a HID device's hidraw node
                continue;
            HidInterfaceInfo item;
            item.devInst = hidraw::deviceInstanceId(*info);
            item.interfacePath = info->syspath;
            item.properties = propertiesOf(*info);
            result.push_back(std::move(item));
        }
        return result;
    }

    std::unique_ptr<HidControlHandle> openControl(const std::string& interfacePath,
                                                  HidAccess access) override {
        auto info = resolve(interfacePath);
        if (!info) {
            setError(ENODEV);
            return nullptr;
        }
        int fd = -1;
        if (access == HidAccess::ReadWrite) {
            fd = openNode(*info, O_RDWR);
            if (fd < 0)
                return nullptr;
        }
        return std::make_unique<HidrawControlHandle>(std::move(*info), fd);
    }

    std::unique_ptr<HidReadHandle> openRead(const std::string& interfacePath) override {
        const auto info = resolve(interfacePath);
        if (!info) {
            setError(ENODEV);
            return nullptr;
        }
        const int fd = openNode(*info, O_RDONLY | O_NONBLOCK);
        if (fd < 0)
            return nullptr;
        const auto layout = parseReportDescriptor(readDescriptor(fd, *info));
        const int cancelFd = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
        if (cancelFd < 0) {
            setErrno();
            ::close(fd);
            return nullptr;
        }
        return std::make_unique<HidrawReadHandle>(fd, cancelFd, layout && layout->numberedReports);
    }

    ErrorCode lastError() const override { return tlsLastError; }

    std::string errorText(ErrorCode code) const override {
        return std::strerror(static_cast<int>(code));
    }

    std::unique_ptr<HidChangeNotifier> watchDeviceChanges(std::function<void()> onChange) override {
        UdevPtr<udev> context{udev_new()};
        if (!context)
            return nullptr;
        // udev's events come after its rules have run; without udevd (a container, a minimal
        // system) the kernel's own events are all there is.
        UdevPtr<udev_monitor> monitor{
            udev_monitor_new_from_netlink(context.get(), udevdRunning() ? "udev" : "kernel")};
        if (!monitor ||
            udev_monitor_filter_add_match_subsystem_devtype(monitor.get(), "hidraw", nullptr) < 0 ||
            udev_monitor_enable_receiving(monitor.get()) < 0)
            return nullptr;
        const int fd = udev_monitor_get_fd(monitor.get());
        const int flags = ::fcntl(fd, F_GETFL);
        if (flags >= 0)
            ::fcntl(fd, F_SETFL, flags | O_NONBLOCK);
        return std::make_unique<UdevChangeNotifier>(std::move(context), std::move(monitor),
                                                    std::move(onChange));
    }

private:
    UdevPtr<udev> udev_;
};

} // namespace

std::unique_ptr<HidPlatform> createNativeHidPlatform() {
    return std::make_unique<LinuxHidPlatform>();
}

} // namespace hq::platform
