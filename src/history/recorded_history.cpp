#include "history/recorded_history.h"

#include "history/history_recorder.h"
#include "history/history_viewer.h"
#include "service/intern_form.h"

#include <QDir>
#include <QTimer>

#include <cstdint>
#include <utility>

namespace hq::history {

HistoryViewer* openRecordedHistory(HistoryRecorder& recorder, const QString& root, QWidget* parent,
                                   QString* error, std::chrono::milliseconds wait) {
    std::uint64_t newest = 0;
    const bool written = recorder.syncFor(wait, &newest);
    const QString directory = recorder.currentDirectory();
    if (directory.isEmpty()) {
        if (error)
            *error = QStringLiteral("No history has been stored yet in \"%1\".")
                         .arg(QDir::toNativeSeparators(root));
        return nullptr;
    }
    HistoryViewer* viewer = openHistoryWindow(directory, parent, error);
    if (viewer && !written) {
        // The writer thread is still at work (sealing a block): once the records up to the
        // click are in the folder, the viewer reads it again and shows the chosen range up to
        // the newest of them.
        auto* poll = new QTimer(viewer);
        QObject::connect(poll, &QTimer::timeout, viewer, [viewer, poll, &recorder, newest] {
            if (!recorder.written(newest))
                return;
            poll->stop();
            poll->deleteLater();
            viewer->reload();
            viewer->showRange(viewer->range());
        });
        poll->start(50);
    }
    return viewer;
}

void connectHistoryButton(service::InternForm& intern, HistoryRecorder& recorder, QString root,
                          std::function<void(const QString&)> showError) {
    QObject::connect(
        &intern, &service::InternForm::historyRequested, &intern,
        [&intern, &recorder, root = std::move(root), showError = std::move(showError)] {
            QString error;
            if (!openRecordedHistory(recorder, root, &intern, &error) && showError)
                showError(error);
        });
}

} // namespace hq::history
