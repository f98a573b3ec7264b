#include "cabinet/identity.h"

#include <cstdio>

namespace hq::cabinet {

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
