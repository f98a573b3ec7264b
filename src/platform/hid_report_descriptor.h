// Report-descriptor parser: the report lengths a HID interface uses, computed from the raw
// descriptor bytes (as hidraw's HIDIOCGRDESC or sysfs' report_descriptor deliver them).
// Standard library only.
#pragma once

#include <cstdint>
#include <optional>
#include <span>

namespace hq::platform {

struct HidReportLayout {
    // Longest report of each kind in bytes, counting the report-ID byte (which a device without
    // numbered reports does not send, but which the link always puts first); 0 when the
    // descriptor declares no report of that kind.
    std::uint16_t inputReportByteLength = 0;
    std::uint16_t outputReportByteLength = 0;
    std::uint16_t featureReportByteLength = 0;
    // True when the descriptor declares report IDs (every report then starts with its ID).
    bool numberedReports = false;
    // Usage page and usage of the first top-level collection.
    std::uint16_t usagePage = 0;
    std::uint16_t usage = 0;
};

// Parses a report descriptor. Empty result for a descriptor that is malformed: a truncated
// item, Pop without Push, a report ID of 0, unbalanced collections, or a report longer than a
// HID report can be.
std::optional<HidReportLayout> parseReportDescriptor(std::span<const std::uint8_t> descriptor);

} // namespace hq::platform
