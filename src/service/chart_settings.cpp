#include "service/chart_settings.h"

namespace hq::service {

ChartSettings ChartSettings::defaults() {
    ChartSettings c;
    const auto& specs = seriesSpecs();
    for (std::size_t i = 0; i < specs.size(); ++i) {
        SeriesStyle& s = c.series[i];
        s.title = QString::fromUtf8(specs[i].title);
        s.colour = QColor::fromRgb(QRgb(0xFF000000u | specs[i].rgb));
        s.kind = specs[i].kind;
        s.style = specs[i].style;
        // Line series draw with a 2-pixel pen; the fast line and the area outline use one.
        // Every line is two pixels wide, the fast "error" line too; the area's outline one.
        s.penWidth = specs[i].kind == SeriesKind::Area ? 1 : 2;
        s.visible = specs[i].shownAtStart;
    }
    return c;
}

Qt::PenStyle toQtPenStyle(LineStyle style) {
    switch (style) {
    case LineStyle::Dash:
        return Qt::DashLine;
    case LineStyle::Dot:
        return Qt::DotLine;
    case LineStyle::DashDot:
        return Qt::DashDotLine;
    case LineStyle::DashDotDot:
        return Qt::DashDotDotLine;
    case LineStyle::Solid:
        break;
    }
    return Qt::SolidLine;
}

} // namespace hq::service
