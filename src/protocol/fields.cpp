#include "protocol/fields.h"

#include <charconv>
#include <cmath>

namespace hq::protocol {

namespace {
FieldValue num(std::int64_t v) {
    return v;
}
} // namespace

std::vector<Field> recordFields(const StatusRecord& r) {
    return {
        {"aktoren", num(r.aktoren)},
        {"fehler", num(r.fehler)},
        {"l1Ups", num(r.l1Ups)},
        {"okTimer", num(r.okTimer)},
        {"tet", num(r.tet)},
        {"ventile", num(r.ventile)},
        {"netzf", num(r.netzf)},
        {"t3", num(r.t3)},
        {"l1", num(r.l1)},
        {"t1", num(r.t1)},
        {"netErrors", num(r.netErrors)},
        {"t1_2", num(r.t1_2)},
        {"t2_1", num(r.t2_1)},
        {"t2_2", num(r.t2_2)},
        {"status", num(r.status)},
        {"programmphase", num(r.programmphase)},
        {"prog", num(r.prog)},
        {"lIn", num(r.lIn)},
        {"hytRetO", num(r.hytRetO)},
        {"humidityTop", num(r.humidityTop)},
        {"temperatureTop", num(r.temperatureTop)},
        {"hytRetU", num(r.hytRetU)},
        {"humidityBottom", num(r.humidityBottom)},
        {"temperatureBottom", num(r.temperatureBottom)},
        {"cabinetAddress", dottedAddress(r.cabinetAddress)},
        {"secondAddress", dottedAddress(r.secondAddress)},
        {"intTimer", num(r.intTimer)},
    };
}

std::vector<Field> recordFields(const ConfigRecord& r) {
    return {
        {"regenHumidity", num(r.regenHumidity)},
        {"reduction1Humidity", num(r.reduction1Humidity)},
        {"reduction2Humidity", num(r.reduction2Humidity)},
        {"doorAlarmTime", num(r.doorAlarmTime)},
        {"restartDelay", num(r.restartDelay)},
        {"extraTime1", num(r.extraTime1)},
        {"showReturnAir", r.showReturnAir},
        {"extraTime2", num(r.extraTime2)},
        {"serialNumber", num(r.serialNumber)},
        {"firmwareMinor", num(r.firmwareMinor)},
        {"firmwareMajor", num(r.firmwareMajor)},
        {"macAddress", macText(r.macAddress)},
        {"returnAirMonitoring", num(r.returnAirMonitoring)},
    };
}

std::vector<Field> recordFields(const ClockRecord& r) {
    return {
        {"readStatus", num(r.readStatus)},
        {"hours", num(r.hours)},
        {"minutes", num(r.minutes)},
        {"seconds", num(r.seconds)},
        {"day", num(r.day)},
        {"month", num(r.month)},
        {"year", num(r.year)},
    };
}

std::vector<Field> recordFields(const I2cScanRecord& r) {
    std::vector<Field> f;
    f.reserve(2);
    f.push_back({"count", num(r.count)});
    f.push_back({"addresses", std::vector<std::int64_t>(r.addresses.begin(), r.addresses.end())});
    return f;
}

std::vector<Field> recordFields(const WebImageVersion& r) {
    std::vector<Field> f(3);
    f[0].name = "text";
    f[0].value = r.text;
    f[1].name = "versionText";
    if (r.versionText)
        f[1].value = *r.versionText;
    f[2].name = "version";
    if (r.version)
        f[2].value = *r.version;
    return f;
}

std::vector<Field> recordFields(const Record& r) {
    return std::visit(
        [](const auto& rec) -> std::vector<Field> {
            if constexpr (std::is_same_v<std::decay_t<decltype(rec)>, std::monostate>)
                return {};
            else
                return recordFields(rec);
        },
        r);
}

std::string_view recordName(const Record& r) {
    static constexpr std::string_view names[] = {
        "", "StatusRecord", "ConfigRecord", "WebImageVersion", "ClockRecord", "I2cScanRecord"};
    return names[r.index()];
}

std::string jsonString(std::string_view utf8) {
    std::string s = "\"";
    for (char ch : utf8) {
        const auto c = static_cast<unsigned char>(ch);
        switch (ch) {
        case '"':
            s += "\\\"";
            break;
        case '\\':
            s += "\\\\";
            break;
        case '\n':
            s += "\\n";
            break;
        case '\r':
            s += "\\r";
            break;
        case '\t':
            s += "\\t";
            break;
        default:
            if (c < 0x20) {
                static constexpr char hex[] = "0123456789abcdef";
                s += "\\u00";
                s += hex[c >> 4];
                s += hex[c & 0xF];
            } else {
                s += ch;
            }
        }
    }
    s += '"';
    return s;
}

std::string toJson(const FieldValue& v) {
    struct Visitor {
        std::string operator()(std::monostate) const { return "null"; }
        std::string operator()(std::int64_t i) const { return std::to_string(i); }
        std::string operator()(double d) const {
            if (!std::isfinite(d))
                return "null";
            char buf[32];
            const auto r = std::to_chars(buf, buf + sizeof buf, d);
            return std::string(buf, r.ptr);
        }
        std::string operator()(bool b) const { return b ? "true" : "false"; }
        std::string operator()(const std::string& s) const { return jsonString(s); }
        std::string operator()(const std::vector<std::int64_t>& a) const {
            std::string s = "[";
            for (std::size_t i = 0; i < a.size(); ++i) {
                if (i)
                    s += ',';
                s += std::to_string(a[i]);
            }
            return s + "]";
        }
    };
    return std::visit(Visitor{}, v);
}

std::string toJson(const DecodeResult& r) {
    std::string s = "{\"code\":" + std::to_string(r.code);
    s += ",\"pane\":";
    s += r.pane == Pane::UDPMemo ? "\"UDPMemo\"" : "\"txtMessage\"";
    s += ",\"clear\":";
    s += r.clearPane ? "true" : "false";
    s += ",\"lines\":[";
    for (std::size_t i = 0; i < r.lines.size(); ++i) {
        if (i)
            s += ',';
        s += jsonString(r.lines[i]);
    }
    s += "],\"followUp\":";
    if (r.followUp) {
        s += '[';
        const auto b = r.followUp->bytes();
        for (std::size_t i = 0; i < b.size(); ++i) {
            if (i)
                s += ',';
            s += std::to_string(b[i]);
        }
        s += ']';
    } else {
        s += "null";
    }
    s += ",\"firmwareVersion\":" + toJson(FieldValue(r.firmwareVersion.value()));
    s += ",\"recordType\":";
    s += r.ignored() ? "null" : jsonString(recordName(r.record));
    s += ",\"record\":";
    if (r.ignored()) {
        s += "null";
    } else {
        s += '{';
        bool first = true;
        for (const Field& f : recordFields(r.record)) {
            if (!first)
                s += ',';
            first = false;
            s += jsonString(f.name) + ':' + toJson(f.value);
        }
        s += '}';
    }
    return s + '}';
}

} // namespace hq::protocol
