// The metrics page of the site tools: what Prometheus scrapes from GET /metrics, in its text
// exposition format 0.0.4. Standard library only.
#pragma once

#include "fleet/cabinet_snapshot.h"

#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace hq::fleet {

// The page for these cabinets at nowUtcMs (UTC milliseconds). Every series carries the cabinet's
// key as its `serial` label; the families come one after the other, each with its # HELP and
// # TYPE lines, the cabinets within a family in the given order:
//   hq3746_up                          1 when attached and answering, else 0 (every cabinet)
//   hq3746_humidity_percent            sensor="top" and "bottom" (cabinets with a record)
//   hq3746_temperature_celsius         sensor="top" and "bottom" (cabinets with a record)
//   hq3746_door_open                   0 or 1 (cabinets with a record)
//   hq3746_error_number                the record's error number, 0 = none (with a record)
//   hq3746_firmware_info               1, with version="1.003" and usb_serial (firmware known)
//   hq3746_seconds_since_last_record   never negative (cabinets with a record)
//   hq3746_records_total               counter of status records (every cabinet)
//   hq3746_mqtt_connected              0 or 1 (cabinets with snapshot.broker)
//   hq3746_mqtt_backlog_records        records not yet acknowledged (with snapshot.broker)
// A family without any series is left out. A later cabinet with the key of an earlier one is
// left out (two series with the same labels would be refused by the scraper). Label values are
// escaped, and bytes that are not UTF-8 become U+FFFD; no value is NaN or infinite.
std::string metricsText(const std::vector<CabinetSnapshot>& cabinets, std::int64_t nowUtcMs);

// A label value as written between the quotes: \ " and line feed escaped, bytes that are not
// UTF-8 replaced by U+FFFD.
std::string escapeLabelValue(std::string_view value);

} // namespace hq::fleet
