// The chart's editor dialog ("Exp Edit") and export dialog ("Speichern").
#pragma once

#include "service/chart_settings.h"

#include <QDialog>

#include <memory>

namespace Ui {
class ChartEditorDialog;
class ChartExportDialog;
} // namespace Ui

namespace hq::service {

class MeasurementChart;

class ChartEditorDialog : public QDialog {
    Q_OBJECT
public:
    explicit ChartEditorDialog(const ChartSettings& settings, QWidget* parent = nullptr);
    ~ChartEditorDialog() override;
    // The settings as edited so far.
    ChartSettings settings() const;

private:
    void pickColour(QColor& colour, QWidget* button);
    std::unique_ptr<Ui::ChartEditorDialog> ui_;
    ChartSettings settings_;
};

class ChartExportDialog : public QDialog {
    Q_OBJECT
public:
    explicit ChartExportDialog(MeasurementChart& chart, QWidget* parent = nullptr);
    ~ChartExportDialog() override;

private:
    void saveImage();
    void saveCsv(bool visibleOnly);
    std::unique_ptr<Ui::ChartExportDialog> ui_;
    MeasurementChart& chart_;
};

// Runs the editor for the chart and applies what the user accepted. Returns true if accepted.
bool runChartEditor(MeasurementChart& chart, QWidget* parent);
// Runs the export dialog for the chart, modally.
void runChartExport(MeasurementChart& chart, QWidget* parent);

} // namespace hq::service
