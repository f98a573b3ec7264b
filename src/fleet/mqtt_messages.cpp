#include "fleet/mqtt_messages.h"

#include "cabinet/identity.h"
#include "history/archive_location.h"
#include "protocol/fields.h"
#include "protocol/record_table.h"

#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <initializer_list>
#include <string_view>

namespace hq::fleet {

namespace {

std::string number(double v) {
    if (!std::isfinite(v))
        return "null";
    char buf[32];
    const auto r = std::to_chars(buf, buf + sizeof buf, v);
    return std::string(buf, r.ptr);
}

// A field's value in its unit as JSON: scaled numbers, flags, texts (addresses dotted).
std::string fieldJson(const protocol::FieldSpec<protocol::StatusRecord>& f,
                      const protocol::StatusRecord& r) {
    const protocol::FieldValue v = protocol::fieldValue(f, r);
    if (f.divisor != 1)
        if (const auto scaled = protocol::scaledValue(f, r))
            return number(*scaled);
    return protocol::toJson(v);
}

struct Sensor {
    const char* component; // "sensor" or "binary_sensor"
    const char* object;    // object id
    const char* name;
    const char* field;         // the record table's field, for the unit and the template
    const char* deviceClass;   // Home Assistant's, or null
    const char* valueTemplate; // null: the field's value
    bool diagnostic = false;
};

const Sensor kSensors[] = {
    {"sensor", "humidity_top", "Humidity top", "humidityTop", "humidity", nullptr},
    {"sensor", "humidity_bottom", "Humidity bottom", "humidityBottom", "humidity", nullptr},
    {"sensor", "temperature_top", "Temperature top", "temperatureTop", "temperature", nullptr},
    {"sensor", "temperature_bottom", "Temperature bottom", "temperatureBottom", "temperature",
     nullptr},
    {"binary_sensor", "door", "Door", "status", "door",
     "{{ 'ON' if value_json.doorOpen else 'OFF' }}"},
    {"sensor", "error_number", "Error number", "fehler", nullptr, nullptr, true},
};

} // namespace

Expected<std::string> checkTopicPrefix(const std::string& prefix) {
    std::string p = prefix;
    while (!p.empty() && p.back() == '/')
        p.pop_back();
    if (p.empty())
        return failure("The topic prefix is empty.");
    if (p.size() > 200)
        return failure("The topic prefix is longer than 200 characters.");
    if (p.front() == '$')
        return failure("A topic prefix cannot start with '$' (the broker's own topics).");
    for (const char c : p) {
        if (c == '+' || c == '#')
            return failure("A topic prefix cannot hold the wildcards '+' and '#'.");
        if (static_cast<unsigned char>(c) < 0x20 || c == 0x7F)
            return failure("A topic prefix cannot hold control characters.");
    }
    return p;
}

std::string topicKey(const std::string& key) {
    return history::keyFolderName(key).toStdString();
}

namespace {

// Appends the parts in one go (GCC 12 warns wrongly about chains of "text" + std::string).
void append(std::string& s, std::initializer_list<std::string_view> parts) {
    for (std::string_view p : parts)
        s.append(p);
}

std::string cat(std::initializer_list<std::string_view> parts) {
    std::string s;
    append(s, parts);
    return s;
}

} // namespace

std::string stateTopic(const std::string& prefix, const std::string& key) {
    return cat({prefix, "/", topicKey(key), "/state"});
}

std::string availabilityTopic(const std::string& prefix, const std::string& key) {
    return cat({prefix, "/", topicKey(key), "/availability"});
}

std::string isoUtcMs(std::int64_t utcMs) {
    using namespace std::chrono;
    const sys_time<milliseconds> t{milliseconds(utcMs)};
    const sys_days day = floor<days>(t);
    const year_month_day ymd(day);
    const hh_mm_ss<milliseconds> time(t - day);
    char text[48];
    std::snprintf(text, sizeof text, "%04d-%02u-%02uT%02d:%02d:%02d.%03dZ", int(ymd.year()),
                  unsigned(ymd.month()), unsigned(ymd.day()), int(time.hours().count()),
                  int(time.minutes().count()), int(time.seconds().count()),
                  int(time.subseconds().count()));
    return text;
}

std::string statePayload(const CabinetSnapshot& cabinet, std::uint64_t sequence, std::int64_t utcMs,
                         const protocol::StatusRecord& record) {
    using protocol::jsonString;
    const std::string firmware =
        cabinet.firmware ? jsonString(cabinet::firmwareVersionText(*cabinet.firmware)) : "null";
    std::string s;
    append(s, {"{\"timeStamp\":\"", isoUtcMs(utcMs), "\",\"sequence\":", std::to_string(sequence),
               ",\"serial\":", jsonString(cabinet.key),
               ",\"usbSerial\":", jsonString(cabinet.usbSerial), ",\"firmwareVersion\":", firmware,
               ",\"doorOpen\":", record.doorOpen() ? "true" : "false"});
    for (const auto& f : protocol::kStatusFields)
        append(s, {",", jsonString(f.name), ":", fieldJson(f, record)});
    s.append(",\"units\":{");
    bool first = true;
    for (const auto& f : protocol::kStatusFields) {
        if (f.unit.symbol.empty())
            continue;
        append(s, {first ? "" : ",", jsonString(f.name), ":", jsonString(f.unit.symbol)});
        first = false;
    }
    s.append("}}");
    return s;
}

std::vector<MqttMessage> discoveryMessages(const std::string& topicPrefix,
                                           const CabinetSnapshot& cabinet) {
    using protocol::jsonString;
    const std::string node = cat({"hq3746_", topicKey(cabinet.key)});
    std::string device;
    append(device, {"{\"identifiers\":[", jsonString(node),
                    "],\"name\":", jsonString(cat({"HQ3746 ", cabinet.key})),
                    ",\"manufacturer\":\"KOV\",\"model\":\"HQ3746\""});
    if (cabinet.firmware)
        append(device,
               {",\"sw_version\":", jsonString(cabinet::firmwareVersionText(*cabinet.firmware))});
    if (!cabinet.usbSerial.empty())
        append(device, {",\"serial_number\":", jsonString(cabinet.usbSerial)});
    device.append("}");

    std::vector<MqttMessage> out;
    for (const Sensor& sensor : kSensors) {
        const auto* field = protocol::findField<protocol::StatusRecord>(sensor.field);
        const std::string id = jsonString(cat({node, "_", sensor.object}));
        const std::string value = sensor.valueTemplate
                                      ? std::string(sensor.valueTemplate)
                                      : cat({"{{ value_json.", sensor.field, " }}"});
        std::string p;
        append(p, {"{\"name\":", jsonString(sensor.name), ",\"unique_id\":", id, ",\"object_id\":",
                   id, ",\"state_topic\":", jsonString(stateTopic(topicPrefix, cabinet.key)),
                   ",\"value_template\":", jsonString(value)});
        if (sensor.deviceClass)
            append(p, {",\"device_class\":", jsonString(sensor.deviceClass)});
        if (std::string_view(sensor.component) == "sensor") {
            p.append(",\"state_class\":\"measurement\"");
            // Home Assistant knows relative humidity as "%".
            if (field && !field->unit.symbol.empty())
                append(p, {",\"unit_of_measurement\":",
                           jsonString(field->unit.id == protocol::kRelativeHumidity.id
                                          ? std::string_view("%")
                                          : field->unit.symbol)});
        }
        if (sensor.diagnostic)
            p.append(",\"entity_category\":\"diagnostic\"");
        append(p,
               {",\"availability_topic\":", jsonString(availabilityTopic(topicPrefix, cabinet.key)),
                ",\"payload_available\":\"online\",\"payload_not_available\":\"offline\"",
                ",\"device\":", device, "}"});
        out.push_back({cat({kDiscoveryPrefix, "/", sensor.component, "/", node, "/", sensor.object,
                            "/config"}),
                       p, true});
    }
    return out;
}

} // namespace hq::fleet
