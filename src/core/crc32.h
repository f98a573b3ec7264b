// CRC-32 as zlib's crc32() computes it (IEEE 802.3 polynomial, reflected, initial and final
// value 0xFFFFFFFF). Standard library only; eight bytes per step (slicing by 8).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace hq {

namespace detail {
inline constexpr std::array<std::array<std::uint32_t, 256>, 8> kCrc32Tables = [] {
    std::array<std::array<std::uint32_t, 256>, 8> t{};
    for (std::uint32_t i = 0; i < 256; ++i) {
        std::uint32_t c = i;
        for (int k = 0; k < 8; ++k)
            c = (c & 1) ? 0xEDB88320u ^ (c >> 1) : c >> 1;
        t[0][i] = c;
    }
    for (std::size_t s = 1; s < 8; ++s)
        for (std::size_t i = 0; i < 256; ++i)
            t[s][i] = (t[s - 1][i] >> 8) ^ t[0][t[s - 1][i] & 0xFF];
    return t;
}();
} // namespace detail

// Continues `crc` (the result of an earlier call, 0 to start) over the bytes.
inline std::uint32_t crc32(const void* data, std::size_t size, std::uint32_t crc = 0) {
    const auto& t = detail::kCrc32Tables;
    const auto* p = static_cast<const std::uint8_t*>(data);
    crc = ~crc;
    while (size >= 8) {
        const std::uint32_t lo = crc ^ (std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 |
                                        std::uint32_t(p[2]) << 16 | std::uint32_t(p[3]) << 24);
        crc = t[7][lo & 0xFF] ^ t[6][(lo >> 8) & 0xFF] ^ t[5][(lo >> 16) & 0xFF] ^ t[4][lo >> 24] ^
              t[3][p[4]] ^ t[2][p[5]] ^ t[1][p[6]] ^ t[0][p[7]];
        p += 8;
        size -= 8;
    }
    while (size-- > 0)
        crc = t[0][(crc ^ *p++) & 0xFF] ^ (crc >> 8);
    return ~crc;
}

} // namespace hq
