// The service chart: QCustomPlot drawing what the history store yields for the current view,
// with a floating legend of check boxes, one per series.
#pragma once

#include "service/chart_settings.h"
#include "service/history_store.h"

#include <qcustomplot.h>

#include <QFrame>

#include <array>
#include <functional>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

class QCheckBox;

namespace hq::service {

class MeasurementChart;

// A graph that draws what the store yields for the visible range and pixel width (at most four
// points per half-pixel column), reduced together with the other shown series once per view.
class StoreGraph : public QCPGraph {
public:
    StoreGraph(MeasurementChart* chart, int series);
    int series() const { return series_; }

protected:
    void draw(QCPPainter* painter) override;
    void drawLinePlot(QCPPainter* painter, const QVector<QPointF>& lines) const override;
    void drawFill(QCPPainter* painter, QVector<QPointF>* lines) const override;

private:
    // A dashed or dotted pen wider than one pixel: the outline Qt would fill in one go, filled a
    // few dashes at a time (the same pixels).
    void drawDashedLine(QCPPainter* painter, const QVector<QPointF>& lines) const;
    // The same pen over more points than pixel columns: the merged segments as separate lines.
    void drawDenseDashedLine(QCPPainter* painter, const QVector<QPointF>& lines) const;

    MeasurementChart* chart_;
    int series_;
};

// The vertical grid of the bottom axis: a line at every third label, not at every label. It
// draws with the pen and visibility of the axis's own grid, which itself is never drawn.
class EveryThirdLabelGrid : public QCPLayerable {
public:
    explicit EveryThirdLabelGrid(QCPAxis* axis);
    // The labels (ticks) that get a grid line: those whose position counted in label steps from
    // the epoch is a multiple of three, so that the lines stay with their labels while the view
    // moves.
    static QVector<double> gridTicks(const QVector<double>& ticks);

protected:
    void applyDefaultAntialiasingHint(QCPPainter* painter) const override;
    void draw(QCPPainter* painter) override;

private:
    QCPAxis* axis_;
};

// The legend: one check box per series, floating over the plot.
class ChartLegend : public QFrame {
    Q_OBJECT
public:
    explicit ChartLegend(QWidget* parent = nullptr);
    void setSeries(const std::array<SeriesStyle, kSeriesCount>& series);
    QCheckBox* checkBox(int series) const { return boxes_[std::size_t(series)]; }
signals:
    void seriesToggled(int series, bool visible);

private:
    std::array<QCheckBox*, kSeriesCount> boxes_{};
};

class MeasurementChart : public QCustomPlot {
    Q_OBJECT
public:
    static constexpr int kLegendTop = 40;
    static constexpr int kLegendRightGap = 185;
    static constexpr int kLegendStartLeft = 630;

    explicit MeasurementChart(QWidget* parent = nullptr);
    ~MeasurementChart() override;

    HistoryStore& store() { return *store_; }
    const HistoryStore& store() const { return *store_; }
    // Replaces the data and the settings (a loaded chart file).
    void setChart(std::unique_ptr<HistoryStore> store, const ChartSettings& settings);

    // Appends one record; the view follows when the bottom axis is automatic.
    void appendRecord(std::int64_t utcMs, const RawSample& sample);

    // Current settings, with the axes' present ranges (bottom axis in UTC milliseconds).
    ChartSettings settings() const;
    void applySettings(const ChartSettings& settings);

    bool seriesVisible(int series) const { return settings_.series[std::size_t(series)].visible; }
    void setSeriesVisible(int series, bool visible);

    // Left axis to [min, max], manual.
    void setLeftRange(double min, double max);
    // Bottom axis to [fromMs, toMs] (UTC milliseconds), manual.
    void setBottomRange(double fromMs, double toMs);
    // Fits both axes once to the data of the shown series, then leaves them manual.
    void autosize();
    void setLegendVisible(bool visible);
    void setHorizontalGridVisible(bool visible); // the left axis's grid
    void setVerticalGridVisible(bool visible);   // the bottom axis's grid
    ChartLegend* legendWidget() const { return legend_; }
    StoreGraph* seriesGraph(int series) const { return graphs_[std::size_t(series)]; }
    // Visible time range in UTC milliseconds.
    double viewFromMs() const { return xAxis->range().lower * 1000.0; }
    double viewToMs() const { return xAxis->range().upper * 1000.0; }

    // Column plan of the current view, shared by the graphs of one drawing.
    const ColumnPlan& currentPlan();
    // Where a CSV export takes its records from: by default the store; a chart that shows a
    // reduced view of its records (the history viewer) exports the full ones through this.
    // Arguments: the file, and the visible range (UTC milliseconds) or none for all records.
    using CsvExporter =
        std::function<QString(const QString& path, std::optional<std::pair<double, double>> range)>;
    void setCsvExporter(CsvExporter exporter) { csvExporter_ = std::move(exporter); }
    const CsvExporter& csvExporter() const { return csvExporter_; }

    // Points of one series for the current view. The shown series are reduced together, once
    // per view: they share every read of the store.
    const std::vector<PlotPoint>& currentPoints(int series);

signals:
    void settingsChanged();

protected:
    void resizeEvent(QResizeEvent* event) override;
    void showEvent(QShowEvent* event) override;

private:
    void followAutomaticRanges();
    void applyBackground();

    std::unique_ptr<HistoryStore> store_;
    ChartSettings settings_;
    std::array<StoreGraph*, kSeriesCount> graphs_{};
    ChartLegend* legend_ = nullptr;

    ColumnPlan plan_;
    double planFrom_ = 0, planTo_ = 0;
    int planColumns_ = -1;
    std::size_t planSize_ = 0;
    const HistoryStore* planStore_ = nullptr;
    SeriesPoints points_;
    std::uint32_t pointsMask_ = 0; // the series points_ holds for plan_
    CsvExporter csvExporter_;
};

} // namespace hq::service
