// The cabinet as this program knows it: its USB identity, the files that belong to it, and the
// rules that depend on its firmware. The windows, the command-line tool and the simulated
// cabinet take these facts from here. Standard library only.
#pragma once

#include "protocol/reply.h"

#include <cstdint>
#include <string>
#include <string_view>

namespace hq::cabinet {

// The controller's USB HID interface.
inline constexpr std::uint16_t kVendorId = 0x04D8;
inline constexpr std::uint16_t kProductId = 0x003F;
// Its USB product string; also the first six bytes of its answer to a discovery datagram.
inline constexpr std::string_view kProductString = "HQ3746";

constexpr bool isCabinet(std::uint16_t vendorId, std::uint16_t productId) {
    return vendorId == kVendorId && productId == kProductId;
}

// The web page image uploaded to the cabinet, and the external bootloader program that takes
// a firmware update (its file name without the platform's executable suffix).
inline constexpr std::string_view kWebImageFileName = "MPFSImg_DC.bin";
inline constexpr std::string_view kBootloaderProgram = "Bootloader/PIC32UBL";

// The return-air monitoring check box is shown from firmware minor version 12 on, whatever the
// major version.
inline constexpr int kReturnAirMonitoringFromMinor = 12;
constexpr bool returnAirMonitoringShown(std::uint8_t firmwareMinor) {
    return firmwareMinor >= kReturnAirMonitoringFromMinor;
}

// The firmware version as the window shows it after "V.:": major + minor / 1000 in its shortest
// form with at most 15 significant digits and a point, whatever the locale ("1.003", "1.01", "2").
std::string firmwareVersionText(const protocol::FirmwareVersion& version);

// The cabinet's clock as the window shows it: "09:05:07" and "06.03.2024".
std::string clockTimeText(const protocol::ClockRecord& clock);
std::string clockDateText(const protocol::ClockRecord& clock);

} // namespace hq::cabinet
