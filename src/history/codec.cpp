#include "history/codec.h"

#include <algorithm>
#include <bit>
#include <numeric>

namespace hq::history {

void putVarint(std::string& out, std::uint64_t v) {
    while (v >= 0x80) {
        out.push_back(char(std::uint8_t(v) | 0x80));
        v >>= 7;
    }
    out.push_back(char(v));
}

void putU16(std::string& out, std::uint16_t v) {
    out.push_back(char(v & 0xFF));
    out.push_back(char(v >> 8));
}
void putU32(std::string& out, std::uint32_t v) {
    for (int i = 0; i < 4; ++i)
        out.push_back(char((v >> (8 * i)) & 0xFF));
}
void putU64(std::string& out, std::uint64_t v) {
    for (int i = 0; i < 8; ++i)
        out.push_back(char((v >> (8 * i)) & 0xFF));
}
std::uint16_t getU16(const std::uint8_t* p) {
    return std::uint16_t(p[0] | p[1] << 8);
}
std::uint32_t getU32(const std::uint8_t* p) {
    return std::uint32_t(p[0]) | std::uint32_t(p[1]) << 8 | std::uint32_t(p[2]) << 16 |
           std::uint32_t(p[3]) << 24;
}
std::uint64_t getU64(const std::uint8_t* p) {
    return std::uint64_t(getU32(p)) | std::uint64_t(getU32(p + 4)) << 32;
}

std::uint64_t ByteReader::varint() {
    std::uint64_t v = 0;
    for (int shift = 0; shift < 64; shift += 7) {
        if (p_ == end_) {
            fail();
            return 0;
        }
        const std::uint8_t b = *p_++;
        if (shift == 63 && b > 1) { // more than 64 bits
            fail();
            return 0;
        }
        v |= std::uint64_t(b & 0x7F) << shift;
        if (!(b & 0x80))
            return v;
    }
    fail();
    return 0;
}

std::uint8_t ByteReader::u8() {
    if (end_ - p_ < 1) {
        fail();
        return 0;
    }
    return *p_++;
}
std::uint16_t ByteReader::u16() {
    if (end_ - p_ < 2) {
        fail();
        return 0;
    }
    const std::uint16_t v = getU16(p_);
    p_ += 2;
    return v;
}
std::uint32_t ByteReader::u32() {
    if (end_ - p_ < 4) {
        fail();
        return 0;
    }
    const std::uint32_t v = getU32(p_);
    p_ += 4;
    return v;
}
std::span<const std::uint8_t> ByteReader::bytes(std::size_t n) {
    if (std::size_t(end_ - p_) < n) {
        fail();
        return {};
    }
    const std::span<const std::uint8_t> s(p_, n);
    p_ += n;
    return s;
}

namespace {

std::size_t varintSize(std::uint64_t v) {
    std::size_t n = 1;
    while (v >= 0x80) {
        v >>= 7;
        ++n;
    }
    return n;
}

int bitsFor(std::uint64_t v) {
    return v == 0 ? 0 : 64 - std::countl_zero(v);
}

// Frame of reference over a sequence: base, common step and bit width.
struct Frame {
    std::int64_t base = 0;
    std::uint64_t scale = 1;
    int width = 0;
    std::size_t bytes(std::size_t n) const {
        return varintSize(zigZag(base)) + varintSize(scale) + 1 + (n * std::size_t(width) + 7) / 8;
    }
};

// Differences are taken modulo 2^64.
std::int64_t diff(std::int64_t a, std::int64_t b) {
    return std::int64_t(std::uint64_t(a) - std::uint64_t(b));
}
std::int64_t add(std::int64_t a, std::int64_t b) {
    return std::int64_t(std::uint64_t(a) + std::uint64_t(b));
}

template <class Get> Frame frameOf(std::size_t n, Get get) {
    Frame f;
    if (n == 0)
        return f;
    std::int64_t lo = get(0);
    for (std::size_t i = 1; i < n; ++i)
        lo = std::min(lo, get(i));
    std::uint64_t g = 0, hi = 0;
    for (std::size_t i = 0; i < n; ++i) {
        const std::uint64_t u = std::uint64_t(get(i)) - std::uint64_t(lo);
        g = std::gcd(g, u);
        hi = std::max(hi, u);
    }
    f.base = lo;
    f.scale = g == 0 ? 1 : g;
    f.width = bitsFor(hi / f.scale);
    return f;
}

class BitWriter {
public:
    explicit BitWriter(std::string& out) : out_(out) {}
    void put(std::uint64_t v, int width) {
        if (width == 0)
            return;
        if (width < 64)
            v &= (std::uint64_t{1} << width) - 1;
        // Fill the pending byte, then whole bytes.
        while (width > 0) {
            const int room = 8 - used_;
            const int take = std::min(room, width);
            acc_ |= std::uint8_t((v & ((1u << take) - 1)) << used_);
            used_ += take;
            width -= take;
            v = take == 64 ? 0 : v >> take;
            if (used_ == 8) {
                out_.push_back(char(acc_));
                acc_ = 0;
                used_ = 0;
            }
        }
    }
    void finish() {
        if (used_ > 0)
            out_.push_back(char(acc_));
        acc_ = 0;
        used_ = 0;
    }

private:
    std::string& out_;
    std::uint8_t acc_ = 0;
    int used_ = 0;
};

class BitReader {
public:
    BitReader(const std::uint8_t* p, std::size_t n) : p_(p), n_(n) {}
    std::uint64_t get(int width) {
        while (have_ < width && have_ <= 56 && pos_ < n_) {
            buf_ |= std::uint64_t(p_[pos_++]) << have_;
            have_ += 8;
        }
        if (width <= have_) {
            const std::uint64_t v = width == 64 ? buf_ : buf_ & ((std::uint64_t{1} << width) - 1);
            buf_ = width == 64 ? 0 : buf_ >> width;
            have_ -= width;
            return v;
        }
        if (width <= 32)
            return 0; // past the end (callers check the length first)
        // A width above 56 bits: two halves.
        const std::uint64_t lo = get(32);
        return lo | get(width - 32) << 32;
    }

private:
    const std::uint8_t* p_;
    std::size_t n_;
    std::size_t pos_ = 0;
    std::uint64_t buf_ = 0;
    int have_ = 0;
};

void putFrame(std::string& out, const Frame& f) {
    putVarint(out, zigZag(f.base));
    putVarint(out, f.scale);
    out.push_back(char(f.width));
}

template <class Get> void putPacked(std::string& out, const Frame& f, std::size_t n, Get get) {
    putFrame(out, f);
    BitWriter w(out);
    for (std::size_t i = 0; i < n; ++i)
        w.put((std::uint64_t(get(i)) - std::uint64_t(f.base)) / f.scale, f.width);
    w.finish();
}

template <class Get> std::size_t runCount(std::size_t n, Get get) {
    std::size_t runs = 0;
    for (std::size_t i = 0; i < n; ++i)
        runs += i == 0 || get(i) != get(i - 1);
    return runs;
}

template <class Get> std::size_t runsBytes(std::size_t n, Get get) {
    std::size_t bytes = 0, runs = 0;
    std::int64_t prev = 0;
    for (std::size_t i = 0; i < n;) {
        std::size_t j = i + 1;
        while (j < n && get(j) == get(i))
            ++j;
        bytes += varintSize(zigZag(diff(get(i), prev))) + varintSize(j - i);
        prev = get(i);
        ++runs;
        i = j;
    }
    return varintSize(runs) + bytes;
}

template <class Get> void putRuns(std::string& out, std::size_t n, Get get) {
    putVarint(out, runCount(n, get));
    std::int64_t prev = 0;
    for (std::size_t i = 0; i < n;) {
        std::size_t j = i + 1;
        while (j < n && get(j) == get(i))
            ++j;
        putVarint(out, zigZag(diff(get(i), prev)));
        putVarint(out, j - i);
        prev = get(i);
        i = j;
    }
}

struct Sizes {
    std::size_t size[5];
};

Sizes sizesOf(std::span<const std::int64_t> v) {
    const std::size_t n = v.size();
    auto value = [&](std::size_t i) { return v[i]; };
    auto delta = [&](std::size_t i) { return diff(v[i + 1], v[i]); };
    const std::size_t nd = n > 0 ? n - 1 : 0;
    Sizes s{};
    const bool constant =
        std::all_of(v.begin(), v.end(), [&](std::int64_t x) { return x == v[0]; });
    const std::size_t first = n > 0 ? varintSize(zigZag(v[0])) : 1;
    s.size[0] = constant ? 1 + first : SIZE_MAX;
    s.size[1] = 1 + frameOf(n, value).bytes(n);
    s.size[2] = 1 + first + frameOf(nd, delta).bytes(nd);
    s.size[3] = 1 + runsBytes(n, value);
    s.size[4] = 1 + first + runsBytes(nd, delta);
    return s;
}

} // namespace

Encoding chooseEncoding(std::span<const std::int64_t> values) {
    const Sizes s = sizesOf(values);
    int best = 0;
    for (int e = 1; e < 5; ++e)
        if (s.size[e] < s.size[best])
            best = e;
    return Encoding(best);
}

void encodeColumnAs(Encoding e, std::span<const std::int64_t> v, std::string& out) {
    const std::size_t n = v.size();
    auto value = [&](std::size_t i) { return v[i]; };
    auto delta = [&](std::size_t i) { return diff(v[i + 1], v[i]); };
    const std::size_t nd = n > 0 ? n - 1 : 0;
    out.push_back(char(e));
    switch (e) {
    case Encoding::Constant:
        putVarint(out, zigZag(n > 0 ? v[0] : 0));
        return;
    case Encoding::Packed:
        putPacked(out, frameOf(n, value), n, value);
        return;
    case Encoding::DeltaPacked:
        putVarint(out, zigZag(n > 0 ? v[0] : 0));
        putPacked(out, frameOf(nd, delta), nd, delta);
        return;
    case Encoding::Runs:
        putRuns(out, n, value);
        return;
    case Encoding::DeltaRuns:
        putVarint(out, zigZag(n > 0 ? v[0] : 0));
        putRuns(out, nd, delta);
        return;
    }
}

void encodeColumn(std::span<const std::int64_t> values, std::string& out) {
    encodeColumnAs(chooseEncoding(values), values, out);
}

namespace {

bool readPacked(ByteReader& r, std::span<std::int64_t> out) {
    const std::int64_t base = r.signedVarint();
    const std::uint64_t scale = r.varint();
    const int width = r.u8();
    if (!r.ok() || width > 64 || scale == 0)
        return false;
    const std::size_t n = out.size();
    const std::size_t need = (n * std::size_t(width) + 7) / 8;
    if (width > 0 && n > (r.remaining() * 8) / std::size_t(width) + 1)
        return false;
    const std::span<const std::uint8_t> bits = r.bytes(need);
    if (!r.ok())
        return false;
    BitReader br(bits.data(), bits.size());
    for (std::size_t i = 0; i < n; ++i)
        out[i] = add(base, std::int64_t(br.get(width) * scale));
    return true;
}

bool readRuns(ByteReader& r, std::span<std::int64_t> out) {
    const std::uint64_t runs = r.varint();
    if (!r.ok() || runs > out.size())
        return false;
    std::size_t at = 0;
    std::int64_t value = 0;
    for (std::uint64_t k = 0; k < runs; ++k) {
        value = add(value, r.signedVarint());
        const std::uint64_t len = r.varint();
        if (!r.ok() || len == 0 || len > out.size() - at)
            return false;
        std::fill_n(out.begin() + std::ptrdiff_t(at), len, value);
        at += std::size_t(len);
    }
    return at == out.size();
}

void integrate(std::int64_t first, std::span<std::int64_t> out) {
    // out[1..] hold the differences on entry.
    out[0] = first;
    for (std::size_t i = 1; i < out.size(); ++i)
        out[i] = add(out[i - 1], out[i]);
}

} // namespace

bool decodeColumn(std::span<const std::uint8_t> bytes, std::span<std::int64_t> out) {
    ByteReader r(bytes);
    const std::uint8_t tag = r.u8();
    if (!r.ok())
        return false;
    const std::size_t n = out.size();
    bool good = false;
    switch (Encoding(tag)) {
    case Encoding::Constant: {
        const std::int64_t v = r.signedVarint();
        std::fill(out.begin(), out.end(), v);
        good = r.ok();
        break;
    }
    case Encoding::Packed:
        good = readPacked(r, out);
        break;
    case Encoding::DeltaPacked:
    case Encoding::DeltaRuns: {
        const std::int64_t first = r.signedVarint();
        if (!r.ok())
            return false;
        if (n == 0)
            return false;
        const std::span<std::int64_t> deltas = out.subspan(1);
        good = Encoding(tag) == Encoding::DeltaPacked ? readPacked(r, deltas) : readRuns(r, deltas);
        if (good)
            integrate(first, out);
        break;
    }
    case Encoding::Runs:
        good = readRuns(r, out);
        break;
    default:
        return false;
    }
    return good && r.ok() && r.atEnd();
}

} // namespace hq::history
