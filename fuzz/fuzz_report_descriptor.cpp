// Feeds arbitrary bytes to the report-descriptor parser, as a device may deliver them. Checks
// that a parsed layout is self-consistent and that every prefix of the input parses without
// harm (a descriptor truncated in transfer).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <span>

#include "platform/hid_report_descriptor.h"

namespace {
void check(bool ok) {
    if (!ok)
        std::abort();
}

void checkLength(std::uint16_t length) {
    // 0 (no such report) or at least one data byte after the report-ID byte.
    check(length == 0 || length >= 2);
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::span<const std::uint8_t> bytes(data, size);
    const auto layout = hq::platform::parseReportDescriptor(bytes);
    if (layout) {
        checkLength(layout->inputReportByteLength);
        checkLength(layout->outputReportByteLength);
        checkLength(layout->featureReportByteLength);
        // Deterministic.
        const auto again = hq::platform::parseReportDescriptor(bytes);
        check(again && again->inputReportByteLength == layout->inputReportByteLength &&
              again->outputReportByteLength == layout->outputReportByteLength &&
              again->numberedReports == layout->numberedReports);
    }
    for (std::size_t n = 0; n < size && n < 64; ++n)
        (void)hq::platform::parseReportDescriptor(bytes.first(n));
    return 0;
}
