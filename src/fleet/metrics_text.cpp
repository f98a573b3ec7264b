#include "fleet/metrics_text.h"

#include "cabinet/identity.h"

#include "protocol/record_table.h"

#include <charconv>
#include <cmath>
#include <functional>
#include <initializer_list>
#include <optional>
#include <set>

namespace hq::fleet {
namespace {

using protocol::StatusRecord;

// The length of the UTF-8 sequence at s[i], or 0 when it is not one (overlong forms,
// surrogates and values above U+10FFFF are not).
std::size_t utf8SequenceLength(std::string_view s, std::size_t i) {
    const auto byte = [&](std::size_t k) { return static_cast<unsigned char>(s[k]); };
    const unsigned char b = byte(i);
    if (b < 0x80)
        return 1;
    std::size_t n = 0;
    unsigned char low = 0x80, high = 0xBF; // the range of the second byte
    if (b >= 0xC2 && b <= 0xDF) {
        n = 2;
    } else if (b >= 0xE0 && b <= 0xEF) {
        n = 3;
        if (b == 0xE0)
            low = 0xA0;
        else if (b == 0xED)
            high = 0x9F;
    } else if (b >= 0xF0 && b <= 0xF4) {
        n = 4;
        if (b == 0xF0)
            low = 0x90;
        else if (b == 0xF4)
            high = 0x8F;
    } else {
        return 0;
    }
    if (s.size() - i < n || byte(i + 1) < low || byte(i + 1) > high)
        return 0;
    for (std::size_t k = 2; k < n; ++k)
        if (byte(i + k) < 0x80 || byte(i + k) > 0xBF)
            return 0;
    return n;
}

void appendNumber(std::string& out, double value) {
    char buf[32];
    const auto r = std::to_chars(buf, buf + sizeof buf, value);
    out.append(buf, r.ptr);
}

void appendNumber(std::string& out, std::uint64_t value) {
    char buf[24];
    const auto r = std::to_chars(buf, buf + sizeof buf, value);
    out.append(buf, r.ptr);
}

struct Label {
    std::string_view name;
    std::string_view value;
};

// One sample line: name{serial="...",more...} value
template <class Number>
void appendSample(std::string& out, std::string_view name, const CabinetSnapshot& cabinet,
                  std::initializer_list<Label> more, Number value) {
    out += name;
    out += "{serial=\"";
    out += escapeLabelValue(cabinet.key);
    out += '"';
    for (const Label& l : more) {
        out += ',';
        out += l.name;
        out += "=\"";
        out += escapeLabelValue(l.value);
        out += '"';
    }
    out += "} ";
    appendNumber(out, value);
    out += '\n';
}

// A status record field in its unit, by its name in the record table.
std::optional<double> fieldInUnit(const StatusRecord& record, std::string_view field) {
    const auto* spec = protocol::findField<StatusRecord>(field);
    if (!spec)
        return std::nullopt;
    const std::optional<double> v = protocol::scaledValue(*spec, record);
    if (!v || !std::isfinite(*v))
        return std::nullopt;
    return v;
}

struct Family {
    std::string_view name;
    std::string_view type;
    std::string_view help;
    // Appends the family's samples of one cabinet to out (or nothing).
    std::function<void(std::string& out, const CabinetSnapshot&, std::int64_t nowUtcMs)> samples;
};

// The two sensors of a measured quantity: fieldTop and fieldBottom of the record table.
Family sensorFamily(std::string_view name, std::string_view help, std::string_view fieldTop,
                    std::string_view fieldBottom) {
    return {name, "gauge", help, [=](std::string& out, const CabinetSnapshot& c, std::int64_t) {
                if (!c.last)
                    return;
                if (const auto v = fieldInUnit(*c.last, fieldTop))
                    appendSample(out, name, c, {{"sensor", "top"}}, *v);
                if (const auto v = fieldInUnit(*c.last, fieldBottom))
                    appendSample(out, name, c, {{"sensor", "bottom"}}, *v);
            }};
}

const std::vector<Family>& families() {
    static const std::vector<Family> kFamilies = {
        {"hq3746_up", "gauge", "1 when the cabinet is attached and answering, else 0.",
         [](std::string& out, const CabinetSnapshot& c, std::int64_t) {
             appendSample(out, "hq3746_up", c, {}, c.attached && c.answering ? 1.0 : 0.0);
         }},
        sensorFamily("hq3746_humidity_percent",
                     "Relative humidity at the sensor, in percent r.H., from the latest status "
                     "record.",
                     "humidityTop", "humidityBottom"),
        sensorFamily(
            "hq3746_temperature_celsius",
            "Temperature at the sensor, in degrees Celsius, from the latest status record.",
            "temperatureTop", "temperatureBottom"),
        {"hq3746_door_open", "gauge",
         "1 when the door is open, else 0, from the latest status record.",
         [](std::string& out, const CabinetSnapshot& c, std::int64_t) {
             if (c.last)
                 appendSample(out, "hq3746_door_open", c, {}, c.last->doorOpen() ? 1.0 : 0.0);
         }},
        {"hq3746_error_number", "gauge",
         "The cabinet's error number (0 = none), from the latest status record.",
         [](std::string& out, const CabinetSnapshot& c, std::int64_t) {
             if (!c.last)
                 return;
             if (const auto v = fieldInUnit(*c.last, "fehler"))
                 appendSample(out, "hq3746_error_number", c, {}, *v);
         }},
        {"hq3746_firmware_info", "gauge",
         "Always 1; the labels tell the cabinet's firmware version and USB serial number.",
         [](std::string& out, const CabinetSnapshot& c, std::int64_t) {
             if (!c.firmware)
                 return;
             const std::string version = cabinet::firmwareVersionText(*c.firmware);
             appendSample(out, "hq3746_firmware_info", c,
                          {{"version", version}, {"usb_serial", c.usbSerial}}, 1.0);
         }},
        {"hq3746_seconds_since_last_record", "gauge",
         "Seconds since the time stamp of the latest status record.",
         [](std::string& out, const CabinetSnapshot& c, std::int64_t nowUtcMs) {
             if (!c.last)
                 return;
             // The difference of any two 64-bit times fits an unsigned 64-bit number.
             const std::uint64_t ms = nowUtcMs > c.lastUtcMs
                                          ? static_cast<std::uint64_t>(nowUtcMs) -
                                                static_cast<std::uint64_t>(c.lastUtcMs)
                                          : 0;
             appendSample(out, "hq3746_seconds_since_last_record", c, {},
                          static_cast<double>(ms) / 1000.0);
         }},
        {"hq3746_records_total", "counter",
         "Status records received from the cabinet since the process started.",
         [](std::string& out, const CabinetSnapshot& c, std::int64_t) {
             appendSample(out, "hq3746_records_total", c, {}, c.records);
         }},
        {"hq3746_mqtt_connected", "gauge",
         "1 when the publisher is connected to the MQTT broker, else 0.",
         [](std::string& out, const CabinetSnapshot& c, std::int64_t) {
             if (c.broker)
                 appendSample(out, "hq3746_mqtt_connected", c, {}, c.broker->connected ? 1.0 : 0.0);
         }},
        {"hq3746_mqtt_backlog_records", "gauge",
         "Status records stored but not yet acknowledged by the MQTT broker.",
         [](std::string& out, const CabinetSnapshot& c, std::int64_t) {
             if (c.broker)
                 appendSample(out, "hq3746_mqtt_backlog_records", c, {}, c.broker->backlog);
         }},
    };
    return kFamilies;
}

} // namespace

std::string escapeLabelValue(std::string_view value) {
    std::string out;
    out.reserve(value.size());
    for (std::size_t i = 0; i < value.size();) {
        const char c = value[i];
        if (c == '\\') {
            out += "\\\\";
        } else if (c == '"') {
            out += "\\\"";
        } else if (c == '\n') {
            out += "\\n";
        } else if (const std::size_t n = utf8SequenceLength(value, i); n > 0) {
            out.append(value.substr(i, n));
            i += n;
            continue;
        } else {
            out += "\xEF\xBF\xBD"; // U+FFFD for a byte that does not start a UTF-8 sequence
        }
        ++i;
    }
    return out;
}

std::string metricsText(const std::vector<CabinetSnapshot>& cabinets, std::int64_t nowUtcMs) {
    std::vector<const CabinetSnapshot*> unique;
    std::set<std::string_view> keys;
    for (const CabinetSnapshot& c : cabinets)
        if (keys.insert(c.key).second)
            unique.push_back(&c);

    std::string page;
    std::string samples;
    for (const Family& f : families()) {
        samples.clear();
        for (const CabinetSnapshot* c : unique)
            f.samples(samples, *c, nowUtcMs);
        if (samples.empty())
            continue;
        page += "# HELP ";
        page += f.name;
        page += ' ';
        page += f.help;
        page += "\n# TYPE ";
        page += f.name;
        page += ' ';
        page += f.type;
        page += '\n';
        page += samples;
    }
    return page;
}

} // namespace hq::fleet
