// A small portable pseudo-random generator (SplitMix64), so that a seed gives the same
// simulated cabinet on every platform and standard library.
#pragma once

#include <cstdint>

namespace hq::sim {

class SplitMix64 {
public:
    explicit SplitMix64(std::uint64_t seed) : state_(seed) {}
    std::uint64_t next() {
        std::uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
        z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
        z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
        return z ^ (z >> 31);
    }
    // 0 .. n-1 (n > 0)
    std::uint32_t below(std::uint32_t n) { return static_cast<std::uint32_t>(next() % n); }
    // lo .. hi inclusive
    int between(int lo, int hi) {
        return lo + static_cast<int>(below(static_cast<std::uint32_t>(hi - lo + 1)));
    }
    // true with probability 1/n
    bool oneIn(std::uint32_t n) { return below(n) == 0; }

private:
    std::uint64_t state_;
};

} // namespace hq::sim
