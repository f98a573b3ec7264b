#include "cabinet/identity.h"

#include <charconv>
#include <cstdio>

namespace hq::cabinet {

std::string firmwareVersionText(const protocol::FirmwareVersion& version) {
    // One division of the exact thousandths gives the double nearest to the decimal, whose
    // shortest text is the decimal itself (major + minor / 1000.0 need not be: 1.1179999...).
    char text[32];
    const auto r = std::to_chars(text, text + sizeof text, version.thousandths() / 1000.0);
    return std::string(text, r.ptr);
}

std::string clockTimeText(const protocol::ClockRecord& clock) {
    char text[16];
    std::snprintf(text, sizeof text, "%.2d:%.2d:%.2d", clock.hours, clock.minutes, clock.seconds);
    return text;
}

std::string clockDateText(const protocol::ClockRecord& clock) {
    char text[16];
    std::snprintf(text, sizeof text, "%.2d.%.2d.20%.2d", clock.day, clock.month, clock.year);
    return text;
}

} // namespace hq::cabinet
