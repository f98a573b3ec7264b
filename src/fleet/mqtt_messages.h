// What hq3746ctl publish sends, as topics and payloads (docs/fleet.md describes them):
//   P/<serial>/state         one JSON object per status record (QoS 1)
//   P/<serial>/availability  "online" / "offline", retained
//   <discovery>/sensor|binary_sensor/hq3746_<serial>/<object>/config
//                            Home Assistant's MQTT discovery, retained
// <serial> is the cabinet's key in the stored history, with characters other than letters,
// digits, '-', '_' and '.' replaced by '_'. Field names and units come from the record table.
#pragma once

#include "core/expected.h"
#include "fleet/cabinet_snapshot.h"

#include <cstdint>
#include <string>
#include <vector>

namespace hq::fleet {

struct MqttMessage {
    std::string topic;
    std::string payload;
    bool retain = false;
};

inline constexpr char kDefaultTopicPrefix[] = "hq3746";
inline constexpr char kDiscoveryPrefix[] = "homeassistant";
inline constexpr char kOnline[] = "online";
inline constexpr char kOffline[] = "offline";

// A topic prefix as given on the command line, checked: not empty, no wildcards ('+', '#'), no
// NUL, not starting with '$' (the broker's own topics); a trailing '/' is dropped.
Expected<std::string> checkTopicPrefix(const std::string& prefix);

// The cabinet's key as one topic level.
std::string topicKey(const std::string& key);
std::string stateTopic(const std::string& prefix, const std::string& key);
std::string availabilityTopic(const std::string& prefix, const std::string& key);

// "2026-12-10T09:05:07.123Z"
std::string isoUtcMs(std::int64_t utcMs);

// {"timeStamp":"…Z","sequence":N,"serial":"…","usbSerial":"…","firmwareVersion":"1.003",
//  "doorOpen":false,"aktoren":…,"humidityTop":23.4,…,"units":{"humidityTop":"% r.H.",…}}
// Every field of the status record table by its name, scaled into its unit; addresses as
// dotted text. sequence is the record's number in the cabinet's stored history (with the time
// stamp it tells a repeated message from a new one).
std::string statePayload(const CabinetSnapshot& cabinet, std::uint64_t sequence, std::int64_t utcMs,
                         const protocol::StatusRecord& record);

// The retained discovery messages of one cabinet: humidity top and bottom, temperature top and
// bottom, door, error number.
std::vector<MqttMessage> discoveryMessages(const std::string& topicPrefix,
                                           const CabinetSnapshot& cabinet);

} // namespace hq::fleet
