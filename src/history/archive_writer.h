// Writing one cabinet's history: rows go into the block being filled, which is mirrored into the
// journal (so that a killed process loses nothing flushed); a full block is encoded, appended to
// the current segment and synced, and the journal starts again. At most one writer per cabinet
// folder, guarded by a lock file.
//
// Threads: one writer object is used by one thread (the recorder's writer thread, or the
// command-line tool's main thread).
#pragma once

#include "core/expected.h"
#include "history/columns.h"
#include "platform/append_file.h"

#include <QString>

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

class QLockFile;

namespace hq::history {

struct WriterOptions {
    std::uint32_t blockRecords = 1024;           // rows per block
    std::int64_t maxAgeMs = 400ll * 86400000;    // retention: segments older than this go
    std::uint64_t maxBytes = 2ull << 30;         // retention: the folder is kept below this
    std::uint64_t maxSegmentBytes = 64ull << 20; // a segment also ends at a UTC day boundary
    std::function<std::int64_t()> nowMs;         // the clock for retention; default system clock
};

class ArchiveWriter {
public:
    // Takes the cabinet folder's lock, repairs a torn end of the newest segment, takes the
    // journal's rows back into the open block and applies the retention. What it repaired or
    // dropped is added to `notices` (one line each).
    static Expected<std::unique_ptr<ArchiveWriter>> open(const QString& directory,
                                                         const std::string& key,
                                                         const WriterOptions& options,
                                                         std::vector<std::string>& notices);
    ~ArchiveWriter();
    ArchiveWriter(const ArchiveWriter&) = delete;
    ArchiveWriter& operator=(const ArchiveWriter&) = delete;

    // Adds a row to the open block; a full block is sealed (written, synced, journal reset).
    Expected<void> append(const Row& row);
    // Writes the rows not yet in the journal to it, in one write.
    Expected<void> flush();
    // Seals the open block (however few rows it has) and empties the journal.
    Expected<void> close();

    const QString& directory() const { return directory_; }
    std::uint64_t nextSequence() const { return openFirst_ + open_.size(); }
    std::size_t openRows() const { return open_.size(); }
    // Retention notices since the last call (segments dropped).
    std::vector<std::string> takeNotices();

private:
    ArchiveWriter(QString directory, std::string key, WriterOptions options);
    struct Segment {
        QString path;
        std::uint64_t firstSequence = 0;
        std::int64_t firstTimeMs = 0;
        std::uint64_t bytes = 0;
    };
    Expected<void> seal();
    Expected<void> resetJournal();
    void applyRetention();

    QString directory_;
    std::string key_;
    WriterOptions options_;
    std::unique_ptr<QLockFile> lock_;
    std::vector<Segment> segments_;
    platform::AppendFile segment_; // the newest segment, open for appending (or closed)
    platform::AppendFile journal_;
    std::uint64_t journalHeaderBytes_ = 0;
    std::vector<Row> open_;
    std::uint64_t openFirst_ = 0;
    std::size_t journaled_ = 0;
    std::string scratch_;
    std::vector<std::string> notices_;
};

} // namespace hq::history
