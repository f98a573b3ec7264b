#include "protocol/command_frame.h"

#include <algorithm>
#include <ctime>

namespace hq::protocol {

std::optional<CommandFrame> CommandFrame::fromBytes(std::span<const std::uint8_t> bytes) {
    if (bytes.empty() || bytes.size() > kMaxFrameLength)
        return std::nullopt;
    CommandFrame f;
    std::copy(bytes.begin(), bytes.end(), f.bytes_.begin());
    f.size_ = static_cast<std::uint8_t>(bytes.size());
    return f;
}

namespace {
CommandFrame oneByte(std::uint8_t code) {
    const std::uint8_t b[1] = {code};
    return *CommandFrame::fromBytes(b);
}
} // namespace

std::optional<std::uint8_t> answeredBy(const CommandFrame& frame) {
    switch (frame.code()) {
    case command::kStatus:
    case command::kConfig:
    case command::kWebImageVersion:
    case command::kClockRead:
        return frame.code();
    default:
        return std::nullopt;
    }
}

CommandFrame statusRequest() {
    return oneByte(command::kStatus);
}
CommandFrame configRequest() {
    return oneByte(command::kConfig);
}
CommandFrame webImageVersionRequest() {
    return oneByte(command::kWebImageVersion);
}
CommandFrame clockReadRequest() {
    return oneByte(command::kClockRead);
}
CommandFrame dispLdrCommand() {
    return oneByte(command::kDispLdr);
}
CommandFrame wdtTestCommand() {
    return oneByte(command::kWdtTest);
}
CommandFrame bootloaderEntryCommand() {
    return oneByte(command::kBootloader);
}
CommandFrame controllerResetCommand() {
    return oneByte(command::kReset);
}

CommandFrame settingsWriteFrame(int doorAlarmMinutes, int restartDelayMinutes,
                                bool returnAirMonitoring) {
    constexpr int maxMinutes = 0xFFFF / 60;
    const int s4 = std::clamp(doorAlarmMinutes, 0, maxMinutes) * 60;
    const int s5 = std::clamp(restartDelayMinutes, 0, maxMinutes) * 60;
    const std::uint8_t b[14] = {command::kSettingsWrite,
                                50,
                                50,
                                30,
                                static_cast<std::uint8_t>(s4 % 256),
                                static_cast<std::uint8_t>(s4 / 256),
                                static_cast<std::uint8_t>(s5 % 256),
                                static_cast<std::uint8_t>(s5 / 256),
                                0,
                                0,
                                0,
                                0,
                                0,
                                static_cast<std::uint8_t>(returnAirMonitoring ? 0x01 : 0x02)};
    return *CommandFrame::fromBytes(b);
}

LocalDateTime localDateTimeAt(std::chrono::system_clock::time_point t) {
    const std::time_t tt = std::chrono::system_clock::to_time_t(t);
    std::tm tm{};
#if defined(_WIN32)
    localtime_s(&tm, &tt);
#else
    localtime_r(&tt, &tm);
#endif
    LocalDateTime d;
    d.year = tm.tm_year + 1900;
    d.month = tm.tm_mon + 1;
    d.day = tm.tm_mday;
    d.hour = tm.tm_hour;
    d.minute = tm.tm_min;
    d.second = std::min(tm.tm_sec, 59);
    d.weekday = tm.tm_wday;
    return d;
}

LocalDateTime localDateTimeNow() {
    return localDateTimeAt(std::chrono::system_clock::now());
}

std::optional<CommandFrame> clockSetFrame(const LocalDateTime& now) {
    const auto in = [](int v, int lo, int hi) { return v >= lo && v <= hi; };
    if (!in(now.year, 2000, 2099) || !in(now.month, 1, 12) || !in(now.day, 1, 31) ||
        !in(now.hour, 0, 23) || !in(now.minute, 0, 59) || !in(now.second, 0, 59) ||
        !in(now.weekday, 0, 6))
        return std::nullopt;
    const auto bcd = [](int v) { return static_cast<std::uint8_t>(ToBcd(v)); };
    const std::uint8_t b[18] = {command::kClockSet,
                                0x20,
                                0x01,
                                bcd(now.second),
                                bcd(now.minute),
                                bcd(now.hour),
                                bcd(now.day),
                                static_cast<std::uint8_t>(now.weekday),
                                bcd(now.month),
                                bcd(now.year - 2000),
                                1,
                                1,
                                1,
                                1,
                                1,
                                1,
                                1,
                                0};
    return CommandFrame::fromBytes(b);
}

CommandFrame serialNumberWriteFrame(std::int32_t serialNumber) {
    const auto u = static_cast<std::uint32_t>(serialNumber);
    const std::uint8_t b[5] = {command::kSerialNumberWrite, static_cast<std::uint8_t>(u),
                               static_cast<std::uint8_t>(u >> 8),
                               static_cast<std::uint8_t>(u >> 16),
                               static_cast<std::uint8_t>(u >> 24)};
    return *CommandFrame::fromBytes(b);
}

int ToBcd(int value) {
    return (value / 10) * 16 + (value % 10);
}

} // namespace hq::protocol
