#include "history/history_recorder.h"

#include "history/archive_location.h"

namespace hq::history {

HistoryRecorder::HistoryRecorder(RecorderOptions options) : options_(std::move(options)) {
    queue_.reserve(4096);
    thread_ = std::thread([this] { run(); });
}

HistoryRecorder::~HistoryRecorder() {
    {
        std::lock_guard g(mutex_);
        stop_ = true;
    }
    wake_.notify_one();
    thread_.join();
}

void HistoryRecorder::beginCabinet(const QString& usbSerial) {
    usbSerial_ = usbSerial;
    held_ = true;
    std::lock_guard g(mutex_);
    changes_.push_back({queue_.size(), {}, usbSerial});
}

void HistoryRecorder::setSerialNumber(std::int32_t serialNumber) {
    const std::string key = cabinetKey(serialNumber, usbSerial_);
    if (!held_ && key == key_)
        return;
    held_ = false;
    key_ = key;
    std::lock_guard g(mutex_);
    changes_.push_back({queue_.size(), key, {}});
}

void HistoryRecorder::append(std::int64_t utcMs, const protocol::StatusRecord& record) {
    append(rowFromStatus(utcMs, record));
}

void HistoryRecorder::append(const Row& row) {
    std::lock_guard g(mutex_);
    queue_.push_back(row);
    ++queued_;
}

QString HistoryRecorder::currentDirectory() const {
    std::lock_guard g(mutex_);
    return directory_;
}

void HistoryRecorder::sync() {
    std::unique_lock g(mutex_);
    const std::uint64_t target = queued_;
    flushNow_ = true;
    wake_.notify_one();
    done_.wait(g, [&] { return written_ >= target || stop_; });
}

bool HistoryRecorder::syncFor(std::chrono::milliseconds limit, std::uint64_t* target) {
    std::unique_lock g(mutex_);
    const std::uint64_t wanted = queued_;
    if (target)
        *target = wanted;
    flushNow_ = true;
    wake_.notify_one();
    return done_.wait_for(g, limit, [&] { return written_ >= wanted || stop_; });
}

bool HistoryRecorder::written(std::uint64_t target) const {
    std::lock_guard g(mutex_);
    return written_ >= target || stop_;
}

void HistoryRecorder::run() {
    std::vector<Row> rows;
    std::vector<Change> changes;
    rows.reserve(4096);
    for (;;) {
        bool stopping = false;
        std::uint64_t generation = 0;
        {
            std::unique_lock g(mutex_);
            wake_.wait_for(g, options_.flushInterval, [this] { return stop_ || flushNow_; });
            flushNow_ = false;
            rows.swap(queue_);
            changes.swap(changes_);
            stopping = stop_;
            generation = queued_;
        }
        process(rows, changes);
        rows.clear();
        changes.clear();
        if (writer_)
            if (auto r = writer_->flush(); !r && options_.notice)
                options_.notice(r.error().message);
        {
            std::lock_guard g(mutex_);
            written_ = generation;
            directory_ = writer_ ? writer_->directory() : QString();
        }
        done_.notify_all();
        if (stopping)
            break;
    }
    // Records still held when the program ends go under the USB serial text (or "unknown").
    if (holding_ && !pending_.empty())
        switchTo(cabinetKey(0, heldUsbSerial_));
    if (writer_) {
        if (auto r = writer_->close(); !r && options_.notice)
            options_.notice(r.error().message);
        writer_.reset();
    }
}

void HistoryRecorder::process(std::vector<Row>& rows, std::vector<Change>& changes) {
    std::size_t from = 0;
    auto take = [&](std::size_t to) {
        for (std::size_t i = from; i < to; ++i) {
            if (holding_) {
                pending_.push_back(rows[i]);
            } else if (writer_) {
                if (auto r = writer_->append(rows[i]); !r && options_.notice)
                    options_.notice(r.error().message);
            }
        }
        from = to;
    };
    for (const Change& c : changes) {
        take(c.at);
        if (c.key.empty()) {
            // A new cabinet: what an earlier one left unidentified goes under its fallback key.
            if (holding_ && !pending_.empty())
                switchTo(cabinetKey(0, heldUsbSerial_));
            holding_ = true;
            heldUsbSerial_ = c.usbSerial;
        } else {
            switchTo(c.key);
        }
    }
    take(rows.size());
}

void HistoryRecorder::switchTo(const std::string& key) {
    if (!writer_ || key != writerKey_) {
        if (writer_) {
            if (auto r = writer_->close(); !r && options_.notice)
                options_.notice(r.error().message);
            writer_.reset();
        }
        std::vector<std::string> notices;
        auto w = ArchiveWriter::open(cabinetDirectory(options_.root, key), key, options_.writer,
                                     notices);
        if (options_.notice)
            for (const auto& n : notices)
                options_.notice(n);
        if (w) {
            writer_ = std::move(*w);
            writerKey_ = key;
        } else {
            writerKey_.clear();
            if (options_.notice)
                options_.notice(w.error().message);
        }
        // Known at once, not only when the records taken with it are written.
        std::lock_guard g(mutex_);
        directory_ = writer_ ? writer_->directory() : QString();
    }
    holding_ = false;
    for (const Row& r : pending_)
        if (writer_)
            if (auto a = writer_->append(r); !a && options_.notice)
                options_.notice(a.error().message);
    pending_.clear();
}

} // namespace hq::history
