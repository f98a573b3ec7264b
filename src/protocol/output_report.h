// Placing a command frame into a HID output report: report ID 0, the frame, one terminating
// zero, zero fill up to the device's OutputReportByteLength (which counts the report ID).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>
#include <vector>

#include "protocol/command_frame.h"

namespace hq::protocol {

// Report ID plus 64 data bytes: the longest output report the monitor writes.
inline constexpr std::size_t kMaxOutputReportLength = 65;

enum class FramingError {
    None,
    ReportTooLong,   // the device announces more than kMaxOutputReportLength bytes
    FrameDoesNotFit, // the frame plus its terminating zero does not fit after the report ID
};

struct FramedReport {
    std::vector<std::uint8_t> bytes; // empty unless error == None
    FramingError error = FramingError::None;
    bool ok() const { return error == FramingError::None; }
};

// Builds the outputReportByteLength bytes to write; on an error nothing is produced.
FramedReport frameOutputReport(const CommandFrame& frame, std::size_t outputReportByteLength);

// English text of an error, for logs and tools.
std::string_view describe(FramingError error);

} // namespace hq::protocol
