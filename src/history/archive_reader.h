// Reading one cabinet's history: an index of every block (header and summary only, read when
// opened), the journal's rows not yet in a block, and the records of a block on demand. Damaged
// and torn places are collected as problems, each once; a block whose records turn out damaged
// when first read is dropped from the index and reported then.
//
// Threads: one reader object is used by one thread. Readers take no lock; a writer may append
// while they read (a block still being written is not reported as torn).
#pragma once

#include "core/expected.h"
#include "history/columns.h"
#include "history/segment_scan.h"

#include <QString>

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace hq::history {

struct IndexedBlock {
    int segment = 0;
    std::uint64_t offset = 0;
    BlockHeader header;
    BlockSummary summary; // in the current column order (columns the file lacks: zero)
};

struct IndexedSegment {
    QString path;
    FileSchema schema;
    std::vector<int> columnMap; // current column -> file column, or -1
    std::uint64_t bytes = 0;
};

class ArchiveReader {
public:
    // Reads the index of a cabinet folder. verifyRecords: also check every block's records
    // (slow; for hq3746ctl history check).
    static Expected<ArchiveReader> open(const QString& directory, bool verifyRecords = false);

    const QString& directory() const { return directory_; }
    // The key the files name (the folder's name when they name none).
    const std::string& key() const { return key_; }
    bool writerActive() const { return writerActive_; }

    const std::vector<IndexedBlock>& blocks() const { return blocks_; }
    const std::vector<IndexedSegment>& segments() const { return segments_; }
    // Rows of the block being filled, from the journal.
    const std::vector<Row>& tail() const { return tail_; }
    // Problems found so far; each is reported once (takeProblems empties the list).
    const std::vector<Problem>& problems() const { return problems_; }
    std::vector<Problem> takeProblems();

    std::uint64_t recordCount() const;
    std::uint64_t bytesOnDisk() const { return bytes_; }
    // Smallest and largest time stamp; nothing when there are no records.
    std::optional<std::int64_t> firstTimeMs() const;
    std::optional<std::int64_t> lastTimeMs() const;

    // The rows of one block, in the current column order. A damaged block gives an error, is
    // reported as a problem and is removed from the index (indices after it move down by one).
    Expected<std::vector<Row>> readBlock(std::size_t index);

private:
    QString directory_;
    std::string key_;
    bool writerActive_ = false;
    std::vector<IndexedSegment> segments_;
    std::vector<IndexedBlock> blocks_;
    std::vector<Row> tail_;
    std::vector<Problem> problems_;
    std::uint64_t bytes_ = 0;
};

// Whether a writer holds the cabinet folder's lock now.
bool writerIsActive(const QString& directory);

} // namespace hq::history
