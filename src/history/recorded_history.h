// The service window's "Verlauf": the history viewer over the cabinet being recorded, opened on
// a click without making the window wait for the disk.
//
// Threads: the user-interface thread.
#pragma once

#include <QString>

#include <chrono>
#include <functional>

class QWidget;

namespace hq::service {
class InternForm;
}

namespace hq::history {

class HistoryRecorder;
class HistoryViewer;

// How long a click waits for the writer thread to put the newest records into the journal. That
// takes it a millisecond or so; only while it seals a block (written and synced to the disk) can
// it take longer, and the window does not wait for that.
inline constexpr std::chrono::milliseconds kNewestRecordsWait{100};

// Opens the viewer (a window of `parent`, deleted when closed) over the folder of the cabinet
// being recorded. When the writer thread has not got to the newest records within `wait`, the
// viewer shows what is on disk and reads the folder again once they are there. Null with the
// reason in `error` when nothing has been stored yet or the folder cannot be read.
HistoryViewer* openRecordedHistory(HistoryRecorder& recorder, const QString& root, QWidget* parent,
                                   QString* error,
                                   std::chrono::milliseconds wait = kNewestRecordsWait);

// The service window's "Verlauf" opens the viewer over the history `recorder` writes under
// `root`; what goes wrong goes to `showError`.
void connectHistoryButton(service::InternForm& intern, HistoryRecorder& recorder, QString root,
                          std::function<void(const QString&)> showError);

} // namespace hq::history
