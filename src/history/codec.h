// Integer column codec of the stored history (docs/history.md, "Column encodings"): each column
// of a block is written in whichever of five encodings is shortest for it. Standard library only.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace hq::history {

enum class Encoding : std::uint8_t {
    Constant = 0,    // every value the same
    Packed = 1,      // base + scale * u, u in `width` bits
    DeltaPacked = 2, // the first value, then the differences packed
    Runs = 3,        // (value, repeat count) pairs
    DeltaRuns = 4,   // the first value, then the differences as runs
};

// Byte-level helpers shared by the file formats.
void putVarint(std::string& out, std::uint64_t v);
inline std::uint64_t zigZag(std::int64_t v) {
    return (std::uint64_t(v) << 1) ^ std::uint64_t(v >> 63);
}
inline std::int64_t unZigZag(std::uint64_t v) {
    return std::int64_t(v >> 1) ^ -std::int64_t(v & 1);
}
void putU16(std::string& out, std::uint16_t v);
void putU32(std::string& out, std::uint32_t v);
void putU64(std::string& out, std::uint64_t v);
std::uint16_t getU16(const std::uint8_t* p);
std::uint32_t getU32(const std::uint8_t* p);
std::uint64_t getU64(const std::uint8_t* p);

// Reads little-endian fields and varints from a byte range; `ok` turns false on the first read
// past the end or malformed varint, and every later read returns 0.
class ByteReader {
public:
    explicit ByteReader(std::span<const std::uint8_t> bytes)
        : p_(bytes.data()), end_(p_ + bytes.size()) {}
    std::uint64_t varint();
    std::int64_t signedVarint() { return unZigZag(varint()); }
    std::uint8_t u8();
    std::uint16_t u16();
    std::uint32_t u32();
    // `n` bytes, or an empty span (and !ok) when fewer remain.
    std::span<const std::uint8_t> bytes(std::size_t n);
    std::size_t remaining() const { return std::size_t(end_ - p_); }
    bool ok() const { return ok_; }
    bool atEnd() const { return p_ == end_; }
    void fail() {
        ok_ = false;
        p_ = end_;
    }

private:
    const std::uint8_t* p_;
    const std::uint8_t* end_;
    bool ok_ = true;
};

// Appends the column's shortest encoding to `out`.
void encodeColumn(std::span<const std::int64_t> values, std::string& out);
// The encoding EncodeColumn picks (for statistics and tests).
Encoding chooseEncoding(std::span<const std::int64_t> values);
// Appends the column in one given encoding (tests compare all five).
void encodeColumnAs(Encoding e, std::span<const std::int64_t> values, std::string& out);
// Decodes exactly `out.size()` values from all of `bytes`; false on malformed input (a wrong
// tag, too few or too many bytes, runs that do not add up).
bool decodeColumn(std::span<const std::uint8_t> bytes, std::span<std::int64_t> out);

} // namespace hq::history
