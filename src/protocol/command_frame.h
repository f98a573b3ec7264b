// Command frames sent to the cabinet controller: one command code byte followed by that
// command's parameter bytes. Frames are byte strings of explicit length; zero bytes inside a
// frame are ordinary parameter bytes.
#pragma once

#include <array>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <initializer_list>
#include <optional>
#include <span>

namespace hq::protocol {

// Command codes (byte 0 of a frame).
namespace command {
inline constexpr std::uint8_t kStatus = 0x76;            // "v", answered by a StatusRecord
inline constexpr std::uint8_t kConfig = 0x40;            // "@", answered by a ConfigRecord
inline constexpr std::uint8_t kWebImageVersion = 0x75;   // "u", answered by a WebImageVersion
inline constexpr std::uint8_t kSettingsWrite = 0x41;     // "A", 14 bytes
inline constexpr std::uint8_t kClockRead = 0x33;         // "3", answered by a ClockRecord
inline constexpr std::uint8_t kClockSet = 0x32;          // "2", 18 bytes
inline constexpr std::uint8_t kSerialNumberWrite = 0x78; // "x", 5 bytes
inline constexpr std::uint8_t kDispLdr = 0x77;           // "w"
inline constexpr std::uint8_t kWdtTest = 0xFD;
inline constexpr std::uint8_t kBootloader = 0xFE;
inline constexpr std::uint8_t kReset = 0xFF;
} // namespace command

inline constexpr std::size_t kMaxFrameLength = 18;

// 1 to 18 bytes, command code first.
class CommandFrame {
public:
    // The bytes must number 1 to 18; anything else yields no frame.
    static std::optional<CommandFrame> fromBytes(std::span<const std::uint8_t> bytes);

    std::uint8_t code() const { return bytes_[0]; }
    std::size_t size() const { return size_; }
    std::span<const std::uint8_t> bytes() const { return {bytes_.data(), size_}; }

    friend bool operator==(const CommandFrame& a, const CommandFrame& b) {
        return a.size_ == b.size_ && a.bytes_ == b.bytes_;
    }

private:
    CommandFrame() = default;
    std::array<std::uint8_t, kMaxFrameLength> bytes_{};
    std::uint8_t size_ = 0;
};

// The reply code with which the cabinet answers a frame. Only the four requests "v", "@", "u"
// and "3" are answered (each with a reply of its own code), and only they leave the cabinet
// unchanged, so only they may be asked again when an answer is lost. Every other command
// changes the cabinet and is not answered: no value.
std::optional<std::uint8_t> answeredBy(const CommandFrame& frame);

// One-byte frames.
CommandFrame statusRequest();          // "v"
CommandFrame configRequest();          // "@"
CommandFrame webImageVersionRequest(); // "u"
CommandFrame clockReadRequest();       // "3"
CommandFrame dispLdrCommand();         // "w"
CommandFrame wdtTestCommand();         // 0xFD
CommandFrame bootloaderEntryCommand(); // 0xFE
CommandFrame controllerResetCommand(); // 0xFF

// Settings write "A": door-alarm time and restart delay in minutes (sent in seconds, minutes
// times 60, little-endian), return-air monitoring on (0x01) or off (0x02). Minutes are clamped
// to 0..1092 so that the seconds fit into 16 bits.
CommandFrame settingsWriteFrame(int doorAlarmMinutes, int restartDelayMinutes,
                                bool returnAirMonitoring);

// One reading of the local date and time.
struct LocalDateTime {
    int year = 2000; // e.g. 2024
    int month = 1;   // 1..12
    int day = 1;     // 1..31
    int hour = 0;    // 0..23
    int minute = 0;  // 0..59
    int second = 0;  // 0..59 (a leap second 60 is sent as 59)
    int weekday = 6; // 0 Sunday, 1 Monday, ... 6 Saturday
};

// Date and time of the given instant in the local time zone, taken in one conversion so that
// date and time of day always belong together.
LocalDateTime localDateTimeAt(std::chrono::system_clock::time_point t);
// localDateTimeAt(now).
LocalDateTime localDateTimeNow();

// Clock set "2" from one date-time reading (seconds, minutes, hours, day BCD; weekday binary;
// month, year - 2000 BCD). The cabinet's clock holds years 2000 to 2099 only: any other year,
// or a field out of its range, yields no frame.
std::optional<CommandFrame> clockSetFrame(const LocalDateTime& now);

// Serial number write "x": the 32-bit two's-complement value, least significant byte first.
CommandFrame serialNumberWriteFrame(std::int32_t serialNumber);

// (value div 10) * 16 + (value mod 10), division truncating toward zero; meant for 0 to 99.
int ToBcd(int value);

} // namespace hq::protocol
