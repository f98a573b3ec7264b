// Reply records: the input reports the cabinet sends, decoded field by field. All multi-byte
// values are little-endian. Reports shorter than 64 data bytes read as if zero-filled.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

namespace hq::protocol {

// The 64 data bytes after the report ID of one input report; byte 0 is the reply code.
inline constexpr std::size_t kReplyReportLength = 64;
using ReplyReport = std::array<std::uint8_t, kReplyReportLength>;

// Copies up to 64 bytes; bytes the input lacks read as zero, bytes beyond 64 are ignored.
ReplyReport makeReplyReport(std::span<const std::uint8_t> data);

namespace reply {
inline constexpr std::uint8_t kStatus = 0x76;          // "v"
inline constexpr std::uint8_t kConfig = 0x40;          // "@"
inline constexpr std::uint8_t kWebImageVersion = 0x75; // "u"
inline constexpr std::uint8_t kClock = 0x33;           // "3"
inline constexpr std::uint8_t kI2cScan = 0x3A;         // ":"
} // namespace reply

// The cabinet's firmware version as major.minor (minor in thousandths: 1.003).
// Zero until the first ConfigRecord.
struct FirmwareVersion {
    int major = 0;
    int minor = 0;
    // major + minor / 1000
    double value() const { return major + minor / 1000.0; }
    // major * 1000 + minor, for exact comparisons
    int thousandths() const { return major * 1000 + minor; }
    // From 1.003 on, okTimer is the u16 at bytes 18 to 19; before, the u8 at byte 5.
    bool hasWideOkTimer() const { return thousandths() >= 1003; }
    friend bool operator==(const FirmwareVersion&, const FirmwareVersion&) = default;
};

// Reply "v".
struct StatusRecord {
    std::uint8_t aktoren = 0;                     // byte 1, bit field
    std::uint8_t fehler = 0;                      // byte 2, error number, 0 = none
    std::uint16_t l1Ups = 0;                      // bytes 3-4
    std::uint16_t okTimer = 0;                    // byte 5 (before 1.003) or bytes 18-19
    std::uint8_t tet = 0;                         // byte 6
    std::uint8_t ventile = 0;                     // byte 7, bit field
    std::uint16_t netzf = 0;                      // bytes 8-9
    std::uint16_t t3 = 0;                         // bytes 10-11, hundredths
    std::uint16_t l1 = 0;                         // bytes 12-13, tenths ("Motor %")
    std::uint16_t t1 = 0;                         // bytes 14-15
    std::uint16_t netErrors = 0;                  // bytes 16-17
    std::uint16_t t1_2 = 0;                       // bytes 18-19
    std::uint16_t t2_1 = 0;                       // bytes 20-21
    std::uint16_t t2_2 = 0;                       // bytes 22-23
    std::uint8_t status = 0;                      // byte 24, bit 0 = door open
    std::uint8_t programmphase = 0;               // byte 25
    std::uint8_t prog = 0;                        // byte 26, bit field
    std::uint8_t lIn = 0;                         // byte 27
    std::uint8_t hytRetO = 0;                     // byte 28
    std::uint16_t humidityTop = 0;                // bytes 29-30, tenths of % r.H.
    std::int16_t temperatureTop = 0;              // bytes 31-32, tenths of °C, two's complement
    std::uint8_t hytRetU = 0;                     // byte 33
    std::uint16_t humidityBottom = 0;             // bytes 34-35, tenths of % r.H.
    std::int16_t temperatureBottom = 0;           // bytes 36-37, tenths of °C, two's complement
    std::array<std::uint8_t, 4> cabinetAddress{}; // bytes 38-41, IPv4 in display order
    std::array<std::uint8_t, 4> secondAddress{};  // bytes 42-45
    std::uint16_t intTimer = 0;                   // bytes 46-47

    bool doorOpen() const { return (status & 0x01) != 0; }
    friend bool operator==(const StatusRecord&, const StatusRecord&) = default;
};

// Reply "@".
struct ConfigRecord {
    std::uint8_t regenHumidity = 0;           // byte 1, tenths of % r.H.
    std::uint8_t reduction1Humidity = 0;      // byte 2
    std::uint8_t reduction2Humidity = 0;      // byte 3
    std::uint16_t doorAlarmTime = 0;          // bytes 4-5, seconds
    std::uint16_t restartDelay = 0;           // bytes 6-7, seconds
    std::uint16_t extraTime1 = 0;             // bytes 8-9, seconds
    bool showReturnAir = false;               // bit 6 of byte 8
    std::uint16_t extraTime2 = 0;             // bytes 10-11, seconds
    std::int32_t serialNumber = 0;            // bytes 13-16, two's complement
    std::uint8_t firmwareMinor = 0;           // byte 17
    std::uint8_t firmwareMajor = 0;           // byte 18
    std::array<std::uint8_t, 6> macAddress{}; // bytes 21-26
    std::uint8_t returnAirMonitoring = 0;     // byte 28, 1 = on, anything else = off

    bool returnAirMonitoringOn() const { return returnAirMonitoring == 1; }
    FirmwareVersion firmwareVersion() const { return {firmwareMajor, firmwareMinor}; }
    friend bool operator==(const ConfigRecord&, const ConfigRecord&) = default;
};

// Reply "3": the cabinet's clock, plain binary.
struct ClockRecord {
    std::uint8_t readStatus = 0; // byte 1
    std::uint8_t hours = 0;      // byte 2
    std::uint8_t minutes = 0;    // byte 3
    std::uint8_t seconds = 0;    // byte 4
    std::uint8_t day = 0;        // byte 5
    std::uint8_t month = 0;      // byte 6
    std::uint8_t year = 0;       // byte 7, year - 2000
    friend bool operator==(const ClockRecord&, const ClockRecord&) = default;
};

// Reply ":": the devices found on the cabinet's I2C bus.
struct I2cScanRecord {
    std::uint8_t count = 0; // as reported (byte 1)
    // 8-bit write addresses (bytes 2..); only those inside the report, at most 62.
    std::vector<std::uint8_t> addresses;
    friend bool operator==(const I2cScanRecord&, const I2cScanRecord&) = default;
};

// Reply "u": the version of the cabinet's web page image.
struct WebImageVersion {
    // Bytes 1 to 61 up to the first zero byte, as UTF-8 (the cabinet sends Windows-1252).
    std::string text;
    // The version written with dots ("1.002"), trimmed, as UTF-8; absent when the text holds
    // no "Version_MPFS" keyword.
    std::optional<std::string> versionText;
    // The version text without its dots, read as a decimal number, divided by 1000; absent
    // when there is no version text or it is not a number.
    std::optional<double> version;

    // What the monitor's web image label shows: "MPFS: " + version text; absent with the text.
    std::optional<std::string> labelText() const {
        if (!versionText)
            return std::nullopt;
        return "MPFS: " + *versionText;
    }
    // Whether the image is at least as new as the firmware. Compared in thousandths, the unit
    // both versions are written in, so that 1.128 equals 1.128 whatever the binary fractions
    // make of it. Absent when the version is not a number (nothing to compare).
    std::optional<bool> atLeast(FirmwareVersion firmware) const;
    friend bool operator==(const WebImageVersion&, const WebImageVersion&) = default;
};

inline constexpr std::size_t kWebImageTextLength = 61;
inline constexpr std::size_t kMaxI2cAddresses = 62;

// Field decoders. Each reads a report of any length; missing bytes read as zero.
StatusRecord decodeStatusRecord(std::span<const std::uint8_t> data, FirmwareVersion firmware);
ConfigRecord decodeConfigRecord(std::span<const std::uint8_t> data);
ClockRecord decodeClockRecord(std::span<const std::uint8_t> data);
I2cScanRecord decodeI2cScanRecord(std::span<const std::uint8_t> data);
WebImageVersion decodeWebImageVersion(std::span<const std::uint8_t> data);

// The version part of a 61-byte web image text (zero bytes included), or nothing when the
// keyword "Version_MPFS" is missing. Bytes are returned as they stand (Windows-1252).
std::optional<std::string> extractWebImageVersionText(std::span<const std::uint8_t> text61);
// "1.002" -> 1.002; nothing when the text without dots is empty or holds a non-digit.
std::optional<double> parseWebImageVersionNumber(std::string_view versionText);

// Eight binary digits, most significant bit first: 5 -> "00000101".
std::string ByteToBits(std::uint8_t value);
// Two upper-case hexadecimal digits: 0x0A -> "0A".
std::string toHex2(std::uint8_t value);
// "192.168.1.20"
std::string dottedAddress(const std::array<std::uint8_t, 4>& a);
// "00:04:A3:37:46:01"
std::string macText(const std::array<std::uint8_t, 6>& a);

} // namespace hq::protocol
