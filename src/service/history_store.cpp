#include "service/history_store.h"

#include <algorithm>
#include <cmath>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace hq::service {

namespace {
constexpr std::size_t kMask = HistoryStore::kChunkRecords - 1;
constexpr std::size_t kB1 = std::size_t{1} << HistoryStore::kBlock1Shift;
constexpr std::size_t kB2 = std::size_t{1} << HistoryStore::kBlock2Shift;
} // namespace

HistoryStore::HistoryStore(const std::array<SeriesEncoding, kSeriesCount>& encodings)
    : encodings_(encodings) {
    for (auto& e : encodings_)
        if (e.divisor == 0)
            e.divisor = 1;
}

HistoryStore::~HistoryStore() = default;

void HistoryStore::clear() {
    chunks_.clear();
    size_ = 0;
    clamped_ = 0;
}

std::int64_t HistoryStore::append(std::int64_t utcMs, const RawSample& sample) {
    if (size_ > 0) {
        const std::int64_t last = lastTime();
        if (utcMs < last) {
            utcMs = last;
            ++clamped_;
        }
    }
    const std::size_t at = size_ & kMask;
    if (at == 0 && (size_ >> kChunkShift) == chunks_.size()) {
        // Default-initialised: pages are touched only as records arrive.
        chunks_.push_back(std::unique_ptr<Chunk>(new Chunk));
    }
    Chunk& c = *chunks_.back();
    c.time[at] = utcMs;
    const std::size_t b1 = at >> kBlock1Shift;
    const std::size_t b2 = at >> kBlock2Shift;
    const bool new1 = (at & (kB1 - 1)) == 0;
    const bool new2 = (at & (kB2 - 1)) == 0;
    const bool newAll = at == 0;
    const auto off1 = std::uint8_t(at & (kB1 - 1));
    const auto off2 = std::uint16_t(at);
    for (int s = 0; s < kSeriesCount; ++s) {
        const std::uint16_t v = sample[std::size_t(s)];
        c.value[s][at] = v;
        // Strict comparisons keep the first record holding an extreme.
        if (new1) {
            c.min1[s][b1] = c.max1[s][b1] = v;
            c.minAt1[s][b1] = c.maxAt1[s][b1] = 0;
        } else {
            const bool lo = v<c.min1[s][b1], hi = v> c.max1[s][b1];
            c.min1[s][b1] = lo ? v : c.min1[s][b1];
            c.minAt1[s][b1] = lo ? off1 : c.minAt1[s][b1];
            c.max1[s][b1] = hi ? v : c.max1[s][b1];
            c.maxAt1[s][b1] = hi ? off1 : c.maxAt1[s][b1];
        }
        if (new2) {
            c.min2[s][b2] = c.max2[s][b2] = v;
            c.minAt2[s][b2] = c.maxAt2[s][b2] = off2;
        } else {
            const bool lo = v<c.min2[s][b2], hi = v> c.max2[s][b2];
            c.min2[s][b2] = lo ? v : c.min2[s][b2];
            c.minAt2[s][b2] = lo ? off2 : c.minAt2[s][b2];
            c.max2[s][b2] = hi ? v : c.max2[s][b2];
            c.maxAt2[s][b2] = hi ? off2 : c.maxAt2[s][b2];
        }
        if (newAll) {
            c.minAll[s] = c.maxAll[s] = v;
        } else {
            c.minAll[s] = std::min(c.minAll[s], v);
            c.maxAll[s] = std::max(c.maxAll[s], v);
        }
    }
    ++size_;
    return utcMs;
}

RawSample HistoryStore::sampleAt(std::size_t i) const {
    RawSample r{};
    for (int s = 0; s < kSeriesCount; ++s)
        r[std::size_t(s)] = rawAt(s, i);
    return r;
}

std::size_t HistoryStore::lowerBound(double timeMs) const {
    if (size_ == 0)
        return 0;
    // Find the chunk first (its first time stamp), then search inside it.
    std::size_t lo = 0, hi = chunks_.size();
    while (hi - lo > 1) {
        const std::size_t mid = (lo + hi) / 2;
        if (double(chunks_[mid]->time[0]) < timeMs)
            lo = mid;
        else
            hi = mid;
    }
    const std::size_t fill = lo + 1 == chunks_.size() ? size_ - (lo << kChunkShift) : kChunkRecords;
    const std::int64_t* t = chunks_[lo]->time;
    const std::int64_t* p =
        std::partition_point(t, t + fill, [timeMs](std::int64_t v) { return double(v) < timeMs; });
    return (lo << kChunkShift) + std::size_t(p - t);
}

void HistoryStore::rangeInChunk(const Chunk& c, std::size_t fill, int s, std::size_t lb,
                                std::size_t le, std::uint16_t& mn, std::uint16_t& mx) const {
    if (lb == 0 && le == fill) {
        mn = std::min(mn, c.minAll[s]);
        mx = std::max(mx, c.maxAll[s]);
        return;
    }
    const std::uint16_t* v = c.value[s];
    auto raw = [&](std::size_t a, std::size_t b) {
        std::uint16_t lmn = mn, lmx = mx;
        for (std::size_t i = a; i < b; ++i) {
            lmn = std::min(lmn, v[i]);
            lmx = std::max(lmx, v[i]);
        }
        mn = lmn;
        mx = lmx;
    };
    auto level1 = [&](std::size_t a, std::size_t b) { // block indices
        std::uint16_t lmn = mn, lmx = mx;
        for (std::size_t i = a; i < b; ++i) {
            lmn = std::min(lmn, c.min1[s][i]);
            lmx = std::max(lmx, c.max1[s][i]);
        }
        mn = lmn;
        mx = lmx;
    };
    // Raw values up to the next 64-record boundary.
    std::size_t head = std::min(le, (lb + kB1 - 1) & ~(kB1 - 1));
    if (le - lb < kB1 * 2) {
        raw(lb, le);
        return;
    }
    raw(lb, head);
    lb = head;
    // 64-blocks up to the next 4096 boundary.
    std::size_t head2 = std::min(le & ~(kB1 - 1), (lb + kB2 - 1) & ~(kB2 - 1));
    level1(lb >> kBlock1Shift, head2 >> kBlock1Shift);
    lb = head2;
    // Whole 4096-blocks.
    while (lb + kB2 <= le) {
        const std::size_t b = lb >> kBlock2Shift;
        mn = std::min(mn, c.min2[s][b]);
        mx = std::max(mx, c.max2[s][b]);
        lb += kB2;
    }
    // Tail: 64-blocks, then raw values.
    const std::size_t tail1 = le & ~(kB1 - 1);
    if (tail1 > lb) {
        level1(lb >> kBlock1Shift, tail1 >> kBlock1Shift);
        lb = tail1;
    }
    raw(lb, le);
}

RawRange HistoryStore::rawRange(int series, std::size_t begin, std::size_t end) const {
    RawRange r;
    end = std::min(end, size_);
    if (begin >= end || series < 0 || series >= kSeriesCount)
        return r;
    std::uint16_t mn = 0xFFFF, mx = 0;
    std::size_t i = begin;
    while (i < end) {
        const std::size_t ci = i >> kChunkShift;
        const std::size_t base = ci << kChunkShift;
        const std::size_t fill = ci + 1 == chunks_.size() ? size_ - base : kChunkRecords;
        const std::size_t le = std::min(end - base, fill);
        rangeInChunk(*chunks_[ci], fill, series, i - base, le, mn, mx);
        i = base + le;
    }
    r.min = mn;
    r.max = mx;
    r.valid = true;
    return r;
}

std::size_t HistoryStore::findCode(int s, std::size_t begin, std::size_t end, std::uint16_t code,
                                   bool isMin) const {
    end = std::min(end, size_);
    std::size_t i = begin;
    // A block can hold the code only if the code lies in its [min, max].
    auto holds = [&](std::uint16_t mn, std::uint16_t mx) {
        return isMin ? mn <= code : mx >= code;
    };
    while (i < end) {
        const Chunk& c = *chunks_[i >> kChunkShift];
        const std::size_t base = i & ~kMask;
        const std::size_t at = i - base;
        if ((at & (kB2 - 1)) == 0 && i + kB2 <= end) {
            const std::size_t b = at >> kBlock2Shift;
            if (!holds(c.min2[s][b], c.max2[s][b])) {
                i += kB2;
                continue;
            }
        }
        if ((at & (kB1 - 1)) == 0 && i + kB1 <= end) {
            const std::size_t b = at >> kBlock1Shift;
            if (!holds(c.min1[s][b], c.max1[s][b])) {
                i += kB1;
                continue;
            }
        }
        if (c.value[s][at] == code)
            return i;
        ++i;
    }
    return end;
}

namespace {
// Minimum of `lo` and maximum of `hi` over n entries. Codes are compared as signed values with
// the top bit flipped (same order), which the compiler turns into SIMD min/max on any x86-64.
inline void reduce(const std::uint16_t* lo, const std::uint16_t* hi, std::size_t n,
                   std::uint16_t& mn, std::uint16_t& mx) {
    std::int16_t a = INT16_MAX, b = INT16_MIN;
    for (std::size_t k = 0; k < n; ++k) {
        a = std::min(a, std::int16_t(lo[k] ^ 0x8000u));
        b = std::max(b, std::int16_t(hi[k] ^ 0x8000u));
    }
    mn = std::uint16_t(std::uint16_t(a) ^ 0x8000u);
    mx = std::uint16_t(std::uint16_t(b) ^ 0x8000u);
}

// Index of the first entry equal to `code`, which the caller knows to be there. Eight entries
// are compared at a time; the loads stay inside the chunk (another array always follows).
inline std::size_t findFirst(const std::uint16_t* p, std::uint16_t code) {
#if defined(__SSE2__)
    const __m128i key = _mm_set1_epi16(std::int16_t(code));
    for (std::size_t k = 0;; k += 8) {
        const __m128i v = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + k));
        const int mask = _mm_movemask_epi8(_mm_cmpeq_epi16(v, key));
        if (mask != 0)
            return k + std::size_t(__builtin_ctz(unsigned(mask))) / 2;
    }
#else
    std::size_t k = 0;
    while (p[k] != code)
        ++k;
    return k;
#endif
}
} // namespace

void HistoryStore::extremes(int s, std::size_t begin, std::size_t end, std::uint16_t& min,
                            std::size_t& minAt, std::uint16_t& max, std::size_t& maxAt) const {
    // The range is cut into runs of records, of 64-blocks and of 4096-blocks. Each run is
    // reduced without branches; the first run that improves an extreme is kept, and the record
    // is looked for only inside that run afterwards (first block, then first record, holding
    // the code), so the earliest record with each extreme is found.
    std::uint16_t mn = 0xFFFF, mx = 0;
    std::size_t atMn = begin, atMx = begin;
    int lvMn = 0, lvMx = 0;
    auto consider = [&](std::uint16_t rmn, std::uint16_t rmx, std::size_t at, int level) {
        if (rmn < mn)
            mn = rmn, atMn = at, lvMn = level;
        if (rmx > mx)
            mx = rmx, atMx = at, lvMx = level;
    };
    auto roundUp = [](std::size_t v, std::size_t unit) { return (v + unit - 1) & ~(unit - 1); };
    auto roundDown = [](std::size_t v, std::size_t unit) { return v & ~(unit - 1); };
    std::size_t i = begin;
    while (i < end) {
        const std::size_t base = i & ~kMask;
        const Chunk& c = *chunks_[i >> kChunkShift];
        const std::size_t ls = i - base, le = std::min(end - base, kChunkRecords);
        std::uint16_t rmn = 0, rmx = 0;
        auto raw = [&](std::size_t a, std::size_t b) {
            if (b > a) {
                reduce(c.value[s] + a, c.value[s] + a, b - a, rmn, rmx);
                consider(rmn, rmx, base + a, 0);
            }
        };
        auto blocks1 = [&](std::size_t a, std::size_t b) {
            if (b > a) {
                const std::size_t n = (b - a) >> kBlock1Shift, k = a >> kBlock1Shift;
                reduce(c.min1[s] + k, c.max1[s] + k, n, rmn, rmx);
                consider(rmn, rmx, base + a, 1);
            }
        };
        if (le - ls < 2 * kB1) {
            raw(ls, le);
        } else {
            const std::size_t h1 = roundUp(ls, kB1);
            const std::size_t t1 = roundDown(le, kB1);
            const std::size_t h2 = std::min(roundUp(h1, kB2), t1);
            const std::size_t t2 = std::max(roundDown(t1, kB2), h2);
            raw(ls, h1);
            blocks1(h1, h2);
            if (t2 > h2) {
                const std::size_t n = (t2 - h2) >> kBlock2Shift, k = h2 >> kBlock2Shift;
                reduce(c.min2[s] + k, c.max2[s] + k, n, rmn, rmx);
                consider(rmn, rmx, base + h2, 2);
            }
            blocks1(t2, t1);
            raw(t1, le);
        }
        i = base + le;
    }
    auto descend = [&](std::size_t at, int level, std::uint16_t code, bool isMin) {
        const Chunk& c = *chunks_[at >> kChunkShift];
        std::size_t local = at & kMask;
        // A run of blocks is already in cache from its reduction: find the first block holding
        // the code there, then go straight to the record the block remembers.
        if (level == 2) {
            const std::size_t b =
                (local >> kBlock2Shift) +
                findFirst((isMin ? c.min2[s] : c.max2[s]) + (local >> kBlock2Shift), code);
            return (at & ~kMask) + (isMin ? c.minAt2[s][b] : c.maxAt2[s][b]);
        }
        if (level == 1) {
            const std::size_t b =
                (local >> kBlock1Shift) +
                findFirst((isMin ? c.min1[s] : c.max1[s]) + (local >> kBlock1Shift), code);
            return (at & ~kMask) + (b << kBlock1Shift) + (isMin ? c.minAt1[s][b] : c.maxAt1[s][b]);
        }
        local += findFirst(c.value[s] + local, code);
        return (at & ~kMask) + local;
    };
    min = mn;
    max = mx;
    minAt = descend(atMn, lvMn, mn, true);
    maxAt = descend(atMx, lvMx, mx, false);
}

ColumnPlan HistoryStore::plan(double fromMs, double toMs, int columns) const {
    ColumnPlan p;
    if (columns < 1 || !(toMs > fromMs) || !std::isfinite(fromMs) || !std::isfinite(toMs))
        return p;
    p.bounds.resize(std::size_t(columns) + 1);
    const double step = (toMs - fromMs) / columns;
    std::size_t prev = lowerBound(fromMs);
    p.bounds[0] = prev;
    for (int i = 1; i < columns; ++i) {
        const double edge = fromMs + step * i;
        // Most columns are near the previous one: gallop before bisecting.
        std::size_t hi = prev, stepN = 1;
        while (hi < size_ && double(timeAt(hi)) < edge) {
            prev = hi;
            hi += stepN;
            stepN *= 2;
        }
        hi = std::min(hi, size_);
        std::size_t lo = prev;
        while (lo < hi) {
            const std::size_t mid = lo + (hi - lo) / 2;
            if (double(timeAt(mid)) < edge)
                lo = mid + 1;
            else
                hi = mid;
        }
        p.bounds[std::size_t(i)] = prev = lo;
    }
    // The last column includes the right edge itself.
    const std::size_t last = lowerBound(std::nextafter(toMs, HUGE_VAL));
    p.bounds[std::size_t(columns)] = std::max(last, prev);
    p.hasBefore = p.bounds.front() > 0;
    p.hasAfter = p.bounds.back() < size_;
    return p;
}

void HistoryStore::prefetchColumn(int s, std::size_t begin, std::size_t end) const {
    if (end <= begin || end > size_)
        return;
    const Chunk& c = *chunks_[begin >> kChunkShift];
    const std::size_t a = begin & kMask;
    __builtin_prefetch(c.value[s] + a);
    __builtin_prefetch(c.min1[s] + (a >> kBlock1Shift));
    __builtin_prefetch(c.max1[s] + (a >> kBlock1Shift));
    __builtin_prefetch(c.minAt1[s] + (a >> kBlock1Shift));
    __builtin_prefetch(c.maxAt1[s] + (a >> kBlock1Shift));
    __builtin_prefetch(c.time + a);
    const Chunk& d = *chunks_[(end - 1) >> kChunkShift];
    const std::size_t z = (end - 1) & kMask;
    __builtin_prefetch(d.value[s] + (z & ~(kB1 - 1)));
    __builtin_prefetch(d.value[s] + z);
    __builtin_prefetch(d.min1[s] + (z >> kBlock1Shift));
    __builtin_prefetch(d.max1[s] + (z >> kBlock1Shift));
    __builtin_prefetch(d.minAt1[s] + (z >> kBlock1Shift));
    __builtin_prefetch(d.maxAt1[s] + (z >> kBlock1Shift));
}

void HistoryStore::decimate(const ColumnPlan& plan, int series, std::vector<PlotPoint>& out) const {
    out.clear();
    if (plan.bounds.empty() || series < 0 || series >= kSeriesCount)
        return;
    auto push = [&](std::size_t i) { out.push_back({timeAt(i), valueAt(series, i)}); };
    if (plan.hasBefore)
        push(plan.bounds.front() - 1);
    const std::size_t columns = plan.bounds.size() - 1;
    for (std::size_t c = 0; c < columns; ++c) {
        const std::size_t a = plan.bounds[c], e = plan.bounds[c + 1];
        // Columns of a long history lie far apart in memory, beyond what the hardware prefetcher
        // follows: ask for the ends of a column a few columns ahead.
        if (c + 12 < columns)
            prefetchColumn(series, plan.bounds[c + 12], plan.bounds[c + 13]);
        if (e <= a)
            continue;
        if (e - a <= 4) {
            for (std::size_t i = a; i < e; ++i)
                push(i);
            continue;
        }
        const std::uint16_t first = rawAt(series, a), last = rawAt(series, e - 1);
        std::uint16_t mn = 0, mx = 0;
        std::size_t im = a, iM = a;
        extremes(series, a, e, mn, im, mx, iM);
        // First, the records holding the extremes in time order, last; an extreme that the
        // first or the last record holds adds no point.
        if (mn == first)
            im = a;
        else if (mn == last)
            im = e - 1;
        if (mx == first)
            iM = a;
        else if (mx == last)
            iM = e - 1;
        const std::size_t x1 = std::min(im, iM), x2 = std::max(im, iM);
        push(a);
        if (x1 != a && x1 != e - 1)
            push(x1);
        if (x2 != x1 && x2 != a && x2 != e - 1)
            push(x2);
        push(e - 1);
    }
    if (plan.hasAfter)
        push(plan.bounds.back());
}

std::size_t HistoryStore::memoryBytes() const {
    return chunks_.size() * sizeof(Chunk);
}

} // namespace hq::service
