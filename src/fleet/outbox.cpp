#include "fleet/outbox.h"

#include <QDir>
#include <QFile>
#include <QSaveFile>

#include <algorithm>

namespace hq::fleet {

namespace {

constexpr char kPositionKey[] = "acknowledged-below=";

QString safeName(const QString& s) {
    QString out;
    for (const QChar c : s) {
        const bool plain = (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') ||
                           (c >= u'0' && c <= u'9') || c == u'-' || c == u'_' || c == u'.';
        out += plain ? c : QChar(u'_');
    }
    return out;
}

} // namespace

QString positionFileName(const QString& host, int port, const QString& topicPrefix) {
    return QStringLiteral("mqtt-%1-%2-%3.position")
        .arg(safeName(host))
        .arg(port)
        .arg(safeName(topicPrefix));
}

Outbox::Outbox(QString directory, QString positionFile, std::size_t memoryRecords)
    : directory_(std::move(directory)), positionFile_(std::move(positionFile)),
      memoryRecords_(std::max<std::size_t>(1, memoryRecords)) {}

QString Outbox::positionPath() const {
    return QDir(directory_).filePath(positionFile_);
}

Expected<void> Outbox::open(std::uint64_t firstSequenceOfThisRun) {
    end_ = std::max(end_, firstSequenceOfThisRun);
    next_ = firstSequenceOfThisRun;
    QFile f(positionPath());
    if (!f.exists())
        return {};
    if (!f.open(QIODevice::ReadOnly))
        return failure("The position file \"" + positionPath().toStdString() +
                       "\" cannot be read: " + f.errorString().toStdString());
    const QByteArray content = f.read(256).trimmed();
    bool ok = false;
    std::uint64_t position = 0;
    if (content.startsWith(kPositionKey))
        position = content.mid(int(sizeof kPositionKey) - 1).toULongLong(&ok);
    if (!ok)
        return failure("The position file \"" + positionPath().toStdString() +
                       "\" is damaged; publishing starts with the records from now on.");
    if (position > firstSequenceOfThisRun)
        return failure("The position file \"" + positionPath().toStdString() +
                       "\" is ahead of the stored history (was the history removed?); "
                       "publishing starts with the records from now on.");
    next_ = position;
    saved_ = position;
    everSaved_ = true;
    return {};
}

void Outbox::push(std::uint64_t sequence, const history::Row& row) {
    if (!recent_.empty() && sequence != recent_.back().sequence + 1)
        recent_.clear(); // a gap (a record that could not be stored): memory starts again
    recent_.push_back({sequence, row});
    while (recent_.size() > memoryRecords_)
        recent_.pop_front();
    end_ = std::max(end_, sequence + 1);
}

std::optional<OutboxRecord> Outbox::next() {
    while (next_ < end_) {
        const std::uint64_t s = next_;
        std::optional<OutboxRecord> found;
        if (!recent_.empty() && s >= recent_.front().sequence &&
            s - recent_.front().sequence < recent_.size())
            found = recent_[std::size_t(s - recent_.front().sequence)];
        else
            found = fromHistory(s);
        if (found) {
            next_ = s + 1;
            inFlight_.insert(s);
            return found;
        }
        // Not there any more: go on with the next record that is.
        std::uint64_t resume = end_;
        if (!recent_.empty() && recent_.front().sequence > s)
            resume = std::min(resume, recent_.front().sequence);
        if (reader_) {
            std::uint64_t tailStart = 0;
            for (const auto& b : reader_->blocks()) {
                if (b.header.firstSequence > s)
                    resume = std::min(resume, b.header.firstSequence);
                tailStart = std::max(tailStart, b.header.endSequence());
            }
            if (!reader_->tail().empty() && tailStart > s)
                resume = std::min(resume, tailStart);
        }
        skipped_ += resume - s;
        next_ = resume;
    }
    return std::nullopt;
}

std::optional<OutboxRecord> Outbox::fromHistory(std::uint64_t s) {
    if (!block_.empty() && s >= blockFirst_ && s - blockFirst_ < block_.size())
        return OutboxRecord{s, block_[std::size_t(s - blockFirst_)]};
    if (!reader_ || s >= readerEnd_) {
        auto reader = history::ArchiveReader::open(directory_);
        if (!reader)
            return std::nullopt;
        reader_.emplace(std::move(*reader));
        std::uint64_t end = 0;
        for (const auto& b : reader_->blocks())
            end = std::max(end, b.header.endSequence());
        readerEnd_ = end + reader_->tail().size();
        block_.clear();
    }
    std::uint64_t tailStart = 0;
    for (std::size_t i = 0; i < reader_->blocks().size(); ++i) {
        const auto& h = reader_->blocks()[i].header;
        tailStart = std::max(tailStart, h.endSequence());
        if (s < h.firstSequence || s >= h.endSequence())
            continue;
        const std::uint64_t first = h.firstSequence;
        auto rows = reader_->readBlock(i);
        if (!rows)
            return std::nullopt; // damaged: dropped from the index, skipped
        block_ = std::move(*rows);
        blockFirst_ = first;
        if (s - blockFirst_ < block_.size())
            return OutboxRecord{s, block_[std::size_t(s - blockFirst_)]};
        return std::nullopt;
    }
    const auto& tail = reader_->tail();
    if (s >= tailStart && s - tailStart < tail.size())
        return OutboxRecord{s, tail[std::size_t(s - tailStart)]};
    return std::nullopt;
}

void Outbox::retract(std::uint64_t sequence) {
    if (sequence + 1 != next_ || !inFlight_.erase(sequence))
        return;
    next_ = sequence;
}

void Outbox::acknowledged(std::uint64_t sequence) {
    inFlight_.erase(sequence);
}

void Outbox::rewind() {
    next_ = position();
    inFlight_.clear();
}

std::uint64_t Outbox::position() const {
    return inFlight_.empty() ? next_ : std::min(next_, *inFlight_.begin());
}

Expected<void> Outbox::save() {
    const std::uint64_t p = position();
    if (everSaved_ && p == saved_)
        return {};
    QDir().mkpath(directory_);
    QSaveFile f(positionPath());
    if (!f.open(QIODevice::WriteOnly))
        return failure("The position file \"" + positionPath().toStdString() +
                       "\" cannot be written: " + f.errorString().toStdString());
    const QByteArray line = QByteArray(kPositionKey) + QByteArray::number(qulonglong(p)) + '\n';
    if (f.write(line) != line.size() || !f.commit())
        return failure("The position file \"" + positionPath().toStdString() +
                       "\" cannot be written: " + f.errorString().toStdString());
    saved_ = p;
    everSaved_ = true;
    return {};
}

} // namespace hq::fleet
