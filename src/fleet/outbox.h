// The records of one cabinet on their way to a broker. The cabinet's stored history is the
// outbox: every record is there (with its sequence number) before it is offered to the broker,
// and the position up to which the broker has acknowledged every record is kept in a file in
// the cabinet's history folder. So a broker that is away, a cut network or a restart of the
// publisher costs no record: what the broker has not acknowledged is offered again, from the
// newest records in memory or from the stored history further back. Records are offered in
// sequence order; one the broker acknowledges out of order moves the position only when every
// earlier one is acknowledged too.
//
// A cabinet that was never published to this broker starts with the records of this run; the
// history it had before is not sent (hq3746ctl history export gives it).
//
// One thread (the publisher's).
#pragma once

#include "core/expected.h"
#include "history/archive_reader.h"
#include "history/columns.h"

#include <QString>

#include <cstdint>
#include <deque>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace hq::fleet {

struct OutboxRecord {
    std::uint64_t sequence = 0;
    history::Row row;
};

class Outbox {
public:
    // directory: the cabinet's history folder; positionFile: the file name (in that folder) of
    // the acknowledged position for one broker and topic prefix. memoryRecords: how many of the
    // newest records are kept in memory (older ones are read back from the stored history).
    Outbox(QString directory, QString positionFile, std::size_t memoryRecords = 4096);

    // Reads the position file. Without one, publishing starts at firstSequenceOfThisRun. A
    // damaged file is reported and treated like a missing one.
    Expected<void> open(std::uint64_t firstSequenceOfThisRun);

    // A record that has just gone into the stored history (sequence numbers rise by one).
    void push(std::uint64_t sequence, const history::Row& row);

    // The next record to offer, or nothing when every stored record has been offered. Records
    // the stored history no longer has (retention, a damaged block) are skipped and counted.
    std::optional<OutboxRecord> next();
    // Takes back the record next() gave last (it could not be sent), to be offered again.
    void retract(std::uint64_t sequence);
    // The broker took responsibility for this record.
    void acknowledged(std::uint64_t sequence);
    // Offers every record not yet acknowledged again (the connection that carried them is gone
    // and will not deliver them).
    void rewind();

    // Every record below this sequence number has been acknowledged.
    std::uint64_t position() const;
    // Records stored but not yet acknowledged.
    std::uint64_t backlog() const { return end_ > position() ? end_ - position() : 0; }
    // Offered and waiting for their acknowledgement.
    std::size_t inFlight() const { return inFlight_.size(); }
    // Records that could not be read back (retention, damage) since the start.
    std::uint64_t skipped() const { return skipped_; }

    // Writes the position when it changed since the last save (atomically: a new file replaces
    // the old one).
    Expected<void> save();
    QString positionPath() const;

private:
    std::optional<OutboxRecord> fromHistory(std::uint64_t sequence);

    QString directory_;
    QString positionFile_;
    std::size_t memoryRecords_;
    std::deque<OutboxRecord> recent_; // the newest records, in sequence order
    std::uint64_t next_ = 0;          // the next sequence number to offer
    std::uint64_t end_ = 0;           // one past the newest stored record known
    std::uint64_t acknowledgedBelow_ = 0;
    std::set<std::uint64_t> inFlight_;
    std::set<std::uint64_t> early_; // acknowledged while an earlier one was still in flight
    std::uint64_t saved_ = 0;
    bool everSaved_ = false;
    std::uint64_t skipped_ = 0;
    // Reading back: one reader of the stored history, one decoded block.
    std::optional<history::ArchiveReader> reader_;
    std::uint64_t readerEnd_ = 0;
    std::vector<history::Row> block_;
    std::uint64_t blockFirst_ = 0;
};

// The position file's name for a broker and topic prefix ("mqtt-127.0.0.1-1883-hq3746.position";
// characters outside letters, digits, '-', '_' and '.' become '_').
QString positionFileName(const QString& host, int port, const QString& topicPrefix);

} // namespace hq::fleet
