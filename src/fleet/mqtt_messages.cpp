#include "fleet/mqtt_messages.h"

#include "cabinet/identity.h"
#include "history/archive_location.h"
#include "protocol/fields.h"
#include "protocol/record_table.h"

#include <charconv>
#include <chrono>
#include <cmath>
#include <cstdio>

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
    return history::KeyFolderName(key).toStdString();
}

std::string stateTopic(const std::string& prefix, const std::string& key) {
    return prefix + "/" + topicKey(key) + "/state";
}

std::string availabilityTopic(const std::string& prefix, const std::string& key) {
    return prefix + "/" + topicKey(key) + "/availability";
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
    std::string s = "{\"timeStamp\":\"" + isoUtcMs(utcMs) + "\"";
    s += ",\"sequence\":" + std::to_string(sequence);
    s += ",\"serial\":" + protocol::jsonString(cabinet.key);
    s += ",\"usbSerial\":" + protocol::jsonString(cabinet.usbSerial);
    s += ",\"firmwareVersion\":" +
         (cabinet.firmware ? protocol::jsonString(cabinet::firmwareVersionText(*cabinet.firmware))
                           : std::string("null"));
    s += ",\"doorOpen\":";
    s += record.doorOpen() ? "true" : "false";
    for (const auto& f : protocol::kStatusFields) {
        s += ",";
        s += protocol::jsonString(f.name);
        s += ":" + fieldJson(f, record);
    }
    s += ",\"units\":{";
    bool first = true;
    for (const auto& f : protocol::kStatusFields) {
        if (f.unit.symbol.empty())
            continue;
        s += first ? "" : ",";
        first = false;
        s += protocol::jsonString(f.name) + ":" + protocol::jsonString(f.unit.symbol);
    }
    return s + "}}";
}

std::vector<MqttMessage> discoveryMessages(const std::string& topicPrefix,
                                           const CabinetSnapshot& cabinet) {
    const std::string key = topicKey(cabinet.key);
    const std::string node = "hq3746_" + key;
    std::string device = "{\"identifiers\":[" + protocol::jsonString(node) + "]";
    device += ",\"name\":" + protocol::jsonString("HQ3746 " + cabinet.key);
    device += ",\"manufacturer\":\"KOV\",\"model\":\"HQ3746\"";
    if (cabinet.firmware)
        device += ",\"sw_version\":" +
                  protocol::jsonString(cabinet::firmwareVersionText(*cabinet.firmware));
    if (!cabinet.usbSerial.empty())
        device += ",\"serial_number\":" + protocol::jsonString(cabinet.usbSerial);
    device += "}";

    std::vector<MqttMessage> out;
    for (const Sensor& sensor : kSensors) {
        const auto* field = protocol::findField<protocol::StatusRecord>(sensor.field);
        std::string p = "{\"name\":" + protocol::jsonString(sensor.name);
        p += ",\"unique_id\":" + protocol::jsonString(node + "_" + sensor.object);
        p += ",\"object_id\":" + protocol::jsonString(node + "_" + sensor.object);
        p += ",\"state_topic\":" + protocol::jsonString(stateTopic(topicPrefix, cabinet.key));
        p += ",\"value_template\":" +
             protocol::jsonString(sensor.valueTemplate
                                      ? std::string(sensor.valueTemplate)
                                      : "{{ value_json." + std::string(sensor.field) + " }}");
        if (sensor.deviceClass)
            p += ",\"device_class\":" + protocol::jsonString(sensor.deviceClass);
        if (std::string_view(sensor.component) == "sensor") {
            p += ",\"state_class\":\"measurement\"";
            // Home Assistant knows relative humidity as "%".
            if (field && !field->unit.symbol.empty())
                p += ",\"unit_of_measurement\":" +
                     protocol::jsonString(field->unit.id == protocol::kRelativeHumidity.id
                                              ? std::string_view("%")
                                              : field->unit.symbol);
        }
        if (sensor.diagnostic)
            p += ",\"entity_category\":\"diagnostic\"";
        p += ",\"availability_topic\":" +
             protocol::jsonString(availabilityTopic(topicPrefix, cabinet.key));
        p += ",\"payload_available\":\"online\",\"payload_not_available\":\"offline\"";
        p += ",\"device\":" + device + "}";
        out.push_back({std::string(kDiscoveryPrefix) + "/" + sensor.component + "/" + node + "/" +
                           sensor.object + "/config",
                       p, true});
    }
    return out;
}

} // namespace hq::fleet
