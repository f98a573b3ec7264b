// Keeps every status record of the claimed cabinet in its stored history without making the
// user-interface thread wait for the disk: append() only queues the record; a writer thread
// takes the queue a few times a second, writes the journal (so a killed program loses nothing
// older than that) and seals full blocks into the segments.
//
// Records that arrive before the cabinet's serial number is known are held and written under
// it once the configuration reply tells it (serial number 0: the USB serial text, or
// "unknown"). A new cabinet (another device claimed) starts a new identity.
//
// Threads: beginCabinet, setSerialNumber and append run on one thread (the user-interface
// thread); currentDirectory, sync, syncFor and written from any thread. The writer thread owns the
// ArchiveWriter; the queue between them is guarded by mutex_. Notices are passed to the notice
// handler on the writer thread.
#pragma once

#include "history/archive_writer.h"
#include "history/columns.h"
#include "protocol/reply.h"

#include <QString>

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace hq::history {

struct RecorderOptions {
    QString root;                                 // the history root folder
    WriterOptions writer;                         // block size, retention
    std::chrono::milliseconds flushInterval{250}; // how often the writer thread wakes
    // Called on the writer thread with one line for people: a second writer, a repaired file.
    std::function<void(const std::string&)> notice;
};

class HistoryRecorder {
public:
    explicit HistoryRecorder(RecorderOptions options);
    // Writes everything queued and seals the open block.
    ~HistoryRecorder();
    HistoryRecorder(const HistoryRecorder&) = delete;
    HistoryRecorder& operator=(const HistoryRecorder&) = delete;

    // A cabinet was claimed: its records are held until setSerialNumber.
    void beginCabinet(const QString& usbSerial);
    // From each configuration reply.
    void setSerialNumber(std::int32_t serialNumber);
    // One decoded status record with its time stamp (UTC milliseconds).
    void append(std::int64_t utcMs, const protocol::StatusRecord& record);
    void append(const Row& row);

    // The folder of the cabinet being written ("" before the serial number is known).
    QString currentDirectory() const;
    // Waits until everything queued so far is in the journal (tests, shutdown).
    void sync();
    // The same, waiting at most `limit`: false when the writer thread is still at work then (a
    // block being sealed waits for the disk). `target` (if given) is what written() takes to
    // tell later whether those records have got there.
    bool syncFor(std::chrono::milliseconds limit, std::uint64_t* target = nullptr);
    bool written(std::uint64_t target) const;

private:
    struct Change {
        std::size_t at;    // index into the queue where the new identity begins
        std::string key;   // empty: a new cabinet, held until its serial number is known
        QString usbSerial; // of the new cabinet
    };
    void run();
    void process(std::vector<Row>& rows, std::vector<Change>& changes);
    void switchTo(const std::string& key);

    RecorderOptions options_;
    // UI thread side.
    QString usbSerial_;
    std::string key_; // the identity queued last
    bool held_ = true;

    mutable std::mutex mutex_;
    std::condition_variable wake_;
    std::condition_variable done_;
    std::vector<Row> queue_;
    std::vector<Change> changes_;
    bool stop_ = false;
    std::uint64_t queued_ = 0, written_ = 0; // generations for sync()
    bool flushNow_ = false;
    QString directory_;

    // Writer thread side.
    std::unique_ptr<ArchiveWriter> writer_;
    std::string writerKey_;
    bool holding_ = true;
    QString heldUsbSerial_;    // the held records' cabinet's USB serial text
    std::vector<Row> pending_; // held until the serial number is known
    std::thread thread_;
};

} // namespace hq::history
