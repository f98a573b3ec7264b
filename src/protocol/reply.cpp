#include "protocol/reply.h"

#include "core/windows1252.h"
#include "protocol/record_table.h"

#include <algorithm>
#include <cmath>

namespace hq::protocol {

namespace {

bool isBlankOrControl(char c) {
    return static_cast<unsigned char>(c) <= 0x20;
}

} // namespace

ReplyReport makeReplyReport(std::span<const std::uint8_t> data) {
    ReplyReport r{};
    std::copy_n(data.begin(), std::min(data.size(), r.size()), r.begin());
    return r;
}

StatusRecord decodeStatusRecord(std::span<const std::uint8_t> data, FirmwareVersion firmware) {
    return decodeFields<StatusRecord>(data, firmware);
}

ConfigRecord decodeConfigRecord(std::span<const std::uint8_t> data) {
    return decodeFields<ConfigRecord>(data);
}

ClockRecord decodeClockRecord(std::span<const std::uint8_t> data) {
    return decodeFields<ClockRecord>(data);
}

I2cScanRecord decodeI2cScanRecord(std::span<const std::uint8_t> data) {
    return decodeFields<I2cScanRecord>(data);
}

std::optional<std::string> extractWebImageVersionText(std::span<const std::uint8_t> text61) {
    std::string t(kWebImageTextLength, '\0');
    for (std::size_t i = 0; i < t.size() && i < text61.size(); ++i)
        t[i] = static_cast<char>(text61[i]);

    static constexpr std::string_view kKeyword = "Version_MPFS";
    const auto pos = t.find(kKeyword);
    if (pos == std::string::npos)
        return std::nullopt;
    // What follows the keyword, without the text's last character.
    std::string s1 = t.substr(pos + kKeyword.size());
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
    constexpr const auto& textField = kWebImageVersionFields[0];
    std::array<std::uint8_t, textField.width> t{};
    for (std::size_t i = 0; i < t.size() && textField.offset + i < data.size(); ++i)
        t[i] = data[textField.offset + i];
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
    static constexpr char kDigits[] = "0123456789ABCDEF";
    return {kDigits[value >> 4], kDigits[value & 0x0F]};
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

} // namespace hq::protocol
