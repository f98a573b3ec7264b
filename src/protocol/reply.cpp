#include "protocol/reply.h"

#include <algorithm>
#include <cmath>

namespace hq::protocol {

namespace {

// Reads a report of any length as if it were zero-filled to 64 bytes.
class Bytes {
public:
    explicit Bytes(std::span<const std::uint8_t> d) : d_(d) {}
    std::uint8_t u8(std::size_t i) const { return i < d_.size() ? d_[i] : 0; }
    std::uint16_t u16(std::size_t i) const {
        return static_cast<std::uint16_t>(u8(i) | (u8(i + 1) << 8));
    }
    std::uint32_t u32(std::size_t i) const {
        return static_cast<std::uint32_t>(u16(i)) | (static_cast<std::uint32_t>(u16(i + 2)) << 16);
    }
    template <std::size_t N> std::array<std::uint8_t, N> arr(std::size_t i) const {
        std::array<std::uint8_t, N> a{};
        for (std::size_t k = 0; k < N; ++k)
            a[k] = u8(i + k);
        return a;
    }

private:
    std::span<const std::uint8_t> d_;
};

bool isBlankOrControl(char c) {
    return static_cast<unsigned char>(c) <= 0x20;
}

void appendUtf8(std::string& out, std::uint32_t cp) {
    if (cp < 0x80) {
        out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
        out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
        out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
        out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
        out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
}

// Code points of 0x80..0x9F in Windows-1252; the five unassigned bytes map to the C1 controls.
constexpr std::uint16_t kCp1252High[32] = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, 0x02C6, 0x2030, 0x0160,
    0x2039, 0x0152, 0x008D, 0x017D, 0x008F, 0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022,
    0x2013, 0x2014, 0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178};

} // namespace

ReplyReport makeReplyReport(std::span<const std::uint8_t> data) {
    ReplyReport r{};
    std::copy_n(data.begin(), std::min(data.size(), r.size()), r.begin());
    return r;
}

StatusRecord decodeStatusRecord(std::span<const std::uint8_t> data, FirmwareVersion firmware) {
    const Bytes b(data);
    StatusRecord s;
    s.aktoren = b.u8(1);
    s.fehler = b.u8(2);
    s.l1Ups = b.u16(3);
    s.tet = b.u8(6);
    s.ventile = b.u8(7);
    s.netzf = b.u16(8);
    s.t3 = b.u16(10);
    s.l1 = b.u16(12);
    s.t1 = b.u16(14);
    s.netErrors = b.u16(16);
    s.t1_2 = b.u16(18);
    s.okTimer = firmware.hasWideOkTimer() ? s.t1_2 : b.u8(5);
    s.t2_1 = b.u16(20);
    s.t2_2 = b.u16(22);
    s.status = b.u8(24);
    s.programmphase = b.u8(25);
    s.prog = b.u8(26);
    s.lIn = b.u8(27);
    s.hytRetO = b.u8(28);
    s.humidityTop = b.u16(29);
    s.temperatureTop = static_cast<std::int16_t>(b.u16(31));
    s.hytRetU = b.u8(33);
    s.humidityBottom = b.u16(34);
    s.temperatureBottom = static_cast<std::int16_t>(b.u16(36));
    s.cabinetAddress = b.arr<4>(38);
    s.secondAddress = b.arr<4>(42);
    s.intTimer = b.u16(46);
    return s;
}

ConfigRecord decodeConfigRecord(std::span<const std::uint8_t> data) {
    const Bytes b(data);
    ConfigRecord c;
    c.regenHumidity = b.u8(1);
    c.reduction1Humidity = b.u8(2);
    c.reduction2Humidity = b.u8(3);
    c.doorAlarmTime = b.u16(4);
    c.restartDelay = b.u16(6);
    c.extraTime1 = b.u16(8);
    c.showReturnAir = (b.u8(8) & 0x40) != 0;
    c.extraTime2 = b.u16(10);
    c.serialNumber = static_cast<std::int32_t>(b.u32(13));
    c.firmwareMinor = b.u8(17);
    c.firmwareMajor = b.u8(18);
    c.macAddress = b.arr<6>(21);
    c.returnAirMonitoring = b.u8(28);
    return c;
}

ClockRecord decodeClockRecord(std::span<const std::uint8_t> data) {
    const Bytes b(data);
    ClockRecord c;
    c.readStatus = b.u8(1);
    c.hours = b.u8(2);
    c.minutes = b.u8(3);
    c.seconds = b.u8(4);
    c.day = b.u8(5);
    c.month = b.u8(6);
    c.year = b.u8(7);
    return c;
}

I2cScanRecord decodeI2cScanRecord(std::span<const std::uint8_t> data) {
    const Bytes b(data);
    I2cScanRecord r;
    r.count = b.u8(1);
    // Only the addresses actually inside the report (at most bytes 2 to 63).
    const std::size_t end = std::min(data.size(), kReplyReportLength);
    const std::size_t present = end > 2 ? end - 2 : 0;
    const std::size_t n = std::min<std::size_t>({r.count, present, kMaxI2cAddresses});
    r.addresses.reserve(n);
    for (std::size_t i = 0; i < n; ++i)
        r.addresses.push_back(b.u8(2 + i));
    return r;
}

std::optional<std::string> extractWebImageVersionText(std::span<const std::uint8_t> text61) {
    std::string t(kWebImageTextLength, '\0');
    for (std::size_t i = 0; i < t.size() && i < text61.size(); ++i)
        t[i] = static_cast<char>(text61[i]);

    static constexpr std::string_view keyword = "Version_MPFS";
    const auto pos = t.find(keyword);
    if (pos == std::string::npos)
        return std::nullopt;
    // What follows the keyword, without the text's last character.
    std::string s1 = t.substr(pos + keyword.size());
    if (!s1.empty())
        s1.pop_back();
    // What follows the first "=", without the last character; without "=" all but the last.
    std::string s2;
    if (const auto eq = s1.find('='); eq != std::string::npos)
        s2 = s1.substr(eq + 1);
    else
        s2 = s1;
    if (!s2.empty())
        s2.pop_back();
    // Up to the first ";"; none means no version.
    std::string v;
    if (const auto semi = s2.find(';'); semi != std::string::npos)
        v = s2.substr(0, semi);
    const auto first = std::find_if_not(v.begin(), v.end(), isBlankOrControl);
    const auto last = std::find_if_not(v.rbegin(), v.rend(), isBlankOrControl).base();
    return first < last ? std::string(first, last) : std::string();
}

std::optional<double> parseWebImageVersionNumber(std::string_view versionText) {
    double n = 0;
    bool any = false;
    for (char c : versionText) {
        if (c == '.')
            continue;
        if (c < '0' || c > '9')
            return std::nullopt;
        n = n * 10 + (c - '0');
        any = true;
    }
    if (!any)
        return std::nullopt;
    return n / 1000.0;
}

std::optional<bool> WebImageVersion::atLeast(FirmwareVersion firmware) const {
    if (!version)
        return std::nullopt;
    return std::llround(*version * 1000.0) >= firmware.thousandths();
}

WebImageVersion decodeWebImageVersion(std::span<const std::uint8_t> data) {
    std::array<std::uint8_t, kWebImageTextLength> t{};
    for (std::size_t i = 0; i < t.size() && i + 1 < data.size(); ++i)
        t[i] = data[i + 1];
    WebImageVersion w;
    const auto zero = std::find(t.begin(), t.end(), std::uint8_t{0});
    w.text = windows1252ToUtf8(std::string_view(reinterpret_cast<const char*>(t.data()),
                                                static_cast<std::size_t>(zero - t.begin())));
    if (auto v = extractWebImageVersionText(t)) {
        w.version = parseWebImageVersionNumber(*v);
        w.versionText = windows1252ToUtf8(*v);
    }
    return w;
}

std::string ByteToBits(std::uint8_t value) {
    std::string s(8, '0');
    for (int i = 0; i < 8; ++i)
        if (value & (0x80 >> i))
            s[static_cast<std::size_t>(i)] = '1';
    return s;
}

std::string toHex2(std::uint8_t value) {
    static constexpr char digits[] = "0123456789ABCDEF";
    return {digits[value >> 4], digits[value & 0x0F]};
}

std::string dottedAddress(const std::array<std::uint8_t, 4>& a) {
    std::string s;
    s.reserve(15);
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (i)
            s.push_back('.');
        s += std::to_string(a[i]);
    }
    return s;
}

std::string macText(const std::array<std::uint8_t, 6>& a) {
    std::string s;
    for (std::size_t i = 0; i < a.size(); ++i) {
        if (i)
            s.push_back(':');
        s += toHex2(a[i]);
    }
    return s;
}

std::string windows1252ToUtf8(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    for (char ch : bytes) {
        const auto c = static_cast<unsigned char>(ch);
        if (c < 0x80)
            out.push_back(ch);
        else if (c < 0xA0)
            appendUtf8(out, kCp1252High[c - 0x80]);
        else
            appendUtf8(out, c);
    }
    return out;
}

} // namespace hq::protocol
