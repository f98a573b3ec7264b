#include "service/measurement_chart.h"
#include "service/plot_series.h"
#include "synthetic_status.h"

#include <QCheckBox>
#include <QHash>
#include <QSet>
#include <QTest>

#include <algorithm>
#include <cmath>
#include <random>

using namespace hq::service;

namespace {
constexpr std::int64_t kStart = 1'765'000'000'000;

// Plausible cabinet history, one record per second.
void fillCabinet(MeasurementChart& chart, int n, std::uint32_t seed) {
    hq::testing::SyntheticCabinet cabinet(seed);
    for (int i = 0; i < n; ++i)
        chart.appendRecord(kStart + std::int64_t(i) * 1000, sampleFromStatus(cabinet.record(i)));
}

// Worst case for decimation: every series a band of heavy noise with rare spikes.
void fillNoise(MeasurementChart& chart, int n, std::uint32_t seed) {
    std::mt19937 rng(seed);
    RawSample s{};
    for (int i = 0; i < n; ++i) {
        for (int k = 0; k < kSeriesCount; ++k) {
            const double base = 100 + 80 * std::sin(i / (900.0 + k * 130) + k);
            const double noise = double(int(rng() % 41) - 20);
            const double spike = (rng() % 5000 == 0) ? 120 : 0;
            const SeriesEncoding& e = chart.store().encoding(k);
            s[std::size_t(k)] = std::uint16_t(e.offset + (base + noise + spike) * e.divisor / 10);
        }
        chart.appendRecord(kStart + std::int64_t(i) * 1000, s);
    }
}

// A paint device that draws nothing and notes every polyline of more than two points handed to
// its engine with a dashed or dotted pen wider than one pixel: what Qt then strokes into one
// path of all dashes and fills in one go (seconds over a dense history). What such a line is
// drawn as instead, separate lines with that pen or filled dash outlines without a pen, is noted
// too: the horizontal span it covers, per colour.
class PolylineRecorder : public QPaintDevice {
public:
    explicit PolylineRecorder(QSize size) : size_(size), engine_(this) {}
    QPaintEngine* paintEngine() const override { return &engine_; }
    int widePatternedPolylines = 0;
    QHash<QRgb, std::pair<double, double>> spans; // colour -> leftmost and rightmost x drawn

protected:
    int metric(PaintDeviceMetric m) const override {
        switch (m) {
        case PdmWidth:
            return size_.width();
        case PdmHeight:
            return size_.height();
        case PdmDpiX:
        case PdmDpiY:
        case PdmPhysicalDpiX:
        case PdmPhysicalDpiY:
            return 96;
        case PdmDepth:
            return 32;
        case PdmDevicePixelRatio:
            return 1;
        case PdmDevicePixelRatioScaled:
            return int(devicePixelRatioFScale());
        default:
            return QPaintDevice::metric(m);
        }
    }

private:
    class Engine : public QPaintEngine {
    public:
        explicit Engine(PolylineRecorder* device) : QPaintEngine(AllFeatures), device_(device) {}
        bool begin(QPaintDevice*) override { return true; }
        bool end() override { return true; }
        void updateState(const QPaintEngineState& state) override {
            if (state.state() & DirtyPen)
                pen_ = state.pen();
            if (state.state() & DirtyBrush)
                brush_ = state.brush();
            if (state.state() & DirtyTransform)
                transform_ = state.transform();
        }
        void drawPolygon(const QPointF*, int count, PolygonDrawMode mode) override {
            if (mode == PolylineMode && count > 2 && widePatterned())
                ++device_->widePatternedPolylines;
        }
        void drawLines(const QLineF* lines, int count) override {
            if (!widePatterned())
                return;
            for (int i = 0; i < count; ++i)
                note(pen_.color(), transform_.map(lines[i]).p1().x(),
                     transform_.map(lines[i]).p2().x());
        }
        void drawPath(const QPainterPath& path) override {
            if (pen_.style() == Qt::NoPen && brush_.style() == Qt::SolidPattern) {
                const QRectF bounds = transform_.map(path).boundingRect();
                note(brush_.color(), bounds.left(), bounds.right());
            }
        }
        void drawPixmap(const QRectF&, const QPixmap&, const QRectF&) override {}
        void drawTextItem(const QPointF&, const QTextItem&) override {}
        Type type() const override { return User; }

    private:
        bool widePatterned() const {
            return pen_.style() != Qt::SolidLine && pen_.style() != Qt::NoPen && pen_.width() > 1;
        }
        void note(const QColor& colour, double x1, double x2) {
            const auto [from, to] = std::minmax(x1, x2);
            auto it = device_->spans.find(colour.rgb());
            if (it == device_->spans.end())
                device_->spans.insert(colour.rgb(), {from, to});
            else
                *it = {std::min(it->first, from), std::max(it->second, to)};
        }
        PolylineRecorder* device_;
        QPen pen_;
        QBrush brush_;
        QTransform transform_;
    };
    QSize size_;
    mutable Engine engine_;
};

// The reference of the pixel tests: every record of the given series in a plain QCustomPlot
// graph (no adaptive sampling, no antialiasing), with the chart's axes, grids and pens.
void fillReference(QCustomPlot& ref, MeasurementChart& chart, const QList<int>& series) {
    ref.setNotAntialiasedElements(QCP::aeAll);
    ref.setPlottingHints(chart.plottingHints());
    ref.xAxis->setTicker(chart.xAxis->ticker());
    ref.xAxis->setRange(chart.xAxis->range());
    ref.yAxis->setRange(chart.yAxis->range());
    for (QCPAxis* a : {ref.xAxis, ref.yAxis})
        a->grid()->setPen(chart.xAxis->grid()->pen());
    new EveryThirdLabelGrid(ref.xAxis);
    const HistoryStore& store = chart.store();
    for (int i : series) {
        QCPGraph* g = ref.addGraph();
        g->setAdaptiveSampling(false);
        g->setAntialiased(false);
        g->setPen(chart.seriesGraph(i)->pen());
        g->setBrush(chart.seriesGraph(i)->brush());
        QVector<QCPGraphData> data;
        for (std::size_t k = 0; k < store.size(); ++k)
            data.append(QCPGraphData(double(store.timeAt(k)) / 1000, store.valueAt(i, k)));
        g->data()->set(data, true);
    }
}

void showOnly(MeasurementChart& chart, std::initializer_list<int> series) {
    ChartSettings s = chart.settings();
    for (auto& st : s.series)
        st.visible = false;
    for (int i : series)
        s.series[std::size_t(i)].visible = true;
    chart.applySettings(s);
}
} // namespace

class TestMeasurementChart : public QObject {
    Q_OBJECT
private slots:
    void startSettings();
    void legendFollowsWidth_data();
    void legendFollowsWidth();
    void legendTogglesSeries();
    void autosizeFitsShownSeriesOnce();
    void rangeButtonsAndAutosize();
    void bottomAxisFollowsUntilAutosize();
    void timeAxisSmallestStepOneSecond_data();
    void timeAxisSmallestStepOneSecond();
    void pixelIdenticalToFullData_data();
    void pixelIdenticalToFullData();
    void widePatternedPensMatchTheLibrary_data();
    void widePatternedPensMatchTheLibrary();
    void verticalGridAtEveryThirdLabel();
    void everyPatternedWidthTakesTheFastPath_data();
    void everyPatternedWidthTakesTheFastPath();
};

void TestMeasurementChart::startSettings() {
    MeasurementChart chart;
    const ChartSettings s = chart.settings();
    QCOMPARE(s.left.min, 0.0);
    QCOMPARE(s.left.max, 300.0);
    QVERIFY(!s.left.automatic);
    QVERIFY(s.bottom.automatic);
    QVERIFY(s.legendVisible && s.left.grid && s.bottom.grid);
    const std::array<bool, kSeriesCount> shown = {false, true,  true,  false, true,  true,
                                                  true,  true,  false, false, false, false,
                                                  false, false, false, false, false, false};
    for (int i = 0; i < kSeriesCount; ++i) {
        QCOMPARE(chart.seriesVisible(i), shown[std::size_t(i)]);
        QCOMPARE(chart.legendWidget()->checkBox(i)->isChecked(), shown[std::size_t(i)]);
        QCOMPARE(chart.seriesGraph(i)->visible(), shown[std::size_t(i)]);
    }
    QCOMPARE(chart.legendWidget()->checkBox(5)->text(), QString::fromUtf8("HYT up °C"));
    QCOMPARE(s.series[4].colour, QColor(Qt::blue));
    QCOMPARE(s.series[7].colour, QColor(255, 0, 255));
    QCOMPARE(chart.seriesGraph(11)->pen().style(), Qt::DashLine);
    QCOMPARE(chart.seriesGraph(12)->pen().style(), Qt::DotLine);
    // Every line two pixels wide, the fast "error" line too.
    for (int i = 0; i < kSeriesCount; ++i)
        if (i != kDoorSeries)
            QCOMPARE(chart.seriesGraph(i)->pen().width(), 2);
    QCOMPARE(chart.seriesGraph(16)->brush().color(), QColor(128, 128, 128));
    QCOMPARE(chart.seriesGraph(1)->brush().style(), Qt::NoBrush);
}

void TestMeasurementChart::legendFollowsWidth_data() {
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("left");
    QTest::newRow("780 wide") << 780 << 595;
    QTest::newRow("1600 wide") << 1600 << 1415;
    QTest::newRow("815 wide") << 815 << 630;
}

void TestMeasurementChart::legendFollowsWidth() {
    QFETCH(int, width);
    QFETCH(int, left);
    MeasurementChart chart;
    QCOMPARE(chart.legendWidget()->pos(), QPoint(630, 40));
    chart.resize(width, 400);
    chart.show();
    QVERIFY(QTest::qWaitForWindowExposed(&chart));
    QCOMPARE(chart.legendWidget()->pos(), QPoint(left, 40));
}

void TestMeasurementChart::legendTogglesSeries() {
    MeasurementChart chart;
    QCheckBox* door = chart.legendWidget()->checkBox(kDoorSeries);
    QVERIFY(!chart.seriesVisible(kDoorSeries));
    door->click();
    QVERIFY(chart.seriesVisible(kDoorSeries));
    QVERIFY(chart.seriesGraph(kDoorSeries)->visible());
    chart.setSeriesVisible(kDoorSeries, false);
    QVERIFY(!door->isChecked());
    chart.setLegendVisible(false);
    QVERIFY(!chart.settings().legendVisible);
    QVERIFY(chart.legendWidget()->isHidden());
}

void TestMeasurementChart::autosizeFitsShownSeriesOnce() {
    MeasurementChart chart;
    showOnly(chart, {4, 6}); // humidities
    RawSample s{};
    s[4] = 200, s[6] = 453, s[0] = 60000; // series 0 is hidden and must not count
    chart.appendRecord(kStart, s);
    s[4] = 120, s[6] = 300;
    chart.appendRecord(kStart + 60'000, s);
    chart.autosize();
    ChartSettings a = chart.settings();
    QVERIFY(!a.left.automatic && !a.bottom.automatic);
    QCOMPARE(a.left.min, 12.0);
    QCOMPARE(a.left.max, 45.3);
    QCOMPARE(a.bottom.min, double(kStart));
    QCOMPARE(a.bottom.max, double(kStart + 60'000));
    // New points beyond the fitted range stay outside until Autosize is pressed again.
    s[6] = 900;
    chart.appendRecord(kStart + 120'000, s);
    chart.replot();
    QCOMPARE(chart.settings().bottom.max, double(kStart + 60'000));
    QCOMPARE(chart.settings().left.max, 45.3);
    chart.autosize();
    QCOMPARE(chart.settings().bottom.max, double(kStart + 120'000));
    QCOMPARE(chart.settings().left.max, 90.0);
}

void TestMeasurementChart::rangeButtonsAndAutosize() {
    MeasurementChart chart;
    fillCabinet(chart, 500, 3);
    chart.setLeftRange(0, 20);
    QCOMPARE(chart.settings().left.max, 20.0);
    chart.autosize();
    QVERIFY(chart.settings().left.max != 20.0); // the fitted range replaces 0..20
    chart.setLeftRange(0, 300);
    QCOMPARE(chart.settings().left.min, 0.0);
    QCOMPARE(chart.settings().left.max, 300.0);
    // Autosize with nothing shown keeps the left axis, still fits the time axis.
    showOnly(chart, {});
    chart.autosize();
    QCOMPARE(chart.settings().left.max, 300.0);
    QCOMPARE(chart.settings().bottom.max, double(chart.store().lastTime()));
}

void TestMeasurementChart::bottomAxisFollowsUntilAutosize() {
    MeasurementChart chart;
    fillCabinet(chart, 10, 1);
    chart.replot();
    QCOMPARE(chart.settings().bottom.max, double(kStart + 9000));
    fillCabinet(chart, 20, 1);
    chart.replot();
    QCOMPARE(chart.settings().bottom.min, double(kStart));
    QCOMPARE(chart.settings().bottom.max, double(kStart + 19000));
}

void TestMeasurementChart::timeAxisSmallestStepOneSecond_data() {
    QTest::addColumn<double>("spanMs");
    QTest::addColumn<double>("minStep");
    QTest::newRow("two seconds") << 2000.0 << 1.0;
    QTest::newRow("a quarter second") << 250.0 << 1.0;
    QTest::newRow("one hour") << 3'600'000.0 << 60.0;
}

void TestMeasurementChart::timeAxisSmallestStepOneSecond() {
    QFETCH(double, spanMs);
    QFETCH(double, minStep);
    MeasurementChart chart;
    chart.resize(1600, 900);
    fillCabinet(chart, 4000, 2);
    chart.setBottomRange(double(kStart) + 1000, double(kStart) + 1000 + spanMs);
    chart.replot();
    const QVector<double> ticks = chart.xAxis->tickVector();
    QVERIFY(!ticks.isEmpty());
    for (qsizetype i = 1; i < ticks.size(); ++i)
        QVERIFY2(ticks[i] - ticks[i - 1] >= minStep - 1e-6,
                 qPrintable(QString::number(ticks[i] - ticks[i - 1])));
    // Grids are dashed on both axes.
    QCOMPARE(chart.xAxis->grid()->pen().style(), Qt::DashLine);
    QCOMPARE(chart.yAxis->grid()->pen().style(), Qt::DashLine);
}

void TestMeasurementChart::pixelIdenticalToFullData_data() {
    QTest::addColumn<bool>("noise");
    QTest::addColumn<QList<int>>("series");
    QTest::addColumn<double>("fromFraction");
    QTest::addColumn<double>("toFraction");
    const QList<int> solid = {1, 2, 4, 5, 6, 7, 8, 9, 13, 14, 15, 17};
    QTest::newRow("cabinet, whole history") << false << solid << 0.0 << 1.0;
    QTest::newRow("cabinet, zoomed") << false << solid << 0.40 << 0.47;
    QTest::newRow("cabinet, one day") << false << solid << 0.1 << 0.1 + 86400.0 / 100000;
    QTest::newRow("noise band, whole history") << true << QList<int>{7} << 0.0 << 1.0;
    QTest::newRow("noise band, zoomed") << true << QList<int>{5} << 0.2 << 0.25;
    // The one-pixel pen of the fast line: vertical runs are filled as rectangles.
    QTest::newRow("one-pixel line, noise band") << true << QList<int>{kErrorSeries} << 0.0 << 1.0;
    QTest::newRow("one-pixel line, error episodes")
        << false << QList<int>{kErrorSeries} << 0.0 << 1.0;
    // The door area over a dense history is filled as its envelope per pixel column.
    QTest::newRow("door area, whole history") << false << QList<int>{kDoorSeries} << 0.0 << 1.0;
    QTest::newRow("door area, zoomed") << false << QList<int>{kDoorSeries} << 0.40 << 0.47;
}

void TestMeasurementChart::pixelIdenticalToFullData() {
    QFETCH(bool, noise);
    QFETCH(QList<int>, series);
    QFETCH(double, fromFraction);
    QFETCH(double, toFraction);
    const int w = 1600, h = 900;
    MeasurementChart chart;
    const QList<int>& solid = series;
    ChartSettings s = chart.settings();
    for (auto& st : s.series)
        st.visible = false;
    for (int i : solid)
        s.series[std::size_t(i)].visible = true;
    // The one-pixel pen (chosen in the editor) is drawn by a path of its own.
    if (QByteArray(QTest::currentDataTag()).startsWith("one-pixel"))
        for (int i : solid)
            s.series[std::size_t(i)].penWidth = 1;
    s.legendVisible = false;
    s.backgroundFrom = s.backgroundTo = Qt::white;
    chart.applySettings(s);
    if (noise)
        fillNoise(chart, 100'000, 42);
    else
        fillCabinet(chart, 100'000, 42);
    const double t0 = double(chart.store().firstTime()),
                 span = double(chart.store().lastTime()) - t0;
    chart.setLeftRange(-20, 300);
    chart.setBottomRange(t0 + span * fromFraction, t0 + span * toFraction);

    // Reference: every record in a plain graph, no adaptive sampling, no antialiasing.
    QCustomPlot ref;
    fillReference(ref, chart, solid);
    // Both drawn as on screen: replot into the paint buffers, then grab the widget.
    for (QCustomPlot* p : {static_cast<QCustomPlot*>(&chart), &ref}) {
        p->resize(w, h);
        p->show();
        QVERIFY(QTest::qWaitForWindowExposed(p));
        p->replot();
    }
    const QImage a = chart.grab().toImage().convertToFormat(QImage::Format_RGB32);
    const QImage b = ref.grab().toImage().convertToFormat(QImage::Format_RGB32);
    QCOMPARE(a.size(), QSize(w, h));
    QCOMPARE(b.size(), QSize(w, h));
    // Inked: pixels in the colour of a shown series.
    QSet<QRgb> colours;
    for (int i : solid)
        colours.insert(chart.seriesGraph(i)->pen().color().rgb());
    int differing = 0, inked = 0;
    for (int y = 0; y < h; ++y) {
        const auto* pa = reinterpret_cast<const QRgb*>(a.constScanLine(y));
        const auto* pb = reinterpret_cast<const QRgb*>(b.constScanLine(y));
        for (int x = 0; x < w; ++x) {
            differing += pa[x] != pb[x];
            inked += colours.contains(pb[x]);
        }
    }
    qInfo("differing pixels: %d of %d (%.4f %%), inked in reference: %d", differing, w * h,
          100.0 * differing / (w * h), inked);
    QVERIFY(inked > w / 2); // the lines were really drawn
    // Every case comes out identical, so any differing pixel fails (well inside the 0.1 % a
    // join drawn differently by the rasteriser would be allowed).
    QVERIFY2(differing == 0, qPrintable(QString("%1 differing pixels").arg(differing)));
}

void TestMeasurementChart::widePatternedPensMatchTheLibrary_data() {
    QTest::addColumn<int>("series");
    QTest::addColumn<int>("width");
    QTest::addColumn<bool>("noise");
    // Every width the editor offers, dashed ("prog") and dotted ("passage"), over a history with
    // fewer records than pixel columns: drawn dash by dash, as Qt strokes the whole line.
    for (int width = 2; width <= 20; ++width) {
        QTest::addRow("dashed, %d px, noise", width) << 11 << width << true;
        QTest::addRow("dotted, %d px, cabinet", width) << 12 << width << false;
    }
    QTest::addRow("dash-dot, 13 px, noise") << 11 << 13 << true;
}

void TestMeasurementChart::widePatternedPensMatchTheLibrary() {
    QFETCH(int, series);
    QFETCH(int, width);
    QFETCH(bool, noise);
    const int w = 360, h = 240;
    MeasurementChart chart;
    ChartSettings s = chart.settings();
    for (auto& st : s.series)
        st.visible = false;
    s.series[std::size_t(series)].visible = true;
    s.series[std::size_t(series)].penWidth = width;
    if (QTest::currentDataTag() == QByteArray("dash-dot, 13 px, noise"))
        s.series[std::size_t(series)].style = LineStyle::DashDot;
    s.legendVisible = false;
    s.backgroundFrom = s.backgroundTo = Qt::white;
    chart.applySettings(s);
    const int records = 120; // fewer than the plot's pixel columns
    if (noise)
        fillNoise(chart, records, 7);
    else
        fillCabinet(chart, records, 7);
    // Fitted to the data: a zigzag through the whole height for the noise, steps for the
    // cabinet's phases.
    chart.autosize();

    QCustomPlot ref;
    fillReference(ref, chart, {series});
    QCOMPARE(ref.graph(0)->pen().width(), width);
    for (QCustomPlot* p : {static_cast<QCustomPlot*>(&chart), &ref}) {
        p->resize(w, h);
        p->show();
        QVERIFY(QTest::qWaitForWindowExposed(p));
        p->replot();
    }
    const QImage a = chart.grab().toImage().convertToFormat(QImage::Format_RGB32);
    const QImage b = ref.grab().toImage().convertToFormat(QImage::Format_RGB32);
    int differing = 0, inked = 0;
    const QRgb colour = chart.seriesGraph(series)->pen().color().rgb();
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            differing += a.pixel(x, y) != b.pixel(x, y);
            inked += b.pixel(x, y) == colour;
        }
    }
    if (qEnvironmentVariableIsSet("HQ_SAVE_PIXELS")) {
        a.save(QStringLiteral("/tmp/dash_a.png"));
        b.save(QStringLiteral("/tmp/dash_b.png"));
    }
    QVERIFY2(inked > w * width / 4, qPrintable(QString("only %1 pixels of the line").arg(inked)));
    QVERIFY2(differing == 0, qPrintable(QString("%1 differing pixels").arg(differing)));
}

void TestMeasurementChart::verticalGridAtEveryThirdLabel() {
    MeasurementChart chart;
    ChartSettings s = chart.settings();
    for (auto& st : s.series)
        st.visible = false;
    s.legendVisible = false;
    s.left.grid = false;
    s.backgroundFrom = s.backgroundTo = Qt::white;
    chart.applySettings(s);
    fillCabinet(chart, 3600, 3);
    chart.resize(1200, 500);
    chart.show();
    QVERIFY(QTest::qWaitForWindowExposed(&chart));
    chart.replot();
    const QVector<double> labels = chart.xAxis->tickVector();
    QVERIFY2(labels.size() >= 4, qPrintable(QString::number(labels.size())));
    const QImage image = chart.grab().toImage().convertToFormat(QImage::Format_RGB32);
    // The columns of the plot that hold grid pixels, found on the picture.
    const QRect plot = chart.xAxis->axisRect()->rect();
    const QRgb grid = chart.xAxis->grid()->pen().color().rgb();
    QList<int> columns;
    for (int x = plot.left(); x <= plot.right(); ++x) {
        for (int y = plot.top() + 1; y < plot.bottom(); ++y) {
            if (image.pixel(x, y) == grid) {
                columns.append(x);
                break;
            }
        }
    }
    QList<int> expected;
    for (double tick : labels) {
        const int x = qRound(chart.xAxis->coordToPixel(tick));
        // A label counted in label steps from the epoch: every third one has its line.
        const double step = labels[1] - labels[0];
        if (std::fmod(std::fabs(std::round(tick / step)), 3.0) == 0.0 && x >= plot.left() &&
            x <= plot.right())
            expected.append(x);
    }
    QVERIFY(!expected.isEmpty());
    QCOMPARE(columns, expected);
    QVERIFY(columns.size() < labels.size());
    // Switched off with "Vertikal", none is drawn.
    chart.setVerticalGridVisible(false);
    chart.replot();
    const QImage off = chart.grab().toImage().convertToFormat(QImage::Format_RGB32);
    for (int x : std::as_const(columns))
        for (int y = plot.top() + 1; y < plot.bottom(); ++y)
            QVERIFY(off.pixel(x, y) != grid);
}

void TestMeasurementChart::everyPatternedWidthTakesTheFastPath_data() {
    QTest::addColumn<int>("width");
    QTest::addColumn<int>("records");
    // Every width the editor offers, over a history denser than the pixels and over a sparse one.
    for (int width = 2; width <= 20; ++width) {
        QTest::addRow("%d px, 20000 records", width) << width << 20000;
        QTest::addRow("%d px, 150 records", width) << width << 150;
    }
}

void TestMeasurementChart::everyPatternedWidthTakesTheFastPath() {
    // No dashed or dotted polyline wider than one pixel reaches Qt's stroker in one piece: with
    // 200 000 noisy records a 20-pixel dashed "prog" took 16 to 19 s of CPU per redraw that way
    // (bench_dashed measures the fast path).
    QFETCH(int, width);
    QFETCH(int, records);
    MeasurementChart chart;
    ChartSettings s = chart.settings();
    for (auto& st : s.series)
        st.visible = false;
    s.series[11].visible = true; // "prog", dashed
    s.series[11].penWidth = width;
    s.series[12].visible = true; // "passage", dotted
    s.series[12].penWidth = width;
    chart.applySettings(s);
    fillNoise(chart, records, 5);
    chart.autosize();
    chart.resize(800, 500);
    PolylineRecorder device(QSize(800, 500));
    QCPPainter painter(&device);
    chart.toPainter(&painter, 800, 500);
    painter.end();
    QCOMPARE(device.widePatternedPolylines, 0);
    // Both lines were drawn that way, over the plot's whole width, as far as their data reach.
    const QRect plot = chart.xAxis->axisRect()->rect();
    QVERIFY2(plot.width() > 400, qPrintable(QString::number(plot.width())));
    for (int series : {11, 12}) {
        const QRgb colour = chart.seriesGraph(series)->pen().color().rgb();
        QVERIFY2(device.spans.contains(colour), qPrintable(QString::number(series)));
        const auto [from, to] = device.spans.value(colour);
        const double covered =
            std::min<double>(to, plot.right()) - std::max<double>(from, plot.left());
        QVERIFY2(covered >= 0.9 * plot.width(),
                 qPrintable(QStringLiteral("series %1 drawn over %2 of %3 pixels")
                                .arg(series)
                                .arg(covered)
                                .arg(plot.width())));
    }
}

QTEST_MAIN(TestMeasurementChart)
#include "test_measurement_chart.moc"
