#include "protocol/output_report.h"

#include <algorithm>

namespace hq::protocol {

FramedReport frameOutputReport(const CommandFrame& frame, std::size_t outputReportByteLength) {
    FramedReport r;
    if (outputReportByteLength > kMaxOutputReportLength) {
        r.error = FramingError::ReportTooLong;
        return r;
    }
    // report ID + frame + terminating zero
    if (frame.size() + 2 > outputReportByteLength) {
        r.error = FramingError::FrameDoesNotFit;
        return r;
    }
    r.bytes.assign(outputReportByteLength, 0);
    const auto b = frame.bytes();
    std::copy(b.begin(), b.end(), r.bytes.begin() + 1);
    return r;
}

std::string_view describe(FramingError error) {
    switch (error) {
    case FramingError::None:
        return "no error";
    case FramingError::ReportTooLong:
        return "output report longer than 65 bytes";
    case FramingError::FrameDoesNotFit:
        return "command frame does not fit into the output report";
    }
    return "unknown framing error";
}

} // namespace hq::protocol
