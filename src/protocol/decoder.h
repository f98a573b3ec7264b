// The reply decoder: turns one input report into its record and into what the monitor window
// does with it (pane lines, clearing, follow-up command). The window only applies the result.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <variant>
#include <vector>

#include "protocol/command_frame.h"
#include "protocol/reply.h"

namespace hq::protocol {

// The message pane a reply writes to.
enum class Pane {
    txtMessage, // the monitor's message pane
    UDPMemo,    // the network pane
};

// No record (unknown reply code) or one of the five records.
using Record = std::variant<std::monostate, StatusRecord, ConfigRecord, WebImageVersion,
                            ClockRecord, I2cScanRecord>;

struct DecodeResult {
    std::uint8_t code = 0; // byte 0 of the report
    Record record;         // std::monostate: the report is ignored, nothing else is set
    Pane pane = Pane::txtMessage;
    bool clearPane = false;               // clear the pane before adding the lines
    std::vector<std::string> lines;       // UTF-8, in order
    std::optional<CommandFrame> followUp; // to send at once ("u" after every ConfigRecord)
    FirmwareVersion firmwareVersion;      // in force after this report
    std::chrono::system_clock::time_point timeStamp; // StatusRecord: when it was decoded

    bool ignored() const { return std::holds_alternative<std::monostate>(record); }
};

class ReplyDecoder {
public:
    using TimeSource = std::function<std::chrono::system_clock::time_point()>;

    // timeSource stamps status records; empty means the system clock.
    explicit ReplyDecoder(TimeSource timeSource = {});

    // Decodes the data bytes after the report ID (any length: missing bytes read as zero,
    // bytes beyond 64 are ignored).
    DecodeResult decode(std::span<const std::uint8_t> data);
    // The same, reusing out's storage (for callers that decode many reports).
    void decode(std::span<const std::uint8_t> data, DecodeResult& out);

    // 0 until the first ConfigRecord, then the version of the latest one.
    FirmwareVersion firmwareVersion() const { return firmware_; }

private:
    TimeSource timeSource_;
    FirmwareVersion firmware_;
};

// The 20 message-pane lines of a status record.
void statusLines(const StatusRecord& s, std::vector<std::string>& lines);
// The message-pane lines of an I2C scan record.
void i2cScanLines(const I2cScanRecord& r, std::vector<std::string>& lines);

} // namespace hq::protocol
