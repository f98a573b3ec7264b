// The history viewer ("Verlauf", hq3746-monitor --history SERIAL): the service chart over a
// cabinet's stored history, with a choice of range, panning and zooming by mouse (drag, wheel)
// and keyboard (arrows, +/-, Home/End), the chart's editor and export, and "KOV Save" of the
// shown range as a chart file. The folder of the history is in the window's title.
#pragma once

#include "history/history_export.h"
#include "history/history_view_source.h"

#include <QString>
#include <QStringList>
#include <QWidget>

#include <cstdint>
#include <memory>
#include <set>
#include <string>
#include <tuple>

namespace Ui {
class HistoryViewer;
}
namespace hq::service {
class MeasurementChart;
}

namespace hq::history {

class HistoryViewer : public QWidget {
    Q_OBJECT
public:
    enum class Range { Hour = 0, Day = 1, Week = 2, Month = 3, All = 4 };

    explicit HistoryViewer(std::unique_ptr<HistoryViewSource> source, QWidget* parent = nullptr);
    ~HistoryViewer() override;

    service::MeasurementChart* chart() const;
    HistoryViewSource& source() { return *source_; }
    const HistoryView& view() const { return view_; }

    // Shows the last hour, day, week or month before the newest record, or everything.
    void showRange(Range range);
    // The range chosen last.
    Range range() const;
    // Pans by a fraction of the shown width (negative: back in time); zooms about the middle.
    void pan(double fraction);
    void zoom(double factor);
    // Makes the store match the shown range now (otherwise done before the next paint).
    void updateView();
    // "KOV Save" without the dialog: the shown range as a chart file. Error text.
    QString saveShownRange(const QString& chosen);
    // Reads the folder's index again (new records of a running recorder). Damaged and torn
    // places found again are not told again.
    QString reload();

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    void kovSaveClick();
    void showProblems();
    void updateTitle();
    void updateStatus();
    std::unique_ptr<Ui::HistoryViewer> ui_;
    std::unique_ptr<HistoryViewSource> source_;
    HistoryView view_;
    bool updateQueued_ = false;
    // The problems told so far, by kind, file and place: every reload reads the folder again and
    // finds the same ones again.
    std::set<std::tuple<int, std::string, std::uint64_t>> told_;
    QStringList toldLines_;
};

// Opens the cabinet folder in a new viewer window (deleted when closed). Null with the reason
// in `error` when the folder holds no readable history.
HistoryViewer* openHistoryWindow(const QString& directory, QWidget* parent, QString* error);

} // namespace hq::history
