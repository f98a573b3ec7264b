#include "history/history_view_source.h"

#include "history/history_export.h"
#include "service/plot_series.h"

#include <algorithm>
#include <bit>
#include <cstdlib>

namespace hq::history {

namespace {

constexpr std::size_t kCacheLimitBytes = 64u << 20;

// The chart codes of a block's smallest and largest values. Every series is a rising function
// of its field, so the field's extremes give the series'; the door (bit 0 of the status) comes
// from the status column's AND and OR.
void summarySamples(const BlockSummary& s, service::RawSample& mn, service::RawSample& mx) {
    static const int kStatus = columnIndex("status");
    Row lo, hi;
    for (std::size_t k = 0; k < s.size() && k < kFieldColumns; ++k) {
        lo.values[k] = s[k].min;
        hi.values[k] = s[k].max;
    }
    mn = sampleOfRow(lo);
    mx = sampleOfRow(hi);
    if (kStatus >= 0) {
        lo.values[std::size_t(kStatus)] = std::int64_t(s[std::size_t(kStatus)].allOf & 0xFF);
        hi.values[std::size_t(kStatus)] = std::int64_t(s[std::size_t(kStatus)].anyOf & 0xFF);
        mn[service::kDoorSeries] = sampleOfRow(lo)[service::kDoorSeries];
        mx[service::kDoorSeries] = sampleOfRow(hi)[service::kDoorSeries];
    }
}

// Appends points to the view's store: single records, or two points per stretch of records
// holding its extremes, per series the one nearer the point before first, so the line runs
// through the stretch once.
class Emitter {
public:
    explicit Emitter(service::HistoryStore& store) : store_(store) {}
    void point(std::int64_t t, const service::RawSample& s) {
        store_.append(t, s);
        last_ = s;
        any_ = true;
    }
    void stretch(std::int64_t t0, std::int64_t t1, const service::RawSample& mn,
                 const service::RawSample& mx) {
        service::RawSample a, b;
        for (std::size_t s = 0; s < a.size(); ++s) {
            const bool minFirst = !any_ || std::abs(int(last_[s]) - int(mn[s])) <=
                                               std::abs(int(last_[s]) - int(mx[s]));
            a[s] = minFirst ? mn[s] : mx[s];
            b[s] = minFirst ? mx[s] : mn[s];
        }
        store_.append(t0, a);
        store_.append(t1, b);
        last_ = b;
        any_ = true;
    }

private:
    service::HistoryStore& store_;
    service::RawSample last_{};
    bool any_ = false;
};

// Groups of `size` records reduced to their extremes.
class Grouper {
public:
    Grouper(Emitter& out, std::size_t size) : out_(out), size_(size) {}
    void add(std::int64_t t, const service::RawSample& s) {
        if (size_ <= 1) {
            out_.point(t, s);
            return;
        }
        if (n_ == 0) {
            t0_ = t;
            mn_ = mx_ = s;
        } else {
            for (std::size_t k = 0; k < s.size(); ++k) {
                mn_[k] = std::min(mn_[k], s[k]);
                mx_[k] = std::max(mx_[k], s[k]);
            }
        }
        t1_ = t;
        if (++n_ == size_)
            flush();
    }
    void flush() {
        if (n_ > 0)
            out_.stretch(t0_, t1_, mn_, mx_);
        n_ = 0;
    }

private:
    Emitter& out_;
    std::size_t size_;
    std::size_t n_ = 0;
    std::int64_t t0_ = 0, t1_ = 0;
    service::RawSample mn_{}, mx_{};
};

} // namespace

HistoryViewSource::HistoryViewSource(ArchiveReader reader) : reader_(std::move(reader)) {
    for (const auto& b : reader_.blocks())
        blockRecords_ = std::max(blockRecords_, b.header.count);
    if (blockRecords_ == 0)
        blockRecords_ = 1024;
}

std::size_t HistoryViewSource::firstBlockEndingAfter(double t) const {
    const auto& blocks = reader_.blocks();
    const auto it = std::partition_point(blocks.begin(), blocks.end(), [t](const IndexedBlock& b) {
        return double(b.header.maxTimeMs) < t;
    });
    return std::size_t(it - blocks.begin());
}

double HistoryViewSource::recordsIn(double fromMs, double toMs) const {
    const auto& blocks = reader_.blocks();
    double n = 0;
    for (std::size_t i = firstBlockEndingAfter(fromMs);
         i < blocks.size() && double(blocks[i].header.minTimeMs) <= toMs; ++i) {
        const BlockHeader& h = blocks[i].header;
        const double span = double(h.maxTimeMs - h.minTimeMs);
        const double inside =
            std::min(toMs, double(h.maxTimeMs)) - std::max(fromMs, double(h.minTimeMs));
        n += span > 0 ? h.count * std::clamp(inside / span, 0.0, 1.0) : h.count;
    }
    for (const Row& r : reader_.tail())
        n += double(r.timeMs) >= fromMs && double(r.timeMs) <= toMs;
    return n;
}

bool HistoryViewSource::summariesFor(double fromMs, double toMs, int halfColumns) const {
    return recordsIn(fromMs, toMs) / std::max(1, halfColumns) >= blockRecords_ / 2.0;
}

std::size_t HistoryViewSource::groupFor(double fromMs, double toMs, int halfColumns) const {
    const double perColumn = recordsIn(fromMs, toMs) / std::max(1, halfColumns);
    return std::bit_floor(std::max<std::size_t>(1, std::size_t(perColumn / 2)));
}

bool HistoryViewSource::serves(const HistoryView& view, double fromMs, double toMs,
                               int halfColumns) const {
    if (!view.store)
        return false;
    const bool far = summariesFor(fromMs, toMs, halfColumns);
    if (view.fromSummaries || far)
        return view.fromSummaries && far;
    const std::size_t g = groupFor(fromMs, toMs, halfColumns);
    return fromMs >= view.loadedFromMs && toMs <= view.loadedToMs && g <= 2 * view.group &&
           view.group <= 2 * g;
}

const HistoryViewSource::Decoded* HistoryViewSource::decodedBlock(std::size_t index) {
    const IndexedBlock& b = reader_.blocks()[index];
    const Key key{b.segment, b.offset};
    if (const auto it = cacheIndex_.find(key); it != cacheIndex_.end()) {
        cache_.splice(cache_.begin(), cache_, it->second);
        return &cache_.front().second;
    }
    auto rows = reader_.readBlock(index);
    if (!rows)
        return nullptr;
    ++decoded_;
    Decoded d;
    d.times.reserve(rows->size());
    d.samples.reserve(rows->size());
    for (const Row& r : *rows) {
        d.times.push_back(r.timeMs);
        d.samples.push_back(sampleOfRow(r));
    }
    cacheBytes_ += d.times.size() * (sizeof(std::int64_t) + sizeof(service::RawSample));
    cache_.emplace_front(key, std::move(d));
    cacheIndex_[key] = cache_.begin();
    while (cacheBytes_ > kCacheLimitBytes && cache_.size() > 1) {
        auto& old = cache_.back();
        cacheBytes_ -=
            old.second.times.size() * (sizeof(std::int64_t) + sizeof(service::RawSample));
        cacheIndex_.erase(old.first);
        cache_.pop_back();
    }
    return &cache_.front().second;
}

HistoryView HistoryViewSource::build(double fromMs, double toMs, int halfColumns) {
    HistoryView v;
    v.store = std::make_unique<service::HistoryStore>(service::seriesEncodings());
    Emitter out(*v.store);
    const auto& blocks = reader_.blocks();
    if (summariesFor(fromMs, toMs, halfColumns)) {
        v.fromSummaries = true;
        v.loadedFromMs = -1e300;
        v.loadedToMs = 1e300;
        service::RawSample mn, mx;
        for (const IndexedBlock& b : blocks) {
            summarySamples(b.summary, mn, mx);
            out.stretch(b.header.minTimeMs, b.header.maxTimeMs, mn, mx);
        }
        for (const Row& r : reader_.tail())
            out.point(r.timeMs, sampleOfRow(r));
        return v;
    }
    v.group = groupFor(fromMs, toMs, halfColumns);
    const double margin = (toMs - fromMs) / 2;
    v.loadedFromMs = fromMs - margin;
    v.loadedToMs = toMs + margin;
    Grouper group(out, v.group);
    for (std::size_t i = firstBlockEndingAfter(v.loadedFromMs);
         i < reader_.blocks().size() &&
         double(reader_.blocks()[i].header.minTimeMs) <= v.loadedToMs;) {
        const Decoded* d = decodedBlock(i);
        if (!d)
            continue; // damaged: dropped from the index, i is the next block now
        ++i;
        for (std::size_t k = 0; k < d->times.size(); ++k)
            if (double(d->times[k]) >= v.loadedFromMs && double(d->times[k]) <= v.loadedToMs)
                group.add(d->times[k], d->samples[k]);
    }
    for (const Row& r : reader_.tail())
        if (double(r.timeMs) >= v.loadedFromMs && double(r.timeMs) <= v.loadedToMs)
            group.add(r.timeMs, sampleOfRow(r));
    group.flush();
    return v;
}

std::size_t HistoryViewSource::memoryBytes() const {
    std::size_t n = cacheBytes_ + cacheIndex_.size() * 64;
    for (const auto& b : reader_.blocks())
        n += sizeof(IndexedBlock) + b.summary.capacity() * sizeof(ColumnSummary);
    n += reader_.tail().capacity() * sizeof(Row);
    return n;
}

} // namespace hq::history
