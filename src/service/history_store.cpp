#include "service/history_store.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#if defined(__SSE2__)
#include <emmintrin.h>
#endif

namespace hq::service {

namespace {
constexpr std::size_t kMask = HistoryStore::kChunkRecords - 1;
constexpr std::size_t kBase = std::size_t{1} << HistoryStore::kBaseShift;
constexpr std::size_t kFanout = std::size_t{1} << HistoryStore::kFanoutShift;

constexpr std::size_t roundUp(std::size_t v, std::size_t unit) {
    return (v + unit - 1) & ~(unit - 1);
}
constexpr std::size_t roundDown(std::size_t v, std::size_t unit) {
    return v & ~(unit - 1);
}
inline std::int16_t biased(std::uint16_t code) {
    return std::int16_t(std::uint16_t(code ^ 0x8000u));
}
inline std::uint16_t unbiased(std::int16_t v) {
    return std::uint16_t(std::uint16_t(v) ^ 0x8000u);
}

#if defined(__SSE2__)
// The 18 series of a row as three vectors of eight lanes: 0-7, 8-15 and 10-17 (the overlap does
// no harm to a minimum or maximum).
struct Lanes {
    __m128i a, b, c;
};
inline Lanes load(const std::int16_t* p) {
    auto at = [p](int i) { return _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i)); };
    return {at(0), at(8), at(10)};
}
inline void store(std::int16_t* p, const Lanes& v) {
    _mm_storeu_si128(reinterpret_cast<__m128i*>(p), v.a);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(p + 8), v.b);
    _mm_storeu_si128(reinterpret_cast<__m128i*>(p + 10), v.c);
}
inline Lanes min(const Lanes& x, const Lanes& y) {
    return {_mm_min_epi16(x.a, y.a), _mm_min_epi16(x.b, y.b), _mm_min_epi16(x.c, y.c)};
}
inline Lanes max(const Lanes& x, const Lanes& y) {
    return {_mm_max_epi16(x.a, y.a), _mm_max_epi16(x.b, y.b), _mm_max_epi16(x.c, y.c)};
}
inline Lanes filled(std::int16_t v) {
    const __m128i x = _mm_set1_epi16(v);
    return {x, x, x};
}
#endif
} // namespace

// Running extremes of all series. Summary rows are folded in with SIMD; single records, read
// from the series' own columns, go to the scalar lanes.
struct HistoryStore::Accumulator {
    std::int16_t min[kSeriesCount];
    std::int16_t max[kSeriesCount];
#if defined(__SSE2__)
    Lanes rowMin = filled(INT16_MAX), rowMax = filled(INT16_MIN);
#endif

    Accumulator() {
        std::fill(std::begin(min), std::end(min), INT16_MAX);
        std::fill(std::begin(max), std::end(max), INT16_MIN);
    }

    void rows(const Row* r, std::size_t n) {
#if defined(__SSE2__)
        Lanes lo = rowMin, hi = rowMax;
        for (std::size_t k = 0; k < n; ++k) {
            lo = hq::service::min(lo, load(r[k].min));
            hi = hq::service::max(hi, load(r[k].max));
        }
        rowMin = lo, rowMax = hi;
#else
        for (std::size_t k = 0; k < n; ++k)
            for (int s = 0; s < kSeriesCount; ++s) {
                min[s] = std::min(min[s], r[k].min[s]);
                max[s] = std::max(max[s], r[k].max[s]);
            }
#endif
    }

    void records(const Chunk& c, std::size_t lo, std::size_t hi) {
        if (hi <= lo)
            return;
        for (int s = 0; s < kSeriesCount; ++s) {
            const std::uint16_t* v = c.value[s];
            std::int16_t mn = min[s], mx = max[s];
            for (std::size_t i = lo; i < hi; ++i) {
                mn = std::min(mn, biased(v[i]));
                mx = std::max(mx, biased(v[i]));
            }
            min[s] = mn;
            max[s] = mx;
        }
    }

    void result(RawSample& outMin, RawSample& outMax) {
#if defined(__SSE2__)
        std::int16_t lanes[2][kSeriesCount];
        store(lanes[0], rowMin);
        store(lanes[1], rowMax);
        for (int s = 0; s < kSeriesCount; ++s) {
            min[s] = std::min(min[s], lanes[0][s]);
            max[s] = std::max(max[s], lanes[1][s]);
        }
#endif
        for (int s = 0; s < kSeriesCount; ++s) {
            outMin[std::size_t(s)] = unbiased(min[s]);
            outMax[std::size_t(s)] = unbiased(max[s]);
        }
    }
};

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
    std::int16_t b[kSeriesCount];
    for (int s = 0; s < kSeriesCount; ++s) {
        c.value[s][at] = sample[std::size_t(s)];
        b[s] = biased(sample[std::size_t(s)]);
    }
#if defined(__SSE2__)
    const Lanes v = load(b);
    auto merge = [&v](Row& r, bool fresh) {
        store(r.min, fresh ? v : min(load(r.min), v));
        store(r.max, fresh ? v : max(load(r.max), v));
    };
#else
    auto merge = [&b](Row& r, bool fresh) {
        if (fresh) {
            std::memcpy(r.min, b, sizeof b);
            std::memcpy(r.max, b, sizeof b);
            return;
        }
        for (int s = 0; s < kSeriesCount; ++s) {
            r.min[s] = std::min(r.min[s], b[s]);
            r.max[s] = std::max(r.max[s], b[s]);
        }
    };
#endif
    for (int l = 0; l < kLevels; ++l) {
        const std::size_t shift = kLevelShift[l];
        merge(c.level(l)[at >> shift], (at & ((std::size_t{1} << shift) - 1)) == 0);
    }
    merge(c.all, at == 0);
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

void HistoryStore::accumulateChunk(const Chunk& c, std::size_t fill, std::size_t lo, std::size_t hi,
                                   Accumulator& acc) const {
    if (lo == 0 && hi == fill) {
        acc.rows(&c.all, 1);
        return;
    }
    if (hi - lo < 2 * kBase) {
        acc.records(c, lo, hi);
        return;
    }
    // Single records up to the first and from the last 16-record boundary, then at each level
    // the blocks up to the first and from the last boundary of the level above.
    const std::size_t h = roundUp(lo, kBase), t = roundDown(hi, kBase);
    acc.records(c, lo, h);
    acc.records(c, t, hi);
    std::size_t blo = h >> kBaseShift, bhi = t >> kBaseShift;
    for (int l = 0;; ++l) {
        const Row* rows = c.level(l);
        const std::size_t ph = roundUp(blo, kFanout), pt = roundDown(bhi, kFanout);
        if (l == kLevels - 1 || ph >= pt) {
            acc.rows(rows + blo, bhi - blo);
            return;
        }
        acc.rows(rows + blo, ph - blo);
        acc.rows(rows + pt, bhi - pt);
        blo = ph >> kFanoutShift;
        bhi = pt >> kFanoutShift;
    }
}

void HistoryStore::accumulate(std::size_t begin, std::size_t end, Accumulator& acc) const {
    std::size_t i = begin;
    while (i < end) {
        const std::size_t ci = i >> kChunkShift;
        const std::size_t base = ci << kChunkShift;
        const std::size_t fill = ci + 1 == chunks_.size() ? size_ - base : kChunkRecords;
        const std::size_t le = std::min(end - base, fill);
        accumulateChunk(*chunks_[ci], fill, i - base, le, acc);
        i = base + le;
    }
}

bool HistoryStore::ranges(std::size_t begin, std::size_t end, RawSample& min,
                          RawSample& max) const {
    end = std::min(end, size_);
    if (begin >= end)
        return false;
    Accumulator acc;
    accumulate(begin, end, acc);
    acc.result(min, max);
    return true;
}

RawRange HistoryStore::rawRange(int series, std::size_t begin, std::size_t end) const {
    RawRange r;
    RawSample mn{}, mx{};
    if (series < 0 || series >= kSeriesCount || !ranges(begin, end, mn, mx))
        return r;
    r.min = mn[std::size_t(series)];
    r.max = mx[std::size_t(series)];
    r.valid = true;
    return r;
}

ColumnPlan HistoryStore::plan(double fromMs, double toMs, int columns) const {
    ColumnPlan p;
    if (columns < 1 || !(toMs > fromMs) || !std::isfinite(fromMs) || !std::isfinite(toMs))
        return p;
    p.bounds.resize(std::size_t(columns) + 1);
    const double step = (toMs - fromMs) / columns;
    auto before = [this](std::size_t i, double edge) { return double(timeAt(i)) < edge; };
    std::size_t prev = lowerBound(fromMs);
    std::size_t gap = 0;
    p.bounds[0] = prev;
    for (int i = 1; i < columns; ++i) {
        const double edge = fromMs + step * i;
        // Records mostly arrive at a steady pace: look first where the last column's width
        // predicts the edge, and widen the search from there only as far as needed. The answer
        // lies in [lo, hi]; every record before lo is earlier than the edge, hi is not (or is
        // the end).
        std::size_t lo = prev, hi = size_;
        const std::size_t guess = std::min(size_, prev + gap);
        if (guess < size_ && !before(guess, edge)) {
            hi = guess;
            for (std::size_t stride = 1; hi - lo > stride; stride *= 2) {
                if (before(hi - stride, edge)) {
                    lo = hi - stride + 1;
                    break;
                }
                hi -= stride;
            }
        } else if (guess < size_) {
            lo = guess + 1;
            for (std::size_t stride = 1; lo < size_; stride *= 2) {
                const std::size_t probe = std::min(size_ - 1, lo + stride - 1);
                if (!before(probe, edge)) {
                    hi = probe;
                    break;
                }
                lo = probe + 1;
            }
        }
        while (lo < hi) {
            const std::size_t mid = lo + (hi - lo) / 2;
            if (before(mid, edge))
                lo = mid + 1;
            else
                hi = mid;
        }
        gap = lo - prev;
        p.bounds[std::size_t(i)] = prev = lo;
    }
    // The last column includes the right edge itself.
    const std::size_t last = lowerBound(std::nextafter(toMs, HUGE_VAL));
    p.bounds[std::size_t(columns)] = std::max(last, prev);
    p.hasBefore = p.bounds.front() > 0;
    p.hasAfter = p.bounds.back() < size_;
    return p;
}

void HistoryStore::decimate(const ColumnPlan& plan, int series, std::vector<PlotPoint>& out) const {
    out.clear();
    if (series < 0 || series >= kSeriesCount)
        return;
    static thread_local SeriesPoints lists;
    std::swap(lists[std::size_t(series)], out);
    decimate(plan, std::uint32_t{1} << series, lists);
    std::swap(lists[std::size_t(series)], out);
}

void HistoryStore::decimate(const ColumnPlan& plan, std::uint32_t seriesMask,
                            SeriesPoints& out) const {
    int shown[kSeriesCount];
    int count = 0;
    for (int s = 0; s < kSeriesCount; ++s) {
        out[std::size_t(s)].clear();
        if (seriesMask & (std::uint32_t{1} << s))
            shown[count++] = s;
    }
    if (plan.bounds.empty() || count == 0 || plan.bounds.back() > size_)
        return;
    const std::size_t columns = plan.bounds.size() - 1;
    for (int k = 0; k < count; ++k)
        out[std::size_t(shown[k])].reserve(4 * columns + 2);
    auto pushRecord = [&](std::size_t i) {
        const std::int64_t t = timeAt(i);
        for (int k = 0; k < count; ++k)
            out[std::size_t(shown[k])].push_back({t, valueAt(shown[k], i)});
    };
    if (plan.hasBefore)
        pushRecord(plan.bounds.front() - 1);
    RawSample mins{}, maxs{};
    for (std::size_t c = 0; c < columns; ++c) {
        const std::size_t a = plan.bounds[c], e = plan.bounds[c + 1];
        // Columns of a long history lie far apart in memory, beyond what the processor's own
        // prefetching follows: ask early for what a column a few places ahead will read around
        // its start (every series' records there, the block summaries either side).
        if (c + kPrefetchAhead < columns)
            prefetchAround(plan.bounds[c + kPrefetchAhead]);
        if (e <= a)
            continue;
        if (e - a <= 4) {
            for (std::size_t i = a; i < e; ++i)
                pushRecord(i);
            continue;
        }
        Accumulator acc;
        accumulate(a, e, acc);
        acc.result(mins, maxs);
        const std::int64_t tFirst = timeAt(a), tLast = timeAt(e - 1);
        const Chunk& ca = *chunks_[a >> kChunkShift];
        const Chunk& ce = *chunks_[(e - 1) >> kChunkShift];
        for (int k = 0; k < count; ++k) {
            const int s = shown[k];
            std::vector<PlotPoint>& o = out[std::size_t(s)];
            const std::uint16_t first = ca.value[s][a & kMask], last = ce.value[s][(e - 1) & kMask];
            const std::uint16_t mn = mins[std::size_t(s)], mx = maxs[std::size_t(s)];
            o.push_back({tFirst, decode(s, first)});
            // An extreme that the first or the last record holds adds no point. Of two, the one
            // nearer the first value comes first, so the line runs over the column once.
            const bool lo = mn != first && mn != last, hi = mx != first && mx != last;
            if (lo && hi) {
                const bool minFirst = first - mn <= mx - first;
                o.push_back({tFirst, decode(s, minFirst ? mn : mx)});
                o.push_back({tFirst, decode(s, minFirst ? mx : mn)});
            } else if (lo) {
                o.push_back({tFirst, decode(s, mn)});
            } else if (hi) {
                o.push_back({tFirst, decode(s, mx)});
            }
            o.push_back({tLast, decode(s, last)});
        }
    }
    if (plan.hasAfter)
        pushRecord(plan.bounds.back());
}

void HistoryStore::prefetchAround(std::size_t i) const {
    if (i >= size_)
        return;
    const Chunk& c = *chunks_[i >> kChunkShift];
    const std::size_t at = i & kMask;
    for (int s = 0; s < kSeriesCount; ++s)
        __builtin_prefetch(c.value[s] + at);
    std::size_t b = at >> kBaseShift;
    for (int l = 0; l < kLevels - 1; ++l, b >>= kFanoutShift) {
        const auto* from = reinterpret_cast<const char*>(c.level(l) + roundDown(b, kFanout));
        for (std::size_t off = 0; off < kFanout * sizeof(Row); off += 64)
            __builtin_prefetch(from + off);
    }
}

std::size_t HistoryStore::memoryBytes() const {
    return chunks_.size() * sizeof(Chunk);
}

} // namespace hq::service
