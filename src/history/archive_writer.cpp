#include "history/archive_writer.h"

#include "history/archive_location.h"
#include "history/file_source.h"
#include "history/segment_format.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLockFile>
#include <QSaveFile>

#include <algorithm>
#include <cstring>

namespace hq::history {

namespace {

constexpr std::int64_t kDayMs = 86400000;

std::int64_t dayOf(std::int64_t ms) {
    return ms >= 0 ? ms / kDayMs : -((-ms + kDayMs - 1) / kDayMs);
}

std::string utf8(const QString& s) {
    return s.toStdString();
}

QString segmentName(std::uint64_t firstSequence) {
    return QStringLiteral("%1").arg(firstSequence, 20, 10, QLatin1Char('0')) +
           QString::fromLatin1(kSegmentSuffix);
}

FileSchema currentSchema(const std::string& key) {
    return FileSchema{key, statusColumns()};
}

} // namespace

ArchiveWriter::ArchiveWriter(QString directory, std::string key, WriterOptions options)
    : directory_(std::move(directory)), key_(std::move(key)), options_(std::move(options)) {
    if (!options_.nowMs)
        options_.nowMs = [] { return QDateTime::currentMSecsSinceEpoch(); };
    options_.blockRecords = std::clamp<std::uint32_t>(options_.blockRecords, 1, kMaxBlockRecords);
}

ArchiveWriter::~ArchiveWriter() {
    if (lock_)
        (void)close();
}

Expected<std::unique_ptr<ArchiveWriter>> ArchiveWriter::open(const QString& directory,
                                                             const std::string& key,
                                                             const WriterOptions& options,
                                                             std::vector<std::string>& notices) {
    if (!QDir().mkpath(directory))
        return failure("Cannot create the history folder \"" + utf8(directory) + "\".");
    std::unique_ptr<ArchiveWriter> w(new ArchiveWriter(directory, key, options));
    auto lock = std::make_unique<QLockFile>(directory + QLatin1Char('/') +
                                            QString::fromLatin1(kLockFileName));
    // A lock left by a process that no longer runs is taken over; a living one is never.
    lock->setStaleLockTime(0);
    if (!lock->tryLock(2000)) {
        qint64 pid = 0;
        QString host, app;
        lock->getLockInfo(&pid, &host, &app);
        if (lock->error() == QLockFile::LockFailedError)
            return failure("The history of cabinet " + key + " is already being written by " +
                           (app.isEmpty() ? std::string("another program") : utf8(app)) +
                           " (process " + std::to_string(pid) +
                           (host.isEmpty() ? std::string() : " on " + utf8(host)) +
                           "); this program does not store it.");
        return failure("Cannot lock the history folder \"" + utf8(directory) + "\".");
    }
    w->lock_ = std::move(lock);

    // The segments, oldest first (their names are their first sequence numbers).
    const QDir dir(directory);
    const QStringList names = dir.entryList(
        {QStringLiteral("*") + QString::fromLatin1(kSegmentSuffix)}, QDir::Files, QDir::Name);
    for (const QString& name : names) {
        Segment s;
        s.path = dir.filePath(name);
        s.firstSequence = name.left(name.size() - int(std::strlen(kSegmentSuffix))).toULongLong();
        s.bytes = std::uint64_t(QFileInfo(s.path).size());
        w->segments_.push_back(s);
    }

    // The newest segment is checked fully: a torn end is cut off (its rows are still in the
    // journal), a segment whose header never got written is removed.
    std::uint64_t next = 0;
    bool haveNext = false;
    while (!w->segments_.empty()) {
        Segment& s = w->segments_.back();
        FileSource src(s.path);
        const SegmentScan scan = scanSegment(src, /*verifyRecords=*/true);
        if (!scan.headerOk) {
            if (s.bytes < 65536) {
                QFile::remove(s.path);
                notices.push_back(utf8(QFileInfo(s.path).fileName()) +
                                  ": removed a segment whose header was never completed");
                w->segments_.pop_back();
                continue;
            }
            return failure("The history segment \"" + utf8(s.path) +
                           "\" cannot be read: " + scan.headerError);
        }
        for (const Problem& p : scan.damaged) {
            Problem q = p;
            q.file = utf8(QFileInfo(s.path).fileName());
            notices.push_back(describeProblem(q));
        }
        if (scan.tailBytes > 0) {
            auto f = platform::AppendFile::open(utf8(s.path));
            if (!f)
                return f.error();
            if (auto t = f->truncate(scan.validEnd); !t)
                return t.error();
            notices.push_back(utf8(QFileInfo(s.path).fileName()) +
                              ": dropped a torn block at byte " + std::to_string(scan.validEnd) +
                              " (" + std::to_string(scan.tailBytes) + " bytes)");
            s.bytes = scan.validEnd;
        }
        if (scan.blocks.empty()) {
            // Only a header: nothing to keep.
            QFile::remove(s.path);
            w->segments_.pop_back();
            continue;
        }
        {
            s.firstTimeMs = scan.blocks.front().header.minTimeMs;
            for (const auto& b : scan.blocks)
                next = std::max(next, b.header.endSequence());
            haveNext = true;
        }
        break;
    }
    // First times of the older segments (for retention), and the sequence if the newest was empty.
    for (std::size_t i = 0; i + 1 < w->segments_.size(); ++i) {
        Segment& s = w->segments_[i];
        FileSource src(s.path);
        std::vector<std::uint8_t> buf;
        src.read(0, 12, buf);
        const std::size_t hl = fileHeaderLength(kSegmentMagic, buf);
        src.read(hl, kBlockHeaderSize, buf);
        if (const auto h = parseBlockHeader(buf)) {
            s.firstTimeMs = h->minTimeMs;
            if (!haveNext)
                next = std::max(next, h->endSequence());
        }
        if (!haveNext)
            next = std::max(next, s.firstSequence);
    }
    w->openFirst_ = next;

    // The journal: its rows not yet in a block become the open block again.
    const QString journalPath = dir.filePath(QString::fromLatin1(kJournalFileName));
    std::vector<Row> recovered;
    {
        QFile jf(journalPath);
        if (jf.exists() && jf.open(QIODevice::ReadOnly)) {
            const QByteArray all = jf.readAll();
            const std::span<const std::uint8_t> bytes(
                reinterpret_cast<const std::uint8_t*>(all.constData()), std::size_t(all.size()));
            auto header = parseFileHeader(kJournalMagic, bytes);
            if (!header) {
                if (!all.isEmpty())
                    notices.push_back(std::string(kJournalFileName) + ": " +
                                      header.error().message + "; its rows are lost");
            } else {
                const auto& cols = header->schema.columns;
                const std::vector<int> map = columnMap(cols);
                const std::size_t size = journalEntrySize(cols.size());
                std::size_t bad = 0;
                for (std::size_t at = header->length; at + size <= bytes.size(); at += size) {
                    const auto e = parseJournalEntry(bytes.subspan(at, size), cols);
                    if (!e) {
                        ++bad;
                        continue;
                    }
                    if (e->sequence < next)
                        continue; // already in a block
                    Row row;
                    row.timeMs = e->timeMs;
                    for (std::size_t k = 0; k < map.size(); ++k)
                        row.values[k] = map[k] >= 0 ? e->values[std::size_t(map[k])] : 0;
                    recovered.push_back(row);
                }
                if (bad > 0)
                    notices.push_back(std::string(kJournalFileName) + ": " + std::to_string(bad) +
                                      " damaged entries skipped");
            }
        }
    }
    // A fresh journal holding exactly the recovered rows.
    {
        QSaveFile out(journalPath);
        if (!out.open(QIODevice::WriteOnly))
            return failure("Cannot write \"" + utf8(journalPath) +
                           "\": " + utf8(out.errorString()));
        const std::string header = encodeFileHeader(kJournalMagic, currentSchema(key));
        std::string body = header;
        for (std::size_t i = 0; i < recovered.size(); ++i)
            encodeJournalEntry(next + i, recovered[i], kFieldColumns, body);
        out.write(body.data(), qint64(body.size()));
        if (!out.commit())
            return failure("Cannot write \"" + utf8(journalPath) +
                           "\": " + utf8(out.errorString()));
        w->journalHeaderBytes_ = header.size();
    }
    auto journal = platform::AppendFile::open(utf8(journalPath));
    if (!journal)
        return journal.error();
    w->journal_ = std::move(*journal);
    w->open_ = std::move(recovered);
    w->journaled_ = w->open_.size();
    while (w->open_.size() >= w->options_.blockRecords)
        if (auto s = w->seal(); !s)
            return s.error();
    w->applyRetention();
    for (auto& n : w->takeNotices())
        notices.push_back(std::move(n));
    return w;
}

Expected<void> ArchiveWriter::append(const Row& row) {
    open_.push_back(row);
    if (open_.size() >= options_.blockRecords)
        return seal();
    return {};
}

Expected<void> ArchiveWriter::flush() {
    if (journaled_ >= open_.size())
        return {};
    scratch_.clear();
    for (std::size_t i = journaled_; i < open_.size(); ++i)
        encodeJournalEntry(openFirst_ + i, open_[i], kFieldColumns, scratch_);
    if (auto r = journal_.append(scratch_.data(), scratch_.size()); !r)
        return r;
    journaled_ = open_.size();
    return {};
}

Expected<void> ArchiveWriter::seal() {
    if (open_.empty())
        return {};
    const std::size_t n = std::min<std::size_t>(open_.size(), options_.blockRecords);
    const std::string block = encodeBlock(std::span(open_).first(n), openFirst_, statusColumns());
    std::int64_t minTime = open_[0].timeMs;
    for (std::size_t i = 1; i < n; ++i)
        minTime = std::min(minTime, open_[i].timeMs);

    const bool newSegment = segments_.empty() ||
                            dayOf(minTime) != dayOf(segments_.back().firstTimeMs) ||
                            segments_.back().bytes + block.size() > options_.maxSegmentBytes ||
                            segments_.back().bytes == 0;
    if (newSegment) {
        segment_.close();
        Segment s;
        s.firstSequence = openFirst_;
        s.firstTimeMs = minTime;
        s.path = directory_ + QLatin1Char('/') + segmentName(openFirst_);
        auto f = platform::AppendFile::open(utf8(s.path));
        if (!f)
            return f.error();
        if (f->size() != 0)
            (void)f->truncate(0); // a file of this name can only be a failed earlier start
        const std::string header = encodeFileHeader(kSegmentMagic, currentSchema(key_));
        if (auto r = f->append(header.data(), header.size()); !r)
            return r;
        s.bytes = header.size();
        segment_ = std::move(*f);
        segments_.push_back(s);
    } else if (!segment_.isOpen()) {
        auto f = platform::AppendFile::open(utf8(segments_.back().path));
        if (!f)
            return f.error();
        segment_ = std::move(*f);
    }
    const std::uint64_t before = segment_.size();
    if (auto r = segment_.append(block.data(), block.size()); !r) {
        (void)segment_.truncate(before); // keep the segment whole; the rows stay in the journal
        return r;
    }
    if (auto r = segment_.sync(); !r)
        return r;
    segments_.back().bytes = segment_.size();
    open_.erase(open_.begin(), open_.begin() + std::ptrdiff_t(n));
    openFirst_ += n;
    if (auto r = resetJournal(); !r)
        return r;
    if (newSegment)
        applyRetention();
    return {};
}

Expected<void> ArchiveWriter::resetJournal() {
    // Rows that are left over (more than one block's worth) are written back after the header.
    if (auto r = journal_.truncate(journalHeaderBytes_); !r)
        return r;
    journaled_ = 0;
    return flush();
}

Expected<void> ArchiveWriter::close() {
    if (!lock_)
        return {};
    Expected<void> result = flush();
    while (result && !open_.empty())
        result = seal();
    segment_.close();
    journal_.close();
    lock_->unlock();
    lock_.reset();
    return result;
}

void ArchiveWriter::applyRetention() {
    const std::int64_t cutoff = options_.nowMs() - options_.maxAgeMs;
    auto drop = [this](const char* why) {
        const Segment s = segments_.front();
        if (QFile::remove(s.path))
            notices_.push_back(utf8(QFileInfo(s.path).fileName()) + ": removed (" + why + ")");
        segments_.erase(segments_.begin());
    };
    // A segment's last record is older than the next segment's first one.
    while (segments_.size() > 1 && segments_[1].firstTimeMs <= cutoff)
        drop("older than the retention age");
    std::uint64_t total = journal_.size();
    for (const Segment& s : segments_)
        total += s.bytes;
    while (segments_.size() > 1 && total > options_.maxBytes) {
        total -= segments_.front().bytes;
        drop("the history exceeded its size limit");
    }
}

std::vector<std::string> ArchiveWriter::takeNotices() {
    return std::exchange(notices_, {});
}

} // namespace hq::history
