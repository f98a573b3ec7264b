// Windows-1252 ("ANSI") text, the code page of the cabinet's texts, the language files and the
// design's captions: Latin-1 with 0x80..0x9F mapped to the typographic characters of the
// Windows code page. The five bytes Windows leaves undefined (0x81, 0x8D, 0x8F, 0x90, 0x9D)
// map to the C1 control characters of the same value, as MultiByteToWideChar does.
#pragma once

#include <array>
#include <cstdint>
#include <string>
#include <string_view>

namespace hq {

// Unicode code points of the bytes 0x80..0x9F.
inline constexpr std::array<char16_t, 32> kWindows1252High = {
    0x20AC, 0x0081, 0x201A, 0x0192, 0x201E, 0x2026, 0x2020, 0x2021, // 80..87
    0x02C6, 0x2030, 0x0160, 0x2039, 0x0152, 0x008D, 0x017D, 0x008F, // 88..8F
    0x0090, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014, // 90..97
    0x02DC, 0x2122, 0x0161, 0x203A, 0x0153, 0x009D, 0x017E, 0x0178, // 98..9F
};

// The Unicode code point of one Windows-1252 byte.
constexpr char16_t windows1252CodePoint(unsigned char byte) {
    return byte >= 0x80 && byte <= 0x9F ? kWindows1252High[byte - 0x80] : char16_t(byte);
}

// The Windows-1252 byte of a code point, or none ('?' by the caller's choice).
constexpr int windows1252Byte(char16_t codePoint) {
    if (codePoint < 0x80 || (codePoint >= 0xA0 && codePoint <= 0xFF))
        return codePoint;
    for (std::size_t i = 0; i < kWindows1252High.size(); ++i)
        if (kWindows1252High[i] == codePoint)
            return int(0x80 + i);
    return -1;
}

// Windows-1252 bytes to UTF-8.
inline std::string windows1252ToUtf8(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size());
    for (char ch : bytes) {
        const char16_t cp = windows1252CodePoint(static_cast<unsigned char>(ch));
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
    return out;
}

} // namespace hq
