// Columnar history of the plotted status values, free of widgets.
//
// Records are kept in fixed-size chunks that are allocated once and never moved: one time-stamp
// column (UTC milliseconds) and one 16-bit column per series. A min/max pyramid per series
// (blocks of 16, 128, 1024 and 8192 records, then one summary per chunk) is updated as records
// arrive, so the extremes of any index range cost a few short runs of block summaries plus at
// most fifteen records at either end. The summaries of one block are kept together for all
// series: a view computes the extremes of every shown series over the same range, and one read
// then serves them all.
//
// For a visible time range and a pixel width the store yields at most four points per column
// per series: the column's first and last record, and its minimum and maximum. The columns are
// half a pixel wide, so every point of a column lands on the same pixel; the extremes are placed
// at the time of the column's first record (where inside the column they lie cannot show), and
// the line drawn from the yielded points covers the same pixels as the line through every record.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <vector>

namespace hq::service {

inline constexpr int kSeriesCount = 18;

// Stored value of one record: per series an unsigned 16-bit code (see SeriesEncoding).
using RawSample = std::array<std::uint16_t, kSeriesCount>;

// value = (code - offset) / divisor. An offset of 32768 stores a signed 16-bit value in
// offset-binary form, so the unsigned order of the codes is the order of the values.
struct SeriesEncoding {
    std::int32_t offset = 0;
    std::int32_t divisor = 1;
};

struct PlotPoint {
    std::int64_t timeMs = 0;
    double value = 0.0;
    friend bool operator==(const PlotPoint&, const PlotPoint&) = default;
};

struct RawRange {
    std::uint16_t min = 0;
    std::uint16_t max = 0;
    bool valid = false;
};

// The pixel columns of one view: record index boundaries shared by all series.
struct ColumnPlan {
    std::vector<std::size_t> bounds; // columns + 1 entries; column i holds [bounds[i], bounds[i+1])
    bool hasBefore = false;          // the record just left of the view, bounds[0] - 1
    bool hasAfter = false;           // the record just right of the view, bounds.back()
};

// Point lists of all series, indexed by series.
using SeriesPoints = std::array<std::vector<PlotPoint>, kSeriesCount>;

class HistoryStore {
public:
    static constexpr std::size_t kChunkShift = 16;
    static constexpr std::size_t kChunkRecords = std::size_t{1} << kChunkShift;
    // The pyramid's lowest level summarises 16 records; each level above it 8 blocks of the one
    // below, up to 8192 records; the chunk's summary covers its 8 top-level blocks.
    static constexpr std::size_t kBaseShift = 4;
    static constexpr std::size_t kFanoutShift = 3;
    static constexpr int kLevels = 4;

    explicit HistoryStore(const std::array<SeriesEncoding, kSeriesCount>& encodings);
    ~HistoryStore();
    HistoryStore(const HistoryStore&) = delete;
    HistoryStore& operator=(const HistoryStore&) = delete;

    // Appends one record. A time stamp earlier than the last one (the system clock stepped
    // back) is clamped to the last time stamp so the time column stays ascending; the clamped
    // time is returned and counted.
    std::int64_t append(std::int64_t utcMs, const RawSample& sample);
    void clear();

    std::size_t size() const { return size_; }
    bool empty() const { return size_ == 0; }
    std::size_t clampedCount() const { return clamped_; }
    const SeriesEncoding& encoding(int series) const { return encodings_[std::size_t(series)]; }

    std::int64_t timeAt(std::size_t i) const {
        return chunks_[i >> kChunkShift]->time[i & (kChunkRecords - 1)];
    }
    std::uint16_t rawAt(int series, std::size_t i) const {
        return chunks_[i >> kChunkShift]->value[series][i & (kChunkRecords - 1)];
    }
    RawSample sampleAt(std::size_t i) const;
    double decode(int series, std::uint16_t code) const {
        const auto& e = encodings_[std::size_t(series)];
        // Dividing by one changes nothing (exactly): a division saved for most series.
        const double v = double(std::int32_t(code) - e.offset);
        return e.divisor == 1 ? v : v / double(e.divisor);
    }
    double valueAt(int series, std::size_t i) const { return decode(series, rawAt(series, i)); }
    std::int64_t firstTime() const { return timeAt(0); }
    std::int64_t lastTime() const { return timeAt(size_ - 1); }

    // Index of the first record whose time stamp is >= t (size() if none).
    std::size_t lowerBound(double timeMs) const;

    // Minimum and maximum code of one series over the records [begin, end).
    RawRange rawRange(int series, std::size_t begin, std::size_t end) const;
    // Minimum and maximum code of every series over [begin, end); false (and nothing written)
    // for an empty range.
    bool ranges(std::size_t begin, std::size_t end, RawSample& min, RawSample& max) const;

    // Pixel columns of the time range [fromMs, toMs] spread over `columns` pixels.
    ColumnPlan plan(double fromMs, double toMs, int columns) const;
    // At most four points per column (first, extremes, last) plus the neighbours just outside
    // the view, in time order. `out` is cleared first.
    void decimate(const ColumnPlan& plan, int series, std::vector<PlotPoint>& out) const;
    // The same for every series whose bit is set in `seriesMask`, in one pass over the columns
    // (the others' lists are cleared).
    void decimate(const ColumnPlan& plan, std::uint32_t seriesMask, SeriesPoints& out) const;

    // Bytes held by the chunks (the store's own footprint).
    std::size_t memoryBytes() const;
    std::size_t chunkCount() const { return chunks_.size(); }
    // Start of a chunk's time column; stays the same for the store's lifetime (tests rely on it).
    const std::int64_t* chunkTimes(std::size_t chunk) const { return chunks_[chunk]->time; }

private:
    // Extremes of one block for every series, as codes with the top bit flipped: compared as
    // signed numbers they keep the codes' order, which suits the processor's SIMD min and max.
    struct Row {
        std::int16_t min[kSeriesCount];
        std::int16_t max[kSeriesCount];
    };
    static constexpr std::size_t kLevelShift[kLevels] = {kBaseShift, kBaseShift + kFanoutShift,
                                                         kBaseShift + 2 * kFanoutShift,
                                                         kBaseShift + 3 * kFanoutShift};
    struct Chunk {
        std::int64_t time[kChunkRecords];
        std::uint16_t value[kSeriesCount][kChunkRecords];
        Row level0[kChunkRecords >> kLevelShift[0]];
        Row level1[kChunkRecords >> kLevelShift[1]];
        Row level2[kChunkRecords >> kLevelShift[2]];
        Row level3[kChunkRecords >> kLevelShift[3]];
        Row all;
        Row* level(int l) { return l == 0 ? level0 : l == 1 ? level1 : l == 2 ? level2 : level3; }
        const Row* level(int l) const {
            return l == 0 ? level0 : l == 1 ? level1 : l == 2 ? level2 : level3;
        }
    };
    struct Accumulator;
    void accumulateChunk(const Chunk& c, std::size_t fill, std::size_t lo, std::size_t hi,
                         Accumulator& acc) const;
    void accumulate(std::size_t begin, std::size_t end, Accumulator& acc) const;
    static constexpr std::size_t kPrefetchAhead = 4;
    void prefetchAround(std::size_t i) const;

    std::array<SeriesEncoding, kSeriesCount> encodings_;
    std::vector<std::unique_ptr<Chunk>> chunks_;
    std::size_t size_ = 0;
    std::size_t clamped_ = 0;
};

} // namespace hq::service
