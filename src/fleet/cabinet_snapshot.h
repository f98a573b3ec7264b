// What the site tools (hq3746ctl serve and publish) know of one cabinet at a moment: who it is,
// whether it is attached and answering, and its latest status record. The poller keeps one per
// cabinet it has seen; the metrics page and the MQTT messages are made from these.
// Standard library only.
#pragma once

#include "protocol/reply.h"

#include <cstdint>
#include <optional>
#include <string>

namespace hq::fleet {

struct CabinetSnapshot {
    // The cabinet's key in the stored history: its serial number in decimal ("12345678"), for
    // serial number 0 its USB serial-number text, or "unknown".
    std::string key;
    std::string usbSerial;                             // the USB serial-number string, UTF-8
    std::optional<protocol::FirmwareVersion> firmware; // from its configuration reply
    bool attached = false;                             // on the bus and claimed by this process
    bool answering = false;    // attached, and a status record came within the last few polls
    std::uint64_t records = 0; // status records received since this process started
    std::optional<protocol::StatusRecord> last; // the newest status record
    std::int64_t lastUtcMs = 0;                 // its time stamp (UTC milliseconds)

    // Set by hq3746ctl publish: the link to the broker and the records still waiting for it.
    struct Broker {
        bool connected = false;
        std::uint64_t backlog = 0; // records stored but not yet acknowledged by the broker
    };
    std::optional<Broker> broker;
};

} // namespace hq::fleet
