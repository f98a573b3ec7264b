#include "protocol/decoder.h"

#include "protocol/record_table.h"

#include <charconv>
#include <utility>

namespace hq::protocol {

namespace {

template <typename T> void appendNumber(std::string& s, T value) {
    char buf[24];
    const auto r = std::to_chars(buf, buf + sizeof buf, value);
    s.append(buf, r.ptr);
}

template <typename T> std::string line(std::string_view label, T value) {
    std::string s;
    s.reserve(label.size() + 8);
    s.append(label);
    appendNumber(s, value);
    return s;
}

std::string text(std::string_view label, const std::string& value) {
    std::string s;
    s.reserve(label.size() + value.size());
    s.append(label);
    s.append(value);
    return s;
}

} // namespace

void statusLines(const StatusRecord& s, std::vector<std::string>& lines) {
    for (const auto& f : kStatusFields) {
        if (f.shown == Shown::None)
            continue;
        const FieldValue v = fieldValue(f, s);
        switch (f.shown) {
        case Shown::Decimal:
            lines.push_back(line(f.paneLabel, std::get<std::int64_t>(v)));
            break;
        case Shown::Bits:
            lines.push_back(text(f.paneLabel,
                                 ByteToBits(static_cast<std::uint8_t>(std::get<std::int64_t>(v)))));
            break;
        case Shown::Hex:
            lines.push_back(
                text(f.paneLabel, toHex2(static_cast<std::uint8_t>(std::get<std::int64_t>(v)))));
            break;
        case Shown::Dotted:
            lines.push_back(text(f.paneLabel, std::get<std::string>(v)));
            break;
        case Shown::None:
            break;
        }
    }
}

void i2cScanLines(const I2cScanRecord& r, std::vector<std::string>& lines) {
    if (r.count == 0) {
        lines.emplace_back("KEine I2C Geräte gefunden");
        return;
    }
    lines.emplace_back("I2C Geräte gefunden");
    lines.emplace_back("     8Bit       7Bit     8Bit Dec.");
    for (std::size_t i = 0; i < r.addresses.size(); ++i) {
        const std::uint8_t a = r.addresses[i];
        std::string s = " ";
        appendNumber(s, i + 1);
        s += ": 0x" + toHex2(a) + " Write 0x" + toHex2(static_cast<std::uint8_t>(a >> 1)) + " I2C ";
        appendNumber(s, static_cast<int>(a));
        s += " Dez. ";
        lines.push_back(std::move(s));
    }
}

ReplyDecoder::ReplyDecoder(TimeSource timeSource) : timeSource_(std::move(timeSource)) {}

DecodeResult ReplyDecoder::decode(std::span<const std::uint8_t> data) {
    DecodeResult r;
    decode(data, r);
    return r;
}

void ReplyDecoder::decode(std::span<const std::uint8_t> data, DecodeResult& out) {
    out.code = data.empty() ? 0 : data[0];
    out.record = std::monostate{};
    out.pane = Pane::txtMessage;
    out.clearPane = false;
    out.lines.clear();
    out.followUp.reset();
    out.timeStamp = {};

    switch (out.code) {
    case reply::kStatus: {
        out.clearPane = true;
        out.timeStamp = timeSource_ ? timeSource_() : std::chrono::system_clock::now();
        const StatusRecord& s =
            out.record.emplace<StatusRecord>(decodeStatusRecord(data, firmware_));
        out.lines.reserve(20);
        statusLines(s, out.lines);
        break;
    }
    case reply::kConfig: {
        const ConfigRecord& c = out.record.emplace<ConfigRecord>(decodeConfigRecord(data));
        firmware_ = c.firmwareVersion();
        out.clearPane = true;
        out.lines.emplace_back("WR_T6");
        out.followUp = webImageVersionRequest();
        break;
    }
    case reply::kWebImageVersion: {
        const WebImageVersion& w = out.record.emplace<WebImageVersion>(decodeWebImageVersion(data));
        out.pane = Pane::UDPMemo;
        out.lines.push_back(w.text);
        break;
    }
    case reply::kClock: {
        const ClockRecord& c = out.record.emplace<ClockRecord>(decodeClockRecord(data));
        out.lines.push_back(line("Read RTC: ", c.readStatus));
        break;
    }
    case reply::kI2cScan: {
        const I2cScanRecord& i = out.record.emplace<I2cScanRecord>(decodeI2cScanRecord(data));
        i2cScanLines(i, out.lines);
        break;
    }
    default:
        break;
    }
    out.firmwareVersion = firmware_;
}

} // namespace hq::protocol
