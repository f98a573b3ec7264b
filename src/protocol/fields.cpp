#include "protocol/fields.h"

#include <charconv>
#include <cmath>

namespace hq::protocol {

namespace {
template <class R> std::vector<Field> fieldsFromTable(const R& r) {
    std::vector<Field> fields;
    fields.reserve(fieldsOf<R>().size());
    for (const auto& f : fieldsOf<R>())
        fields.push_back({f.name, fieldValue(f, r)});
    return fields;
}
} // namespace

std::vector<Field> recordFields(const StatusRecord& r) {
    return fieldsFromTable(r);
}
std::vector<Field> recordFields(const ConfigRecord& r) {
    return fieldsFromTable(r);
}
std::vector<Field> recordFields(const ClockRecord& r) {
    return fieldsFromTable(r);
}
std::vector<Field> recordFields(const I2cScanRecord& r) {
    return fieldsFromTable(r);
}
std::vector<Field> recordFields(const WebImageVersion& r) {
    return fieldsFromTable(r);
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
    static constexpr std::string_view kNames[] = {
        "", "StatusRecord", "ConfigRecord", "WebImageVersion", "ClockRecord", "I2cScanRecord"};
    return kNames[r.index()];
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
                static constexpr char kHex[] = "0123456789abcdef";
                s += "\\u00";
                s += kHex[c >> 4];
                s += kHex[c & 0xF];
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
