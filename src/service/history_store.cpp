#include "service/history_store.h"

#include <algorithm>
#include <cmath>

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
    for (int s = 0; s < kSeriesCount; ++s) {
        const std::uint16_t v = sample[std::size_t(s)];
        c.value[s][at] = v;
        if (new1) {
            c.min1[s][b1] = c.max1[s][b1] = v;
        } else {
            c.min1[s][b1] = std::min(c.min1[s][b1], v);
            c.max1[s][b1] = std::max(c.max1[s][b1], v);
        }
        if (new2) {
            c.min2[s][b2] = c.max2[s][b2] = v;
        } else {
            c.min2[s][b2] = std::min(c.min2[s][b2], v);
            c.max2[s][b2] = std::max(c.max2[s][b2], v);
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

void HistoryStore::extremes(int s, std::size_t begin, std::size_t end, std::uint16_t& min,
                            std::size_t& minAt, std::uint16_t& max, std::size_t& maxAt) const {
    // The first unit (record, 64-block or 4096-block) holding each extreme, then down to the
    // record inside it: a strict comparison keeps the earliest unit.
    std::uint16_t mn = rawAt(s, begin), mx = mn;
    std::size_t atMn = begin, atMx = begin;
    int lvMn = 0, lvMx = 0;
    std::size_t i = begin;
    while (i < end) {
        const Chunk& c = *chunks_[i >> kChunkShift];
        const std::size_t at = i & kMask;
        if ((at & (kB2 - 1)) == 0 && i + kB2 <= end) {
            const std::size_t b = at >> kBlock2Shift;
            if (c.min2[s][b] < mn)
                mn = c.min2[s][b], atMn = i, lvMn = 2;
            if (c.max2[s][b] > mx)
                mx = c.max2[s][b], atMx = i, lvMx = 2;
            i += kB2;
        } else if ((at & (kB1 - 1)) == 0 && i + kB1 <= end) {
            const std::size_t b = at >> kBlock1Shift;
            if (c.min1[s][b] < mn)
                mn = c.min1[s][b], atMn = i, lvMn = 1;
            if (c.max1[s][b] > mx)
                mx = c.max1[s][b], atMx = i, lvMx = 1;
            i += kB1;
        } else {
            // Raw records up to the next block boundary (or the end).
            const std::size_t stop = std::min(end, (i | (kB1 - 1)) + 1);
            const std::uint16_t* v = c.value[s] + at;
            for (std::size_t k = 0; k < stop - i; ++k) {
                if (v[k] < mn)
                    mn = v[k], atMn = i + k, lvMn = 0;
                if (v[k] > mx)
                    mx = v[k], atMx = i + k, lvMx = 0;
            }
            i = stop;
        }
    }
    auto descend = [&](std::size_t at, int level, std::uint16_t code, bool isMin) {
        const Chunk& c = *chunks_[at >> kChunkShift];
        std::size_t local = at & kMask;
        if (level == 2) {
            for (std::size_t b = local >> kBlock1Shift;; ++b) {
                if ((isMin ? c.min1[s][b] : c.max1[s][b]) == code) {
                    local = b << kBlock1Shift;
                    break;
                }
            }
            level = 1;
        }
        if (level == 1) {
            const std::uint16_t* v = c.value[s];
            while (v[local] != code)
                ++local;
        }
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

void HistoryStore::decimate(const ColumnPlan& plan, int series, std::vector<PlotPoint>& out) const {
    out.clear();
    if (plan.bounds.empty() || series < 0 || series >= kSeriesCount)
        return;
    auto push = [&](std::size_t i) { out.push_back({timeAt(i), valueAt(series, i)}); };
    if (plan.hasBefore)
        push(plan.bounds.front() - 1);
    for (std::size_t c = 0; c + 1 < plan.bounds.size(); ++c) {
        const std::size_t a = plan.bounds[c], e = plan.bounds[c + 1];
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
