// What the history viewer draws: for a visible time range and the chart's width, a small
// history store built from the stored history at the resolution the view needs. Far out (many
// records per pixel column) it holds two points per block, the block's extremes from its
// summary, without reading the block's records; closer in it reads the blocks around the view
// and keeps per group of records their extremes (or every record, when there are few per
// column). So a year opens from block summaries, and memory stays proportional to the pixels
// rather than to the records.
//
// Threads: the user-interface thread only.
#pragma once

#include "history/archive_reader.h"
#include "service/history_store.h"

#include <cstdint>
#include <list>
#include <map>
#include <memory>
#include <utility>
#include <vector>

namespace hq::history {

struct HistoryView {
    std::unique_ptr<service::HistoryStore> store;
    bool fromSummaries = false; // two points per block, from the block summaries
    std::size_t group = 1;      // records per pair of points when reading blocks (1: every record)
    double loadedFromMs = 0;    // the time range the store covers
    double loadedToMs = 0;
};

class HistoryViewSource {
public:
    explicit HistoryViewSource(ArchiveReader reader);

    ArchiveReader& reader() { return reader_; }
    const ArchiveReader& reader() const { return reader_; }

    // The store for [fromMs, toMs] over `halfColumns` half-pixel columns.
    HistoryView build(double fromMs, double toMs, int halfColumns);
    // Whether `view` still serves [fromMs, toMs] at that width as well as a new one would.
    bool serves(const HistoryView& view, double fromMs, double toMs, int halfColumns) const;

    // Bytes held: the block index, the cache of read blocks.
    std::size_t memoryBytes() const;
    // Blocks whose records were read (decoded) since the source was made.
    std::size_t blocksDecoded() const { return decoded_; }

private:
    struct Decoded {
        std::vector<std::int64_t> times;
        std::vector<service::RawSample> samples;
    };
    // Records in the blocks overlapping [fromMs, toMs] (estimated from block counts).
    double recordsIn(double fromMs, double toMs) const;
    std::size_t groupFor(double fromMs, double toMs, int halfColumns) const;
    bool summariesFor(double fromMs, double toMs, int halfColumns) const;
    const Decoded* decodedBlock(std::size_t index);
    std::size_t firstBlockEndingAfter(double t) const;

    ArchiveReader reader_;
    std::uint32_t blockRecords_ = 0;           // the largest block's records
    using Key = std::pair<int, std::uint64_t>; // segment, offset
    std::list<std::pair<Key, Decoded>> cache_; // most recently used first
    std::map<Key, std::list<std::pair<Key, Decoded>>::iterator> cacheIndex_;
    std::size_t cacheBytes_ = 0;
    std::size_t decoded_ = 0;
};

} // namespace hq::history
