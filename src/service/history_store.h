// Columnar history of the plotted status values, free of widgets.
//
// Records are kept in fixed-size chunks that are allocated once and never moved: one time-stamp
// column (UTC milliseconds) and one 16-bit column per series. Every series carries a min/max
// pyramid (blocks of 64 and 4096 records, plus one summary per chunk) that is updated as records
// arrive, so the minimum and maximum of any index range cost O(log n) block reads; each block
// also remembers where its first minimum and maximum lie, so finding those records reads no
// further level. For a visible
// time range and a pixel width the store yields at most four points per pixel column per series
// (first, the two extremes, last), all of them real time stamps, which rasterise like the full
// data.
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

class HistoryStore {
public:
    static constexpr std::size_t kChunkShift = 16;
    static constexpr std::size_t kChunkRecords = std::size_t{1} << kChunkShift;
    static constexpr std::size_t kBlock1Shift = 6;  // 64 records
    static constexpr std::size_t kBlock2Shift = 12; // 4096 records

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
        return double(std::int32_t(code) - e.offset) / double(e.divisor);
    }
    double valueAt(int series, std::size_t i) const { return decode(series, rawAt(series, i)); }
    std::int64_t firstTime() const { return timeAt(0); }
    std::int64_t lastTime() const { return timeAt(size_ - 1); }

    // Index of the first record whose time stamp is >= t (size() if none).
    std::size_t lowerBound(double timeMs) const;

    // Minimum and maximum code of one series over the records [begin, end).
    RawRange rawRange(int series, std::size_t begin, std::size_t end) const;

    // Index of the first record in [begin, end) whose code is `code` (end if none), found
    // through the pyramid.
    std::size_t findCode(int series, std::size_t begin, std::size_t end, std::uint16_t code,
                         bool isMin) const;

    // Minimum and maximum code of one series over [begin, end) with the index of the first
    // record holding each, in one walk down the pyramid. begin < end <= size().
    void extremes(int series, std::size_t begin, std::size_t end, std::uint16_t& min,
                  std::size_t& minAt, std::uint16_t& max, std::size_t& maxAt) const;

    // Pixel columns of the time range [fromMs, toMs] spread over `columns` pixels.
    ColumnPlan plan(double fromMs, double toMs, int columns) const;
    // At most four points per column (first, extremes, last) plus the neighbours just outside
    // the view, in time order. `out` is cleared first.
    void decimate(const ColumnPlan& plan, int series, std::vector<PlotPoint>& out) const;

    // Bytes held by the chunks (the store's own footprint).
    std::size_t memoryBytes() const;
    std::size_t chunkCount() const { return chunks_.size(); }
    // Start of a chunk's time column; stays the same for the store's lifetime (tests rely on it).
    const std::int64_t* chunkTimes(std::size_t chunk) const { return chunks_[chunk]->time; }

private:
    static constexpr std::size_t kBlocks1 = kChunkRecords >> kBlock1Shift;
    static constexpr std::size_t kBlocks2 = kChunkRecords >> kBlock2Shift;
    struct Chunk {
        std::int64_t time[kChunkRecords];
        std::uint16_t value[kSeriesCount][kChunkRecords];
        std::uint16_t min1[kSeriesCount][kBlocks1];
        std::uint16_t max1[kSeriesCount][kBlocks1];
        std::uint16_t min2[kSeriesCount][kBlocks2];
        std::uint16_t max2[kSeriesCount][kBlocks2];
        // Where the first record holding a block's minimum / maximum lies: offset inside the
        // 64-record block, and inside the chunk for the 4096-record blocks.
        std::uint8_t minAt1[kSeriesCount][kBlocks1];
        std::uint8_t maxAt1[kSeriesCount][kBlocks1];
        std::uint16_t minAt2[kSeriesCount][kBlocks2];
        std::uint16_t maxAt2[kSeriesCount][kBlocks2];
        std::uint16_t minAll[kSeriesCount];
        std::uint16_t maxAll[kSeriesCount];
    };
    void prefetchColumn(int series, std::size_t begin, std::size_t end) const;
    void rangeInChunk(const Chunk& c, std::size_t fill, int series, std::size_t lb, std::size_t le,
                      std::uint16_t& mn, std::uint16_t& mx) const;

    std::array<SeriesEncoding, kSeriesCount> encodings_;
    std::vector<std::unique_ptr<Chunk>> chunks_;
    std::size_t size_ = 0;
    std::size_t clamped_ = 0;
};

} // namespace hq::service
