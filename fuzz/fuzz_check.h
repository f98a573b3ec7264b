// What the fuzz targets assert: a property that does not hold ends the run, so that libFuzzer
// keeps the input as a crash.
#pragma once

#include <cstdlib>

namespace hq::fuzz {

inline void check(bool condition) {
    if (!condition)
        std::abort();
}

} // namespace hq::fuzz
