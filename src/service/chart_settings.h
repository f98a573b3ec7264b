// Appearance of the service chart: what the editor dialog changes and chart files keep.
#pragma once

#include "service/plot_series.h"

#include <QColor>
#include <QString>

#include <array>

namespace hq::service {

struct SeriesStyle {
    QString title;
    QColor colour;
    int penWidth = 2;
    LineStyle style = LineStyle::Solid;
    SeriesKind kind = SeriesKind::Line;
    bool visible = false;
    friend bool operator==(const SeriesStyle&, const SeriesStyle&) = default;
};

struct AxisSettings {
    double min = 0.0;
    double max = 0.0;
    bool automatic = false;
    bool grid = true;
    friend bool operator==(const AxisSettings&, const AxisSettings&) = default;
};

struct ChartSettings {
    std::array<SeriesStyle, kSeriesCount> series;
    AxisSettings left{0.0, 300.0, false, true};
    AxisSettings bottom{0.0, 0.0, true, true};
    bool legendVisible = true;
    QColor backgroundFrom{0, 0, 255};   // bottom left
    QColor backgroundTo{255, 255, 255}; // top right
    QColor plotArea{255, 255, 255};
    friend bool operator==(const ChartSettings&, const ChartSettings&) = default;

    // The chart as the service window starts: the series table, left axis 0..300 manual,
    // bottom axis automatic, legend shown, both grids on, blue-to-white background.
    static ChartSettings defaults();
};

Qt::PenStyle toQtPenStyle(LineStyle style);

} // namespace hq::service
