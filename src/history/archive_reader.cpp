#include "history/archive_reader.h"

#include "history/archive_location.h"
#include "history/file_source.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>

#include <algorithm>

namespace hq::history {

namespace {
std::string fileName(const QString& path) {
    return QFileInfo(path).fileName().toStdString();
}
} // namespace

bool writerIsActive(const QString& directory) {
    QLockFile lock(directory + QLatin1Char('/') + QString::fromLatin1(kLockFileName));
    lock.setStaleLockTime(0);
    if (lock.tryLock(0)) {
        lock.unlock();
        return false;
    }
    return lock.error() == QLockFile::LockFailedError;
}

Expected<ArchiveReader> ArchiveReader::open(const QString& directory, bool verifyRecords) {
    const QDir dir(directory);
    if (!dir.exists())
        return failure("There is no stored history in \"" + directory.toStdString() + "\".");
    ArchiveReader r;
    r.directory_ = directory;
    r.key_ = dir.dirName().toStdString();
    r.writerActive_ = writerIsActive(directory);
    const QStringList names = dir.entryList(
        {QStringLiteral("*") + QString::fromLatin1(kSegmentSuffix)}, QDir::Files, QDir::Name);
    bool keyFromFile = false;
    std::uint64_t endSequence = 0;
    for (qsizetype i = 0; i < names.size(); ++i) {
        IndexedSegment seg;
        seg.path = dir.filePath(names[i]);
        FileSource src(seg.path);
        seg.bytes = src.size();
        r.bytes_ += seg.bytes;
        if (!src.isOpen()) {
            r.problems_.push_back({Problem::Kind::Unreadable, fileName(seg.path), 0, 0,
                                   "cannot be opened: " + src.errorString().toStdString()});
            continue;
        }
        const bool newest = i + 1 == names.size();
        SegmentScan scan = scanSegment(src, verifyRecords);
        if (!scan.headerOk) {
            // A segment being created right now has no complete header yet.
            if (!(newest && r.writerActive_))
                r.problems_.push_back({Problem::Kind::Damaged, fileName(seg.path), 0, seg.bytes,
                                       "unreadable segment: " + scan.headerError});
            continue;
        }
        if (!keyFromFile && !scan.schema.key.empty()) {
            r.key_ = scan.schema.key;
            keyFromFile = true;
        }
        for (Problem p : scan.damaged) {
            p.file = fileName(seg.path);
            r.problems_.push_back(std::move(p));
        }
        if (scan.tailBytes > 0 && !(newest && r.writerActive_))
            r.problems_.push_back({Problem::Kind::Torn, fileName(seg.path), scan.validEnd,
                                   scan.tailBytes, "torn block dropped (the file ends inside it)"});
        seg.columnMap = columnMap(scan.schema.columns);
        seg.schema = std::move(scan.schema);
        const int index = int(r.segments_.size());
        for (ScannedBlock& b : scan.blocks) {
            IndexedBlock ib;
            ib.segment = index;
            ib.offset = b.offset;
            ib.header = b.header;
            ib.summary.resize(kFieldColumns);
            for (std::size_t k = 0; k < kFieldColumns; ++k)
                if (const int m = seg.columnMap[k]; m >= 0)
                    ib.summary[k] = b.summary[std::size_t(m)];
            endSequence = std::max(endSequence, b.header.endSequence());
            r.blocks_.push_back(std::move(ib));
        }
        r.segments_.push_back(std::move(seg));
    }

    // The journal: rows after the last block.
    QFile jf(dir.filePath(QString::fromLatin1(kJournalFileName)));
    if (jf.open(QIODevice::ReadOnly)) {
        const QByteArray all = jf.readAll();
        r.bytes_ += std::uint64_t(all.size());
        const std::span<const std::uint8_t> bytes(
            reinterpret_cast<const std::uint8_t*>(all.constData()), std::size_t(all.size()));
        if (auto header = parseFileHeader(kJournalMagic, bytes)) {
            const auto& cols = header->schema.columns;
            const std::vector<int> map = columnMap(cols);
            const std::size_t size = journalEntrySize(cols.size());
            for (std::size_t at = header->length; at + size <= bytes.size(); at += size) {
                const auto e = parseJournalEntry(bytes.subspan(at, size), cols);
                if (!e || e->sequence < endSequence)
                    continue;
                Row row;
                row.timeMs = e->timeMs;
                for (std::size_t k = 0; k < map.size(); ++k)
                    row.values[k] = map[k] >= 0 ? e->values[std::size_t(map[k])] : 0;
                r.tail_.push_back(row);
            }
            if (!keyFromFile && !header->schema.key.empty())
                r.key_ = header->schema.key;
        }
    }
    return r;
}

std::vector<Problem> ArchiveReader::takeProblems() {
    return std::exchange(problems_, {});
}

std::uint64_t ArchiveReader::recordCount() const {
    std::uint64_t n = tail_.size();
    for (const auto& b : blocks_)
        n += b.header.count;
    return n;
}

std::optional<std::int64_t> ArchiveReader::firstTimeMs() const {
    std::optional<std::int64_t> t;
    for (const auto& b : blocks_)
        t = t ? std::min(*t, b.header.minTimeMs) : b.header.minTimeMs;
    for (const auto& row : tail_)
        t = t ? std::min(*t, row.timeMs) : row.timeMs;
    return t;
}

std::optional<std::int64_t> ArchiveReader::lastTimeMs() const {
    std::optional<std::int64_t> t;
    for (const auto& b : blocks_)
        t = t ? std::max(*t, b.header.maxTimeMs) : b.header.maxTimeMs;
    for (const auto& row : tail_)
        t = t ? std::max(*t, row.timeMs) : row.timeMs;
    return t;
}

Expected<std::vector<Row>> ArchiveReader::readBlock(std::size_t index) {
    if (index >= blocks_.size())
        return failure("no such block");
    const IndexedBlock& b = blocks_[index];
    const IndexedSegment& seg = segments_[std::size_t(b.segment)];
    FileSource src(seg.path);
    std::vector<std::uint8_t> buf;
    const std::uint64_t at = b.offset + kBlockHeaderSize + b.header.summaryLength + 4;
    std::optional<DecodedColumns> cols;
    if (src.read(at, b.header.recordsLength + 4, buf))
        cols = decodeRecords(buf, b.header.count, seg.schema.columns.size());
    if (!cols) {
        Problem p{Problem::Kind::Damaged, fileName(seg.path), b.offset, b.header.totalLength,
                  "damaged block (checksum), " + std::to_string(b.header.count) +
                      " records skipped"};
        std::string text = describeProblem(p);
        problems_.push_back(std::move(p));
        blocks_.erase(blocks_.begin() + std::ptrdiff_t(index));
        return failure(std::move(text));
    }
    std::vector<Row> rows(b.header.count);
    for (std::size_t i = 0; i < rows.size(); ++i)
        rows[i].timeMs = cols->time[i];
    for (std::size_t k = 0; k < kFieldColumns; ++k) {
        const int m = seg.columnMap[k];
        if (m < 0)
            continue;
        const auto& src = cols->fields[std::size_t(m)];
        for (std::size_t i = 0; i < rows.size(); ++i)
            rows[i].values[k] = src[i];
    }
    return rows;
}

} // namespace hq::history
