#include "service/measurement_chart.h"

#include <QCheckBox>
#include <QPainter>
#include <QPainterPath>
#include <QVBoxLayout>

#include <algorithm>
#include <array>
#include <bit>
#include <climits>
#include <cmath>
#include <vector>

namespace hq::service {

namespace {

// Date-time labels in local time; no label step below one second.
class SecondsDateTimeTicker : public QCPAxisTickerDateTime {
protected:
    double getTickStep(const QCPRange& range) override {
        return std::max(1.0, QCPAxisTickerDateTime::getTickStep(range));
    }
};

QPixmap swatch(const SeriesStyle& s) {
    QPixmap p(18, 10);
    p.fill(Qt::transparent);
    QPainter painter(&p);
    if (s.kind == SeriesKind::Area) {
        painter.fillRect(QRect(1, 2, 16, 7), s.colour);
    } else {
        painter.setPen(QPen(s.colour, std::min(s.penWidth, 4), toQtPenStyle(s.style)));
        painter.drawLine(1, 5, 17, 5);
    }
    return p;
}

// The points of the line being drawn, in whole pixels (QPointF::toPoint of each point): worked
// out with the points, for the line whose points start at `of` (none between two drawings).
struct RoundedLine {
    const QPointF* of = nullptr;
    std::vector<QPoint> points;
};
thread_local RoundedLine roundedLine;

const QPoint* roundedPoints(const QVector<QPointF>& lines) {
    if (roundedLine.of == lines.constData() &&
        roundedLine.points.size() == std::size_t(lines.size()))
        return roundedLine.points.data();
    static thread_local std::vector<QPoint> own;
    own.resize(std::size_t(lines.size()));
    for (qsizetype i = 0; i < lines.size(); ++i)
        own[std::size_t(i)] = lines[i].toPoint();
    return own.data();
}

// The polyline's segments in whole pixels, where consecutive segments on one pixel row or column
// (which overlap or continue each other) are merged into their union: the same pixels with far
// fewer calls.
void mergeAlignedSegments(const QVector<QPointF>& lines, QVector<QLine>& segments) {
    // At most one segment per pair of points, written in place.
    segments.resize(std::max<qsizetype>(0, lines.size() - 1));
    QLine* out = segments.data();
    qsizetype n = 0;
    const QPoint* in = roundedPoints(lines);
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QPoint a = in[i - 1], b = in[i];
        if (n > 0) {
            QLine& last = out[n - 1];
            if (b.x() == a.x() && last.x1() == last.x2() && last.x1() == b.x()) {
                const int lo = std::min({last.y1(), last.y2(), b.y()});
                const int hi = std::max({last.y1(), last.y2(), b.y()});
                last = QLine(b.x(), lo, b.x(), hi);
                continue;
            }
            if (b.y() == a.y() && last.y1() == last.y2() && last.y1() == b.y() &&
                b.x() >= std::max(last.x1(), last.x2())) {
                last = QLine(std::min(last.x1(), last.x2()), b.y(), b.x(), b.y());
                continue;
            }
        }
        out[n++] = QLine(a, b);
    }
    segments.resize(n);
}

// Fills the union of per-column row intervals, column `first + i` covering the rows
// [tops[i], bottoms[i]] (none where tops[i] > bottoms[i]), as disjoint rectangles. Filling a
// rectangle costs one call per row, so a tall interval per column (a counter that wraps within
// every column, an area over a dense history) costs as many calls as it has rows, column by
// column. Here consecutive columns whose intervals share rows are one rectangle of the shared
// rows, and what they hold above and below it is cut into rectangles as a histogram is (a
// rectangle per rise and fall of the outline): the same pixels, each filled once, at a few calls
// per row of the whole run.
template <class Fill>
void fillColumnIntervals(int first, const std::vector<int>& tops, const std::vector<int>& bottoms,
                         Fill fill) {
    struct Bar {
        int start, height;
    };
    static thread_local std::vector<Bar> stack;
    static thread_local std::vector<int> heights;
    // Columns [from, from + n) of heights[], counted from the base row away in `direction` (-1:
    // upwards): height k covers the rows base .. base + direction * (k - 1).
    auto histogram = [&](int from, int n, int base, int direction) {
        stack.clear();
        for (int i = 0; i <= n; ++i) {
            const int h = i < n ? heights[std::size_t(i)] : 0;
            int start = i;
            while (!stack.empty() && stack.back().height > h) {
                const Bar b = stack.back();
                stack.pop_back();
                const int below = std::max(h, stack.empty() ? 0 : stack.back().height);
                // Heights (below, b.height] of the columns [b.start, i).
                const int r1 = base + direction * below, r2 = base + direction * (b.height - 1);
                fill(QRect(QPoint(from + b.start, std::min(r1, r2)),
                           QPoint(from + i - 1, std::max(r1, r2))));
                start = b.start;
            }
            if (h > (stack.empty() ? 0 : stack.back().height))
                stack.push_back({start, h});
        }
    };
    const int n = int(tops.size());
    for (int a = 0; a < n;) {
        if (tops[std::size_t(a)] > bottoms[std::size_t(a)]) {
            ++a;
            continue;
        }
        int top = tops[std::size_t(a)], bottom = bottoms[std::size_t(a)], b = a + 1;
        for (; b < n && tops[std::size_t(b)] <= bottoms[std::size_t(b)]; ++b) {
            const int t = std::max(top, tops[std::size_t(b)]);
            const int d = std::min(bottom, bottoms[std::size_t(b)]);
            if (t > d)
                break;
            top = t;
            bottom = d;
        }
        fill(QRect(QPoint(first + a, top), QPoint(first + b - 1, bottom)));
        heights.resize(std::size_t(b - a));
        for (int i = a; i < b; ++i)
            heights[std::size_t(i - a)] = top - tops[std::size_t(i)];
        histogram(first + a, b - a, top - 1, -1);
        for (int i = a; i < b; ++i)
            heights[std::size_t(i - a)] = bottoms[std::size_t(i)] - bottom;
        histogram(first + a, b - a, bottom + 1, 1);
        a = b;
    }
}

// Fills the vertical segments of a solid aliased line directly and leaves in `segments` what
// still needs the stroker. `wide`: the two-pixel pen with square caps; otherwise the one-pixel
// cosmetic pen.
void fillVerticalRuns(QCPPainter* painter, QVector<QLine>& segments, const QRect& plot,
                      const QColor& colour, bool wide) {
    const bool opaque = colour.alpha() == 255;
    // A vertical segment covers a rectangle: with the two-pixel pen and square caps one pixel
    // either side of it and one beyond each end, with the one-pixel cosmetic pen its own column,
    // both ends included.
    // A segment from one pixel column to the next whose rows both columns' rectangles already
    // cover draws nothing new: its pixels lie in those columns (and the one before, for the wide
    // pen) and in its own rows (and the one above, for the wide pen). With an opaque colour it
    // is left out; over a dense history that is most of them.
    const int firstColumn = plot.left() - 2, columns = plot.width() + 4;
    constexpr int kNone = INT_MAX, kSeveral = INT_MIN;
    static thread_local std::vector<int> runTop, runBottom;
    runTop.assign(std::size_t(columns), kNone);
    runBottom.assign(std::size_t(columns), kNone);
    auto slot = [&](int x) {
        const int i = x - firstColumn;
        return i >= 0 && i < columns ? i : -1;
    };
    for (const QLine& l : std::as_const(segments)) {
        const int i = slot(l.x1());
        if (l.x1() != l.x2() || i < 0)
            continue;
        const bool first = runTop[std::size_t(i)] == kNone;
        runTop[std::size_t(i)] = first ? std::min(l.y1(), l.y2()) : kSeveral;
        runBottom[std::size_t(i)] = std::max(l.y1(), l.y2());
    }
    auto covered = [&](const QLine& l) {
        const int a = slot(l.x1()), b = slot(l.x2());
        if (!opaque || std::abs(l.dx()) != 1 || a < 0 || b < 0)
            return false;
        const int ta = runTop[std::size_t(a)], tb = runTop[std::size_t(b)];
        if (ta == kNone || ta == kSeveral || tb == kNone || tb == kSeveral)
            return false;
        return std::min(l.y1(), l.y2()) >= std::max(ta, tb) &&
               std::max(l.y1(), l.y2()) <=
                   std::min(runBottom[std::size_t(a)], runBottom[std::size_t(b)]);
    };
    auto rectOf = [wide](const QLine& l) {
        const int top = std::min(l.y1(), l.y2()), bottom = std::max(l.y1(), l.y2());
        return wide ? QRect(l.x1() - 1, top - 1, 2, bottom - top + 2)
                    : QRect(l.x1(), top, 1, bottom - top + 1);
    };
    qsizetype kept = 0;
    if (!opaque) {
        // Where rectangles overlap a translucent colour is laid on twice, as the stroker does:
        // each is filled as it is.
        for (const QLine& l : std::as_const(segments)) {
            if (l.x1() != l.x2())
                segments[kept++] = l;
            else
                painter->fillRect(rectOf(l), colour);
        }
        segments.resize(kept);
        return;
    }
    // Opaque: the rectangles' union, gathered per pixel column (the wide pen's rectangles reach
    // one column to the left of their segment) and filled once. Rows beyond the plot by more than
    // a pixel are clipped away anyway and are left out.
    const int firstPixel = firstColumn - 1;
    static thread_local std::vector<int> tops, bottoms;
    tops.assign(std::size_t(columns) + 1, kNone);
    bottoms.assign(std::size_t(columns) + 1, kSeveral);
    const int rowMin = plot.top() - 1, rowMax = plot.bottom() + 1;
    for (const QLine& l : std::as_const(segments)) {
        if (l.x1() != l.x2()) {
            if (!covered(l))
                segments[kept++] = l;
            continue;
        }
        const QRect r = rectOf(l);
        if (slot(l.x1()) < 0) {
            painter->fillRect(r, colour);
            continue;
        }
        const int top = std::max(r.top(), rowMin), bottom = std::min(r.bottom(), rowMax);
        if (top > bottom)
            continue;
        for (int x = r.left(); x <= r.right(); ++x) {
            const std::size_t i = std::size_t(x - firstPixel);
            int& t = tops[i];
            int& b = bottoms[i];
            if (t > b) {
                t = top;
                b = bottom;
            } else if (top <= b + 1 && bottom >= t - 1) {
                t = std::min(t, top);
                b = std::max(b, bottom);
            } else {
                // Apart from what the column holds already: filled on its own.
                painter->fillRect(QRect(x, top, 1, bottom - top + 1), colour);
            }
        }
    }
    fillColumnIntervals(firstPixel, tops, bottoms,
                        [&](const QRect& r) { painter->fillRect(r, colour); });
    segments.resize(kept);
}

} // namespace

EveryThirdLabelGrid::EveryThirdLabelGrid(QCPAxis* axis)
    : QCPLayerable(axis->parentPlot(), QStringLiteral("grid")), axis_(axis) {
    // The axis's own grid keeps pen and visibility but draws on a layer that is never shown.
    QCustomPlot* plot = axis->parentPlot();
    const QString hidden = QStringLiteral("hiddenGrid");
    if (plot->layer(hidden) == nullptr) {
        plot->addLayer(hidden, plot->layer(QStringLiteral("grid")), QCustomPlot::limBelow);
        plot->layer(hidden)->setVisible(false);
    }
    axis->grid()->setLayer(hidden);
}

QVector<double> EveryThirdLabelGrid::gridTicks(const QVector<double>& ticks) {
    if (ticks.size() < 2)
        return ticks;
    const double step = ticks[1] - ticks[0];
    QVector<double> chosen;
    for (qsizetype i = 0; i < ticks.size(); ++i) {
        // Label steps from the epoch; where the steps are not all equal (months), the position
        // in the row of labels.
        const double n = step > 0 ? std::round(ticks[i] / step) : double(i);
        if (std::fmod(std::fabs(n), 3.0) == 0.0)
            chosen.append(ticks[i]);
    }
    return chosen;
}

void EveryThirdLabelGrid::applyDefaultAntialiasingHint(QCPPainter* painter) const {
    applyAntialiasingHint(painter, mAntialiased, QCP::aeGrid);
}

void EveryThirdLabelGrid::draw(QCPPainter* painter) {
    const QCPGrid* grid = axis_->grid();
    if (!grid->visible() || grid->pen().style() == Qt::NoPen)
        return;
    applyDefaultAntialiasingHint(painter);
    painter->setPen(grid->pen());
    const QRect rect = axis_->axisRect()->rect();
    for (const double tick : gridTicks(axis_->tickVector())) {
        const double x = axis_->coordToPixel(tick);
        painter->drawLine(QLineF(x, rect.bottom(), x, rect.top()));
    }
}

StoreGraph::StoreGraph(MeasurementChart* chart, int series)
    : QCPGraph(chart->xAxis, chart->yAxis), chart_(chart), series_(series) {
    setAdaptiveSampling(false); // the store has already reduced the data
    setAntialiased(false);
    setAntialiasedFill(false);
}

void StoreGraph::draw(QCPPainter* painter) {
    // What QCPGraph::draw does for a plain line graph (fill, then line), fed straight from the
    // store: the points go to pixels without passing through a data container.
    QCPAxis* key = keyAxis();
    QCPAxis* value = valueAxis();
    if (!key || !value || key->range().size() <= 0 || lineStyle() == lsNone)
        return;
    const std::vector<PlotPoint>& points = chart_->currentPoints(series_);
    if (points.empty())
        return;
    static thread_local QVector<QPointF> lines;
    lines.resize(qsizetype(points.size()));
    if (key->scaleType() == QCPAxis::stLinear && value->scaleType() == QCPAxis::stLinear &&
        key->orientation() == Qt::Horizontal && !key->rangeReversed() && !value->rangeReversed()) {
        // QCPAxis::coordToPixel for linear axes, term for term (the same pixels), without a
        // call per coordinate.
        const QCPRange kr = key->range(), vr = value->range();
        const double kLower = kr.lower, kSize = kr.size(), vLower = vr.lower, vSize = vr.size();
        const QCPAxisRect* rect = key->axisRect();
        const int kWidth = rect->width(), kLeft = rect->left();
        const int vHeight = value->axisRect()->height(), vBottom = value->axisRect()->bottom();
        // Every shown series has points at the same time stamps (each column's first and last
        // record), and most values recur within a series: x of each time stamp is worked out
        // once per view for all series, y of each value once per series (the same arithmetic,
        // so the same pixels).
        struct XCache {
            double lower = 0, size = 0;
            int width = -1, left = 0;
            std::vector<std::int64_t> times;
            std::vector<double> xs;
        };
        static thread_local XCache xCache;
        const PlotPoint* p = points.data();
        const std::size_t n = points.size();
        auto xOf = [&](std::int64_t t) {
            return (double(t) / 1000.0 - kLower) / kSize * kWidth + kLeft;
        };
        auto rebuild = [&] {
            xCache = {kLower, kSize, kWidth, kLeft, {}, {}};
            for (std::size_t i = 0; i < n; ++i)
                if (xCache.times.empty() || p[i].timeMs > xCache.times.back()) {
                    xCache.times.push_back(p[i].timeMs);
                    xCache.xs.push_back(xOf(p[i].timeMs));
                }
        };
        if (xCache.lower != kLower || xCache.size != kSize || xCache.width != kWidth ||
            xCache.left != kLeft)
            rebuild();
        struct YEntry {
            std::uint64_t bits = 0;
            double y = 0;
            int rounded = 0;
            std::uint32_t stamp = 0;
        };
        static thread_local std::array<YEntry, 1024> yCache{};
        static thread_local std::uint32_t yStamp = 0;
        if (++yStamp == 0) {
            yCache.fill({});
            yStamp = 1;
        }
        roundedLine.points.resize(n);
        QPoint* rounded = roundedLine.points.data();
        QPointF* out = lines.data();
        std::size_t cursor = 0, misses = 0;
        std::int64_t lastTime = p[0].timeMs;
        double x = xOf(lastTime);
        int rx = qRound(x);
        for (std::size_t i = 0; i < n; ++i) {
            if (p[i].timeMs != lastTime) {
                lastTime = p[i].timeMs;
                while (cursor < xCache.times.size() && xCache.times[cursor] < lastTime)
                    ++cursor;
                if (cursor < xCache.times.size() && xCache.times[cursor] == lastTime) {
                    x = xCache.xs[cursor];
                } else {
                    x = xOf(lastTime);
                    ++misses;
                }
                rx = qRound(x);
            }
            const double v = p[i].value;
            const std::uint64_t bits = std::bit_cast<std::uint64_t>(v);
            YEntry& e = yCache[std::size_t((bits * 0x9E3779B97F4A7C15ull) >> 54)];
            if (e.stamp != yStamp || e.bits != bits) {
                e.bits = bits;
                e.y = vBottom - (v - vLower) / vSize * vHeight;
                e.rounded = qRound(e.y);
                e.stamp = yStamp;
            }
            out[i] = QPointF(x, e.y);
            rounded[i] = QPoint(rx, e.rounded);
        }
        // The columns changed within this view (records added): the next series finds this
        // one's time stamps.
        if (misses > 0)
            rebuild();
        roundedLine.of = lines.constData();
    } else {
        for (std::size_t i = 0; i < points.size(); ++i)
            lines[qsizetype(i)] = QPointF(key->coordToPixel(double(points[i].timeMs) / 1000.0),
                                          value->coordToPixel(points[i].value));
    }
    painter->setBrush(brush());
    painter->setPen(Qt::NoPen);
    drawFill(painter, &lines);
    painter->setPen(pen());
    painter->setBrush(Qt::NoBrush);
    drawLinePlot(painter, lines);
    roundedLine.of = nullptr;
}

void StoreGraph::drawLinePlot(QCPPainter* painter, const QVector<QPointF>& lines) const {
    applyDefaultAntialiasingHint(painter);
    const QPen pen = painter->pen();
    if (lines.size() < 2 || pen.style() == Qt::NoPen || pen.color().alpha() == 0 ||
        painter->modes().testFlag(QCPPainter::pmVectorized) || painter->antialiasing()) {
        QCPGraph::drawLinePlot(painter, lines);
        return;
    }
    const int width = pen.width();
    if (pen.style() == Qt::SolidLine) {
        // The segments QCPGraph would draw one call at a time (phFastPolylines, rounded to
        // whole pixels as QCPPainter does without antialiasing), handed over in one call.
        QPen p = pen;
        if (qFuzzyCompare(p.widthF(), 1.0))
            p.setWidth(0);
        painter->setPen(p);
        static thread_local QVector<QLine> segments;
        mergeAlignedSegments(lines, segments);
        // Vertical runs are filled directly (the one-pixel pen only in an opaque colour, where
        // filling them before the other segments are stroked gives the same pixels).
        const bool wide = width == 2 && pen.capStyle() == Qt::SquareCap;
        const bool thin = width <= 1 && pen.color().alpha() == 255;
        if ((wide || thin) && !painter->transform().isScaling())
            fillVerticalRuns(painter, segments, keyAxis()->axisRect()->rect(), pen.color(), wide);
        painter->QPainter::drawLines(segments);
        painter->setPen(pen);
        return;
    }
    if (width <= 1) {
        QCPGraph::drawLinePlot(painter, lines); // the cosmetic dashed stroker is fast
        return;
    }
    const QCPAxis* key = keyAxis();
    if (key && lines.size() > 2 * qsizetype(key->axisRect()->width())) {
        drawDenseDashedLine(painter, lines);
    } else {
        drawDashedLine(painter, lines);
    }
    painter->setPen(pen);
}

void StoreGraph::drawDashedLine(QCPPainter* painter, const QVector<QPointF>& lines) const {
    // A wide dashed or dotted pen is stroked by Qt into one path of all dashes, which is then
    // filled with the winding rule; with thousands of dashes crossing every scan line that fill
    // takes seconds. The same outline is made here and filled a few dashes at a time: each dash is
    // one closed subpath of the same orientation, so the union of the pieces covers exactly the
    // pixels of the whole, at a cost that follows the dashes' area.
    const QPen pen = painter->pen();
    QPainterPathStroker stroker(pen);
    QPainterPath line;
    line.addPolygon(QPolygonF(lines));
    const QPainterPath outline = stroker.createStroke(line);
    const QBrush brush = pen.brush();
    painter->setPen(Qt::NoPen);
    constexpr int kDashesPerFill = 16;
    QPainterPath piece;
    piece.setFillRule(Qt::WindingFill);
    int dashes = 0;
    for (int i = 0; i < outline.elementCount(); ++i) {
        const QPainterPath::Element e = outline.elementAt(i);
        switch (e.type) {
        case QPainterPath::MoveToElement:
            if (++dashes > kDashesPerFill) {
                painter->fillPath(piece, brush);
                piece.clear();
                piece.setFillRule(Qt::WindingFill);
                dashes = 1;
            }
            piece.moveTo(e);
            break;
        case QPainterPath::LineToElement:
            piece.lineTo(e);
            break;
        case QPainterPath::CurveToElement:
            piece.cubicTo(e, outline.elementAt(i + 1), outline.elementAt(i + 2));
            i += 2;
            break;
        case QPainterPath::CurveToDataElement:
            break;
        }
    }
    if (!piece.isEmpty())
        painter->fillPath(piece, brush);
}

void StoreGraph::drawDenseDashedLine(QCPPainter* painter, const QVector<QPointF>& lines) const {
    // Denser than the pixels, the line zigzags over each pixel column's band several times; its
    // dash pattern is lost in the band anyway. The merged segments are drawn with the real pen as
    // separate lines, which the raster engine strokes dash by dash as rectangles.
    static thread_local QVector<QLine> segments;
    mergeAlignedSegments(lines, segments);
    painter->QPainter::drawLines(segments);
}

void StoreGraph::drawFill(QCPPainter* painter, QVector<QPointF>* lines) const {
    // An area over a dense history zigzags between its extremes in every pixel column, and a
    // polygon with thousands of edges per scan line is slow to fill. The polygon's points only
    // advance in x, so an aliased fill covers in each pixel column the rows between the base and
    // the line's height at the column's centre: with more points than pixel columns the area is
    // filled that way, the columns' rows together as few rectangles.
    const QCPAxis* key = keyAxis();
    const QCPAxis* value = valueAxis();
    if (!lines || lines->size() < 2 || painter->brush().style() == Qt::NoBrush ||
        painter->modes().testFlag(QCPPainter::pmVectorized) || !key || !value ||
        key->orientation() != Qt::Horizontal || key->rangeReversed() ||
        lines->size() < 2 * qsizetype(key->axisRect()->width())) {
        QCPGraph::drawFill(painter, lines);
        return;
    }
    const int base = qRound(value->coordToPixel(0));
    const QRect clip = key->axisRect()->rect();
    const int left = std::max(int(std::floor(lines->constFirst().x())), clip.left() - 1);
    const int right = std::min(int(std::floor(lines->constLast().x())), clip.right() + 1);
    applyFillAntialiasingHint(painter);
    const QBrush brush = painter->brush();
    // Per column the rows between the base and the line (rows beyond the plot by more than a
    // pixel are clipped away anyway), filled as few rectangles.
    static thread_local std::vector<int> tops, bottoms;
    const std::size_t columns = std::size_t(std::max(0, right - left + 1));
    tops.assign(columns, 1);
    bottoms.assign(columns, 0);
    const int rowMin = clip.top() - 1, rowMax = clip.bottom() + 1;
    qsizetype seg = 0; // the segment [seg, seg + 1] that holds the column's centre
    for (int c = left; c <= right; ++c) {
        const double xc = c + 0.5;
        while (seg + 1 < lines->size() && (*lines)[seg + 1].x() <= xc)
            ++seg;
        if (xc < lines->constFirst().x() || seg + 1 >= lines->size())
            continue;
        const QPointF& p = (*lines)[seg];
        const QPointF& q = (*lines)[seg + 1];
        const double y =
            q.x() > p.x() ? p.y() + (q.y() - p.y()) * (xc - p.x()) / (q.x() - p.x()) : q.y();
        const int top = qRound(y);
        if (top == base)
            continue;
        tops[std::size_t(c - left)] = std::max(std::min(top, base), rowMin);
        bottoms[std::size_t(c - left)] = std::min(std::max(top, base) - 1, rowMax);
    }
    fillColumnIntervals(left, tops, bottoms, [&](const QRect& r) { painter->fillRect(r, brush); });
}

ChartLegend::ChartLegend(QWidget* parent) : QFrame(parent) {
    setObjectName(QStringLiteral("ChartLegend"));
    setFrameShape(QFrame::Box);
    setAutoFillBackground(true);
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(4, 2, 4, 2);
    layout->setSpacing(0);
    for (int i = 0; i < kSeriesCount; ++i) {
        auto* box = new QCheckBox(this);
        box->setObjectName(QStringLiteral("LegendSeries%1").arg(i));
        layout->addWidget(box);
        boxes_[std::size_t(i)] = box;
        connect(box, &QCheckBox::toggled, this, [this, i](bool on) { emit seriesToggled(i, on); });
    }
}

void ChartLegend::setSeries(const std::array<SeriesStyle, kSeriesCount>& series) {
    for (std::size_t i = 0; i < series.size(); ++i) {
        QCheckBox* box = boxes_[i];
        const QSignalBlocker block(box);
        box->setText(series[i].title);
        box->setIcon(QIcon(swatch(series[i])));
        box->setChecked(series[i].visible);
    }
    adjustSize();
}

MeasurementChart::MeasurementChart(QWidget* parent)
    : QCustomPlot(parent), store_(std::make_unique<HistoryStore>(seriesEncodings())),
      settings_(ChartSettings::defaults()) {
    setObjectName(QStringLiteral("Chart1"));
    setNotAntialiasedElements(QCP::aeAll);
    // Solid lines segment by segment: stroking one long zigzag polyline as a single path makes
    // the rasteriser cross thousands of edges per scanline.
    setPlottingHint(QCP::phFastPolylines, true);
    xAxis->setTicker(QSharedPointer<QCPAxisTicker>(new SecondsDateTimeTicker));
    auto ticker = qSharedPointerDynamicCast<QCPAxisTickerDateTime>(xAxis->ticker());
    ticker->setDateTimeFormat(QStringLiteral("dd.MM.yy\nHH:mm:ss"));
    ticker->setDateTimeSpec(Qt::LocalTime);
    for (QCPAxis* a : {xAxis, yAxis}) {
        QPen grid(QColor(160, 160, 160), 0, Qt::DashLine);
        a->grid()->setPen(grid);
    }
    new EveryThirdLabelGrid(xAxis); // owned by the plot's layer system
    for (int i = 0; i < kSeriesCount; ++i)
        graphs_[std::size_t(i)] = new StoreGraph(this, i);
    legend_ = new ChartLegend(this);
    legend_->move(kLegendStartLeft, kLegendTop);
    connect(legend_, &ChartLegend::seriesToggled, this, &MeasurementChart::setSeriesVisible);
    connect(this, &QCustomPlot::beforeReplot, this, &MeasurementChart::followAutomaticRanges);
    applySettings(settings_);
}

MeasurementChart::~MeasurementChart() = default;

void MeasurementChart::setChart(std::unique_ptr<HistoryStore> store,
                                const ChartSettings& settings) {
    store_ = std::move(store);
    planStore_ = nullptr;
    applySettings(settings);
}

void MeasurementChart::appendRecord(std::int64_t utcMs, const RawSample& sample) {
    store_->append(utcMs, sample);
    if (isVisible())
        replot(rpQueuedReplot);
}

ChartSettings MeasurementChart::settings() const {
    ChartSettings s = settings_;
    s.left.min = yAxis->range().lower;
    s.left.max = yAxis->range().upper;
    s.bottom.min = xAxis->range().lower * 1000.0;
    s.bottom.max = xAxis->range().upper * 1000.0;
    return s;
}

void MeasurementChart::applySettings(const ChartSettings& s) {
    settings_ = s;
    for (int i = 0; i < kSeriesCount; ++i) {
        const SeriesStyle& st = s.series[std::size_t(i)];
        StoreGraph* g = graphs_[std::size_t(i)];
        g->setName(st.title);
        g->setPen(QPen(st.colour, st.penWidth, toQtPenStyle(st.style)));
        g->setBrush(st.kind == SeriesKind::Area ? QBrush(st.colour) : QBrush(Qt::NoBrush));
        g->setVisible(st.visible);
    }
    yAxis->setRange(s.left.min, s.left.max);
    if (!s.bottom.automatic)
        xAxis->setRange(s.bottom.min / 1000.0, s.bottom.max / 1000.0);
    yAxis->grid()->setVisible(s.left.grid);
    xAxis->grid()->setVisible(s.bottom.grid);
    legend_->setSeries(s.series);
    legend_->setVisible(s.legendVisible);
    applyBackground();
    followAutomaticRanges();
    emit settingsChanged();
    replot(rpQueuedReplot);
}

void MeasurementChart::applyBackground() {
    // The gradient is painted once per size into a picture that every redraw only copies;
    // filling the whole widget with a gradient on each redraw costs several milliseconds.
    QLinearGradient g(0, 1, 1, 0); // bottom left to top right
    g.setCoordinateMode(QGradient::ObjectBoundingMode);
    g.setColorAt(0, settings_.backgroundFrom);
    g.setColorAt(1, settings_.backgroundTo);
    const QSize size = this->size().expandedTo(QSize(16, 16));
    QPixmap picture(size);
    picture.fill(settings_.backgroundTo);
    {
        QPainter painter(&picture);
        painter.fillRect(QRect(QPoint(0, 0), size), QBrush(g));
    }
    setBackground(QBrush(Qt::NoBrush));
    setBackground(picture, true, Qt::IgnoreAspectRatio);
    axisRect()->setBackground(QBrush(settings_.plotArea));
}

void MeasurementChart::setSeriesVisible(int series, bool visible) {
    if (series < 0 || series >= kSeriesCount)
        return;
    settings_.series[std::size_t(series)].visible = visible;
    graphs_[std::size_t(series)]->setVisible(visible);
    if (QCheckBox* box = legend_->checkBox(series); box->isChecked() != visible) {
        const QSignalBlocker block(box);
        box->setChecked(visible);
    }
    replot(rpQueuedReplot);
}

void MeasurementChart::setLeftRange(double min, double max) {
    settings_.left.automatic = false;
    settings_.left.min = min;
    settings_.left.max = max;
    yAxis->setRange(min, max);
    replot(rpQueuedReplot);
}

void MeasurementChart::setBottomRange(double fromMs, double toMs) {
    settings_.bottom.automatic = false;
    settings_.bottom.min = fromMs;
    settings_.bottom.max = toMs;
    xAxis->setRange(fromMs / 1000.0, toMs / 1000.0);
    replot(rpQueuedReplot);
}

void MeasurementChart::autosize() {
    const HistoryStore& s = *store_;
    if (!s.empty()) {
        double lo = 0, hi = 0;
        bool any = false;
        for (int i = 0; i < kSeriesCount; ++i) {
            if (!settings_.series[std::size_t(i)].visible)
                continue;
            const RawRange r = s.rawRange(i, 0, s.size());
            const double a = s.decode(i, r.min), b = s.decode(i, r.max);
            lo = any ? std::min(lo, a) : a;
            hi = any ? std::max(hi, b) : b;
            any = true;
        }
        if (any) {
            if (hi <= lo)
                lo -= 1, hi += 1;
            settings_.left.min = lo;
            settings_.left.max = hi;
        }
        double from = double(s.firstTime()), to = double(s.lastTime());
        if (to <= from)
            from -= 1000, to += 1000;
        settings_.bottom.min = from;
        settings_.bottom.max = to;
    }
    settings_.left.automatic = false;
    settings_.bottom.automatic = false;
    yAxis->setRange(settings_.left.min, settings_.left.max);
    xAxis->setRange(settings_.bottom.min / 1000.0, settings_.bottom.max / 1000.0);
    replot(rpQueuedReplot);
}

void MeasurementChart::followAutomaticRanges() {
    const HistoryStore& s = *store_;
    if (s.empty())
        return;
    if (settings_.bottom.automatic) {
        double from = double(s.firstTime()), to = double(s.lastTime());
        if (to <= from)
            from -= 1000, to += 1000;
        xAxis->setRange(from / 1000.0, to / 1000.0);
    }
    if (settings_.left.automatic) {
        double lo = 0, hi = 0;
        bool any = false;
        for (int i = 0; i < kSeriesCount; ++i) {
            if (!settings_.series[std::size_t(i)].visible)
                continue;
            const RawRange r = s.rawRange(i, 0, s.size());
            lo = any ? std::min(lo, s.decode(i, r.min)) : s.decode(i, r.min);
            hi = any ? std::max(hi, s.decode(i, r.max)) : s.decode(i, r.max);
            any = true;
        }
        if (any)
            yAxis->setRange(lo, hi > lo ? hi : lo + 1);
    }
}

void MeasurementChart::setLegendVisible(bool visible) {
    settings_.legendVisible = visible;
    legend_->setVisible(visible);
}

void MeasurementChart::setHorizontalGridVisible(bool visible) {
    settings_.left.grid = visible;
    yAxis->grid()->setVisible(visible);
    replot(rpQueuedReplot);
}

void MeasurementChart::setVerticalGridVisible(bool visible) {
    settings_.bottom.grid = visible;
    xAxis->grid()->setVisible(visible);
    replot(rpQueuedReplot);
}

const ColumnPlan& MeasurementChart::currentPlan() {
    const double from = viewFromMs(), to = viewToMs();
    // Half-pixel columns: a 2-pixel aliased pen covers pixels (c-1, c) for a line in the left
    // half of pixel c and (c, c+1) in the right half, so each half keeps its own extremes.
    const int columns = 2 * std::max(1, xAxis->axisRect()->width());
    if (planStore_ != store_.get() || from != planFrom_ || to != planTo_ ||
        columns != planColumns_ || store_->size() != planSize_) {
        plan_ = store_->plan(from, to, columns);
        planFrom_ = from;
        planTo_ = to;
        planColumns_ = columns;
        planSize_ = store_->size();
        planStore_ = store_.get();
        pointsMask_ = 0;
    }
    return plan_;
}

const std::vector<PlotPoint>& MeasurementChart::currentPoints(int series) {
    const ColumnPlan& plan = currentPlan();
    const std::uint32_t bit = std::uint32_t{1} << series;
    if (!(pointsMask_ & bit)) {
        std::uint32_t mask = bit;
        for (int i = 0; i < kSeriesCount; ++i)
            if (graphs_[std::size_t(i)]->visible())
                mask |= std::uint32_t{1} << i;
        store_->decimate(plan, mask, points_);
        pointsMask_ = mask;
    }
    return points_[std::size_t(series)];
}

void MeasurementChart::resizeEvent(QResizeEvent* event) {
    applyBackground();
    QCustomPlot::resizeEvent(event);
    legend_->move(width() - kLegendRightGap, kLegendTop);
}

void MeasurementChart::showEvent(QShowEvent* event) {
    QCustomPlot::showEvent(event);
    replot(rpQueuedReplot);
}

} // namespace hq::service
