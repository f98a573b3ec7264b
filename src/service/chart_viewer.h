// A chart file in its own read-only window (also for "--open-chart FILE").
#pragma once

#include <QString>
#include <QWidget>

#include <memory>

namespace Ui {
class ChartViewer;
}

namespace hq::service {

class MeasurementChart;

class ChartViewer : public QWidget {
    Q_OBJECT
public:
    explicit ChartViewer(QWidget* parent = nullptr);
    ~ChartViewer() override;
    // Loads a chart file; on failure returns the error text and leaves the window empty.
    QString load(const QString& path);
    MeasurementChart* chart() const;

private:
    std::unique_ptr<Ui::ChartViewer> ui_;
};

// Opens the file in a new viewer window (deleted when closed) and shows it. Returns the window,
// or null with the reason in `error`.
ChartViewer* openChartWindow(const QString& path, QWidget* parent, QString* error);

} // namespace hq::service
