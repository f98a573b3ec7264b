// Field access by name: every record as (field name, value) pairs in table order, and a JSON
// rendering of a decode result for tools.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "protocol/decoder.h"
#include "protocol/record_table.h"

namespace hq::protocol {

struct Field {
    std::string_view name; // the record table's field name: "aktoren", "okTimer", ...
    FieldValue value;
};

// The fields of the record's table in table order (protocol/record_table.h). Addresses are
// dotted text, the MAC address colon-separated hex, I2C addresses a list.
std::vector<Field> recordFields(const StatusRecord& r);
std::vector<Field> recordFields(const ConfigRecord& r);
std::vector<Field> recordFields(const ClockRecord& r);
std::vector<Field> recordFields(const I2cScanRecord& r);
std::vector<Field> recordFields(const WebImageVersion& r);
std::vector<Field> recordFields(const Record& r); // empty for std::monostate

// "StatusRecord", "ConfigRecord", "WebImageVersion", "ClockRecord", "I2cScanRecord" or "".
std::string_view recordName(const Record& r);

// One decode result as a JSON object:
// {"code":N,"pane":"txtMessage"|"UDPMemo","clear":b,"lines":[...],"followUp":[bytes]|null,
//  "firmwareVersion":x,"recordType":"...","record":{fields}|null}
std::string toJson(const DecodeResult& r);
std::string toJson(const FieldValue& v);
// A JSON string literal of UTF-8 text.
std::string jsonString(std::string_view utf8);

} // namespace hq::protocol
