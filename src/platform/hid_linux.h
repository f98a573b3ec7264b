// Linux HID backend (hidraw device nodes, udev for enumeration and hotplug). The sysfs helpers
// below are what the backend reads without opening a device node; they are exposed for tests.
#pragma once

#include "platform/hid_platform.h"

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace hq::platform::hidraw {

// What sysfs tells about one hidraw interface, read without opening its device node.
struct SysfsHidInfo {
    std::string syspath; // the hidraw class device, e.g.
                         // /sys/devices/.../0003:04D8:003F.0001/hidraw/hidraw0
    std::string hidPath; // the HID device it belongs to
    std::string devnode; // /dev/hidrawN
    unsigned major = 0;
    unsigned minor = 0;
    std::uint32_t busType = 0; // BUS_USB = 3, BUS_BLUETOOTH = 5, ...
    std::uint16_t vendorId = 0;
    std::uint16_t productId = 0;
    std::uint16_t versionNumber = 0; // bcdDevice of a USB device; 0 where sysfs has none
    std::uint32_t hidSequence = 0;   // the kernel's running number of the HID device
    std::string driver;
    std::string name;     // HID_NAME
    std::string phys;     // HID_PHYS
    std::string uniq;     // HID_UNIQ
    std::string modalias; // MODALIAS
    bool usb = false;     // a USB device was found above the HID device
    std::string usbProduct;
    std::string usbManufacturer;
    std::optional<std::string> usbSerial;
    std::uint32_t usbBusNumber = 0;
};

// Reads the attributes of the hidraw class device at syspath. Empty when the directory is not
// (or no longer) a hidraw device of a HID device.
std::optional<SysfsHidInfo> readSysfsHidInfo(const std::string& syspath);

// "0003:000004D8:0000003F" (HID_ID of a HID device's uevent).
bool parseHidId(std::string_view text, std::uint32_t& bus, std::uint16_t& vendor,
                std::uint16_t& product);

// The running number in a HID device's name, "0003:04D8:003F.000A" -> 10.
std::optional<std::uint32_t> hidSequenceOf(std::string_view hidDeviceName);

// Identity of one hidraw interface instance: the HID device's running number, which the kernel
// never hands out twice, and the hidraw minor. A replugged device differs even on the same node.
std::uint64_t deviceInstanceId(const SysfsHidInfo& info);

// The product and serial-number strings as the link reports them (USB string descriptors where
// the device is a USB device, else the HID device's name and unique id). Empty optional when the
// device has no such string.
std::optional<std::u16string> productString(const SysfsHidInfo& info);
std::optional<std::u16string> serialString(const SysfsHidInfo& info);

std::u16string utf8ToUtf16(std::string_view text);

// The report descriptor from sysfs (report_descriptor of the HID device); empty on failure.
std::vector<std::uint8_t> readSysfsReportDescriptor(const SysfsHidInfo& info);

} // namespace hq::platform::hidraw
