#include "widgets/led_display.h"

#include "ui_led_form.h"

#include <QImage>
#include <QSignalSpy>
#include <QTest>

#include <cmath>
#include <functional>
#include <limits>

using hq::LedDisplay;
using Setter = std::function<void(LedDisplay&)>;
Q_DECLARE_METATYPE(Setter)

namespace {

const QColor kBlack(0, 0, 0);
const QColor kLime(0, 255, 0);
const QColor kAqua(0, 255, 255);

// The monitor window's configurations of the readout.
void configure(LedDisplay& led, const QString& config) {
    if (config == "humidity") {
        led.resize(88, 33);
        led.setColorLED(kAqua);
        led.setDigitHeight(25);
        led.setDigitWidth(16);
        led.setNumDigits(4);
        led.setFractionDigits(1);
        led.setLeadingZeros(false);
        led.setLEDContrast(7);
    } else if (config == "phase") {
        led.resize(57, 36);
        led.setLeadingZeros(false);
        led.setLEDContrast(8);
        led.setNumDigits(2);
    } else if (config == "default-fd2") {
        led.setFractionDigits(2);
    } else if (config == "default-nolz") {
        led.setLeadingZeros(false);
    } else {
        QCOMPARE(config, QString("default"));
    }
}

QRgb rgb(const QColor& c) {
    return c.rgb() | 0xff000000U;
}

QImage render(LedDisplay& led) {
    return led.grab().toImage().convertToFormat(QImage::Format_RGB32);
}

QPoint cellOrigin(const LedDisplay& led, int cell) {
    const int cw = led.width() / led.numDigits();
    return QPoint((cw - led.digitWidth()) / 2 + cell * cw, (led.height() - led.digitHeight()) / 2);
}

// Reads the rendered cells back: each cell becomes the glyph whose image it shows ("0".."9",
// "-"), a blank when it holds only background, or "?" otherwise. A "," follows a cell when
// LED-coloured pixels lie in the gap after it.
QString readCells(LedDisplay& led) {
    const QImage shot = render(led);
    const int W = led.digitWidth();
    const int H = led.digitHeight();
    const int cw = led.width() / led.numDigits();
    QString cells;
    for (int j = 0; j < led.numDigits(); ++j) {
        const QPoint o = cellOrigin(led, j);
        const QImage cell = shot.copy(o.x(), o.y(), W, H);
        QChar c = u'?';
        for (int g = 0; g < LedDisplay::kGlyphCount; ++g) {
            if (cell == led.digitImage(g).convertToFormat(QImage::Format_RGB32)) {
                c = QStringLiteral("0123456789-").at(g);
                break;
            }
        }
        QImage blank(W, H, QImage::Format_RGB32);
        blank.fill(led.colorBackGround());
        if (cell == blank) {
            c = u' ';
        }
        cells += c;
        const int gapEnd = std::min(o.x() + cw, led.width() - 2);
        bool separator = false;
        for (int x = o.x() + W; x < gapEnd; ++x) {
            for (int y = 2; y < led.height() - 2; ++y) {
                separator = separator || shot.pixel(x, y) == rgb(led.colorLED());
            }
        }
        if (separator) {
            cells += u',';
        }
    }
    return cells;
}

// A point well inside each segment: the mean of its polygon's corners.
QPoint segmentPoint(const LedDisplay& led, int segment) {
    const int W = led.digitWidth();
    const int H = led.digitHeight();
    const int LW = led.digitLineWidth();
    if (led.segmentStyle() == LedDisplay::SegmentRectangular) {
        const int l = LW / 2;
        const int m = 3 * LW / 2;
        const int M = H / 2;
        const QLine lines[7] = {
            {LW, l, W - LW - 1, l},
            {l, m, l, M - LW},
            {W - l - 1, m, W - l - 1, M - LW},
            {LW, M, W - LW, M},
            {l, M + LW, l, H - m},
            {W - l - 1, M + LW, W - l - 1, H - m},
            {LW, H - l - 1, W - LW, H - l - 1},
        };
        return lines[segment].center();
    }
    const int A = LW + 1;
    const int D = W - LW - 2;
    const int M = H / 2;
    const int h = (LW + 2) / 2;
    const int E = H - LW - 2;
    const QList<QPoint> polygons[7] = {
        {{0, 0}, {W - 1, 0}, {D, A}, {A, A}},
        {{0, 0}, {A, A}, {A, M - h}, {0, M}},
        {{W - 1, 0}, {W - 1, M}, {D, M - h}, {D, A}},
        {{0, M}, {A, M - h}, {D, M - h}, {W - 1, M}, {D, M + h}, {A, M + h}},
        {{0, M}, {A, M + h}, {A, E}, {0, H - 1}},
        {{W - 1, M}, {W - 1, H - 1}, {D, E}, {D, M + h}},
        {{0, H - 1}, {A, E}, {D, E}, {W - 1, H - 1}},
    };
    QPoint sum;
    for (const QPoint& p : polygons[segment]) {
        sum += p;
    }
    const auto n = static_cast<int>(polygons[segment].size());
    return QPoint(sum.x() / n, sum.y() / n);
}

class CountingLed : public LedDisplay {
public:
    int paints = 0;

protected:
    void paintEvent(QPaintEvent* event) override {
        ++paints;
        LedDisplay::paintEvent(event);
    }
};

} // namespace

class LedDisplayTest : public QObject {
    Q_OBJECT

private slots:
    void defaults();
    void blend_data();
    void blend();
    void formatValue_data();
    void formatValue();
    void cells_data();
    void cells();
    void unlitColour_data();
    void unlitColour();
    void contrastExtremes();
    void segmentPixels_data();
    void segmentPixels();
    void outlines();
    void separators_data();
    void separators();
    void bevelAndBorder_data();
    void bevelAndBorder();
    void setterEffects_data();
    void setterEffects();
    void fractionDigitsLimit();
    void onChange();
    void designerForm();
};

void LedDisplayTest::defaults() {
    LedDisplay led;
    QCOMPARE(led.size(), QSize(168, 36));
    QCOMPARE(led.bevelStyle(), LedDisplay::BevelLowered);
    QCOMPARE(led.borderStyle(), LedDisplay::BorderSingle);
    QCOMPARE(led.colorBackGround(), kBlack);
    QCOMPARE(led.colorLED(), kLime);
    QCOMPARE(led.decSeparator(), LedDisplay::SepComma);
    QCOMPARE(led.digitHeight(), 30);
    QCOMPARE(led.digitWidth(), 20);
    QCOMPARE(led.digitLineWidth(), 3);
    QVERIFY(led.drawDigitShapes());
    QCOMPARE(led.fractionDigits(), 0);
    QVERIFY(led.leadingZeros());
    QCOMPARE(led.ledContrast(), 6);
    QCOMPARE(led.numDigits(), 6);
    QCOMPARE(led.segmentStyle(), LedDisplay::SegmentBeveled);
    QCOMPARE(led.value(), 0.0);
    QCOMPARE(led.outlineColor(), kBlack);
    QCOMPARE(led.digitImage(8).size(), QSize(20, 30));
    QVERIFY(led.digitImage(LedDisplay::kGlyphCount).isNull());
    QVERIFY(led.digitImage(-1).isNull());
}

void LedDisplayTest::blend_data() {
    QTest::addColumn<QColor>("c1");
    QTest::addColumn<QColor>("c2");
    QTest::addColumn<int>("k");
    QTest::addColumn<QColor>("expected");
    QTest::newRow("aqua 7") << kAqua << kBlack << 7 << QColor(0, 57, 57);
    QTest::newRow("lime 8") << kLime << kBlack << 8 << QColor(0, 28, 0);
    QTest::newRow("lime 6") << kLime << kBlack << 6 << QColor(0, 85, 0);
    QTest::newRow("k 0 keeps c1") << QColor(12, 34, 56) << QColor(200, 100, 0) << 0
                                  << QColor(12, 34, 56);
    QTest::newRow("k 9 gives c2") << QColor(12, 34, 56) << QColor(200, 100, 0) << 9
                                  << QColor(200, 100, 0);
    // 200 - 84.4, 100 + 53.3, 50 + 17.8: each channel rounded on its own
    QTest::newRow("both ways") << QColor(200, 100, 50) << QColor(10, 220, 90) << 4
                               << QColor(116, 153, 68);
    QTest::newRow("hsv input") << QColor::fromHsv(120, 255, 255) << kBlack << 7 << QColor(0, 57, 0);
}

void LedDisplayTest::blend() {
    QFETCH(QColor, c1);
    QFETCH(QColor, c2);
    QFETCH(int, k);
    QFETCH(QColor, expected);
    QCOMPARE(LedDisplay::Blend(c1, c2, k), expected);
}

void LedDisplayTest::formatValue_data() {
    QTest::addColumn<double>("value");
    QTest::addColumn<int>("fractionDigits");
    QTest::addColumn<int>("numDigits");
    QTest::addColumn<bool>("leadingZeros");
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("separatorPos");
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const double inf = std::numeric_limits<double>::infinity();
    QTest::newRow("45.3") << 45.3 << 1 << 4 << false << "0453" << 4;
    QTest::newRow("0") << 0.0 << 1 << 4 << false << "0000" << 4;
    QTest::newRow("7 on six") << 7.0 << 0 << 6 << true << "000007" << 0;
    QTest::newRow("overflow") << 1234.5 << 1 << 4 << false << "12345" << 5;
    QTest::newRow("rounds up") << 9.96 << 1 << 4 << false << "0100" << 4;
    QTest::newRow("two decimals") << 12.34 << 2 << 6 << true << "001234" << 5;
    QTest::newRow("fills exactly") << 123.4 << 1 << 4 << false << "1234" << 4;
    QTest::newRow("minus") << -5.2 << 1 << 4 << false << "0-52" << 4;
    QTest::newRow("minus zeros") << -5.2 << 1 << 4 << true << "-052" << 4;
    QTest::newRow("minus full") << -45.3 << 1 << 4 << false << "-453" << 4;
    QTest::newRow("minus integer") << -7.0 << 0 << 6 << true << "-00007" << 0;
    QTest::newRow("rounds to zero") << -0.04 << 1 << 4 << false << "0000" << 4;
    QTest::newRow("negative zero") << -0.0 << 0 << 2 << false << "00" << 0;
    QTest::newRow("nan") << nan << 1 << 4 << false << "----" << 0;
    QTest::newRow("infinity") << -inf << 0 << 2 << true << "--" << 0;
    QTest::newRow("huge") << 1e18 << 0 << 4 << true << "1000000000000000000" << 0;
}

void LedDisplayTest::formatValue() {
    QFETCH(double, value);
    QFETCH(int, fractionDigits);
    QFETCH(int, numDigits);
    QFETCH(bool, leadingZeros);
    QFETCH(QString, text);
    QFETCH(int, separatorPos);
    const auto vt = LedDisplay::formatValue(value, fractionDigits, numDigits, leadingZeros);
    QCOMPARE(vt.text, text);
    QCOMPARE(vt.separatorPos, separatorPos);
}

void LedDisplayTest::cells_data() {
    QTest::addColumn<QString>("config");
    QTest::addColumn<double>("value");
    QTest::addColumn<QString>("cells");
    QTest::newRow("humidity 45.3") << "humidity" << 45.3 << " 45,3";
    QTest::newRow("humidity 3.7") << "humidity" << 3.7 << "  3,7";
    QTest::newRow("humidity 0") << "humidity" << 0.0 << "  0,0";
    QTest::newRow("humidity 0.5") << "humidity" << 0.5 << "  0,5";
    QTest::newRow("humidity 100") << "humidity" << 100.0 << "100,0";
    // the comma after the last cell lies under the border
    QTest::newRow("humidity 1234.5") << "humidity" << 1234.5 << "1234";
    QTest::newRow("humidity -5.2") << "humidity" << -5.2 << " -5,2";
    QTest::newRow("humidity -45.3") << "humidity" << -45.3 << "-45,3";
    QTest::newRow("humidity -0.04") << "humidity" << -0.04 << "  0,0";
    QTest::newRow("humidity nan") << "humidity" << std::nan("") << "----";
    QTest::newRow("phase 0") << "phase" << 0.0 << " 0";
    QTest::newRow("phase 7") << "phase" << 7.0 << " 7";
    QTest::newRow("phase 42") << "phase" << 42.0 << "42";
    QTest::newRow("leading zeros 7") << "default" << 7.0 << "000007";
    QTest::newRow("leading zeros -7") << "default" << -7.0 << "-00007";
    QTest::newRow("fraction 12.34") << "default-fd2" << 12.34 << "0012,34";
    QTest::newRow("no fraction, no separator") << "default-nolz" << 12.7 << "    13";
    QTest::newRow("all digits") << "default-nolz" << 908761.0 << "908761";
    QTest::newRow("inner zeros stay") << "default-nolz" << 100203.0 << "100203";
}

void LedDisplayTest::cells() {
    QFETCH(QString, config);
    QFETCH(double, value);
    QFETCH(QString, cells);
    LedDisplay led;
    configure(led, config);
    led.setValue(value);
    QCOMPARE(readCells(led), cells);
}

void LedDisplayTest::unlitColour_data() {
    QTest::addColumn<QString>("config");
    QTest::addColumn<QColor>("lit");
    QTest::addColumn<QColor>("unlit");
    QTest::newRow("humidity") << "humidity" << kAqua << QColor(0, 57, 57);
    QTest::newRow("phase") << "phase" << kLime << QColor(0, 28, 0);
    QTest::newRow("default") << "default" << kLime << QColor(0, 85, 0);
}

void LedDisplayTest::unlitColour() {
    QFETCH(QString, config);
    QFETCH(QColor, lit);
    QFETCH(QColor, unlit);
    LedDisplay led;
    configure(led, config);
    led.setValue(1); // segments 2 and 5 lit
    QCOMPARE(led.unlitColor(), unlit);
    const QImage shot = render(led);
    const QPoint units = cellOrigin(led, led.numDigits() - 1 - led.fractionDigits());
    QCOMPARE(shot.pixel(units + segmentPoint(led, 0)), rgb(unlit));
    QCOMPARE(shot.pixel(units + segmentPoint(led, 3)), rgb(unlit));
    QCOMPARE(shot.pixel(units + segmentPoint(led, 2)), rgb(lit));
    QCOMPARE(shot.pixel(units + segmentPoint(led, 5)), rgb(lit));
}

void LedDisplayTest::contrastExtremes() {
    LedDisplay led;
    led.setNumDigits(1);
    led.setValue(1);
    const QPoint o = cellOrigin(led, 0);

    led.setLEDContrast(0);
    QCOMPARE(led.unlitColor(), kLime);
    QCOMPARE(render(led).pixel(o + segmentPoint(led, 0)), rgb(kLime));
    QCOMPARE(led.digitImage(1), led.digitImage(8));

    led.setLEDContrast(9);
    QCOMPARE(led.unlitColor(), kBlack);
    QCOMPARE(render(led).pixel(o + segmentPoint(led, 0)), rgb(kBlack));

    led.setLEDContrast(10); // ignored
    QCOMPARE(led.ledContrast(), 9);
    led.setLEDContrast(-1);
    QCOMPARE(led.ledContrast(), 9);
    QCOMPARE(led.unlitColor(), kBlack);
}

void LedDisplayTest::segmentPixels_data() {
    QTest::addColumn<int>("glyph");
    QTest::addColumn<int>("style");
    QTest::addColumn<QSize>("size");
    QTest::addColumn<int>("lineWidth");
    QTest::addColumn<QString>("lit"); // one '1' per lit segment, top first
    const char* lit[LedDisplay::kGlyphCount] = {"1110111", "0010010", "1011101", "1011011",
                                                "0111010", "1101011", "0101111", "1010010",
                                                "1111111", "1111011", "0001000"};
    const struct {
        const char* name;
        int style;
        QSize size;
        int lineWidth;
    } looks[] = {
        {"beveled 20x30", LedDisplay::SegmentBeveled, {20, 30}, 3},
        {"beveled 16x25", LedDisplay::SegmentBeveled, {16, 25}, 3},
        {"beveled 36x60 lw7", LedDisplay::SegmentBeveled, {36, 60}, 7},
        {"beveled 24x40 lw4", LedDisplay::SegmentBeveled, {24, 40}, 4},
        {"rectangular 20x30", LedDisplay::SegmentRectangular, {20, 30}, 3},
        {"rectangular 30x44 lw5", LedDisplay::SegmentRectangular, {30, 44}, 5},
        {"rectangular 24x40 lw4", LedDisplay::SegmentRectangular, {24, 40}, 4},
    };
    for (const auto& look : looks) {
        for (int g = 0; g < LedDisplay::kGlyphCount; ++g) {
            QTest::addRow("%s glyph %d", look.name, g)
                << g << look.style << look.size << look.lineWidth << QString(lit[g]);
        }
    }
}

void LedDisplayTest::segmentPixels() {
    QFETCH(int, glyph);
    QFETCH(int, style);
    QFETCH(QSize, size);
    QFETCH(int, lineWidth);
    QFETCH(QString, lit);
    LedDisplay led;
    led.setSegmentStyle(static_cast<LedDisplay::SegmentStyle>(style));
    led.setDigitWidth(size.width());
    led.setDigitHeight(size.height());
    led.setDigitLineWidth(lineWidth);
    led.setColorBackGround(QColor(0, 0, 90)); // apart from the black outline
    led.setNumDigits(2);
    led.resize(2 * size.width() + 20, size.height() + 10);
    led.setValue(glyph == LedDisplay::kMinusGlyph ? -1 : glyph);
    const QImage shot = render(led);
    const QPoint o = cellOrigin(led, glyph == LedDisplay::kMinusGlyph ? 0 : 1);
    for (int s = 0; s < 7; ++s) {
        const QColor expected = lit.at(s) == u'1' ? led.colorLED() : led.unlitColor();
        const QPoint p = o + segmentPoint(led, s);
        QVERIFY2(shot.pixel(p) == rgb(expected),
                 qPrintable(QString("segment %1 at %2,%3").arg(s).arg(p.x()).arg(p.y())));
    }
    // Between the segments of each half the cell keeps its background.
    const int W = size.width();
    const int H = size.height();
    const QRgb background = rgb(led.colorBackGround());
    QCOMPARE(shot.pixel(o + QPoint(W / 2, H / 4)), background);
    QCOMPARE(shot.pixel(o + QPoint(W / 2, 3 * H / 4)), background);

    const int LW = lineWidth;
    const int M = H / 2;
    if (style == LedDisplay::SegmentBeveled) {
        // The inner edges of the polygons carry the outline.
        const int A = LW + 1;
        const int D = W - LW - 2;
        const int h = (LW + 2) / 2;
        const int E = H - LW - 2;
        const QPoint edges[] = {{W / 2, A},           {W / 2, M - h},       {W / 2, M + h},
                                {W / 2, E},           {A, (A + M - h) / 2}, {D, (A + M - h) / 2},
                                {A, (M + h + E) / 2}, {D, (M + h + E) / 2}};
        for (const QPoint& e : edges) {
            QVERIFY2(shot.pixel(o + e) == rgb(kBlack),
                     qPrintable(QString("edge %1,%2").arg(e.x()).arg(e.y())));
        }
    } else {
        // Each line is LW pixels thick around its axis; the pixels just beyond it are
        // background.
        for (int s = 0; s < 7; ++s) {
            const QPoint c = segmentPoint(led, s);
            const bool horizontal = s == 0 || s == 3 || s == 6;
            const int before = (horizontal ? c.y() : c.x()) - LW / 2 - 1;
            const int after = (horizontal ? c.y() : c.x()) + (LW - 1) / 2 + 1;
            for (int at : {before, after}) {
                const QPoint p = horizontal ? QPoint(c.x(), at) : QPoint(at, c.y());
                if (p.x() > 0 && p.x() < W - 1 && p.y() > 0 && p.y() < H - 1) { // inside the frame
                    QVERIFY2(
                        shot.pixel(o + p) == background,
                        qPrintable(QString("beside %1 at %2,%3").arg(s).arg(p.x()).arg(p.y())));
                }
            }
        }
    }
}

void LedDisplayTest::outlines() {
    LedDisplay led;
    led.setColorBackGround(QColor(0, 0, 90));
    led.setNumDigits(1);
    led.resize(30, 40);
    led.setValue(8);
    const QPoint o = cellOrigin(led, 0);
    const int W = led.digitWidth();
    const int A = led.digitLineWidth() + 1;
    QImage shot = render(led);
    // cell frame and the lower edge of the top segment, in the outline colour
    QCOMPARE(shot.pixel(o + QPoint(W / 2, 0)), rgb(kBlack));
    QCOMPARE(shot.pixel(o + QPoint(W / 2, A)), rgb(kBlack));
    QCOMPARE(shot.pixel(o + QPoint(W / 2, A - 1)), rgb(kLime));

    led.setDrawDigitShapes(false);
    shot = render(led);
    QCOMPARE(shot.pixel(o + QPoint(W / 2, A)), rgb(led.colorBackGround()));
    QCOMPARE(shot.pixel(o + QPoint(W / 2, A - 1)), rgb(kLime));
}

void LedDisplayTest::separators_data() {
    QTest::addColumn<int>("separator");
    QTest::addColumn<int>("fractionDigits");
    QTest::addColumn<QList<QPoint>>("lit");
    // Default readout 168 x 36 with 12.34 on two fraction digits: digits at y 3, the glyph
    // follows the fourth cell, sx = 110.
    const QPoint apostrophe(112, 5), comma(112, 28), upper(112, 13), lower(112, 24), point(112, 31),
        hyphen(111, 18);
    QTest::newRow("apostrophe") << int(LedDisplay::SepApostrophe) << 2 << QList<QPoint>{apostrophe};
    QTest::newRow("comma") << int(LedDisplay::SepComma) << 2 << QList<QPoint>{comma};
    QTest::newRow("double point") << int(LedDisplay::SepDoublePoint) << 2
                                  << QList<QPoint>{upper, lower};
    QTest::newRow("hyphen") << int(LedDisplay::SepHyphen) << 2 << QList<QPoint>{hyphen};
    QTest::newRow("none") << int(LedDisplay::SepNone) << 2 << QList<QPoint>{};
    QTest::newRow("point") << int(LedDisplay::SepPoint) << 2 << QList<QPoint>{point};
    QTest::newRow("semicolon") << int(LedDisplay::SepSemicolon) << 2 << QList<QPoint>{upper, lower};
    QTest::newRow("comma without fraction") << int(LedDisplay::SepComma) << 0 << QList<QPoint>{};
    QTest::newRow("point without fraction") << int(LedDisplay::SepPoint) << 0 << QList<QPoint>{};
}

void LedDisplayTest::separators() {
    QFETCH(int, separator);
    QFETCH(int, fractionDigits);
    QFETCH(QList<QPoint>, lit);
    LedDisplay led;
    led.setDecSeparator(static_cast<LedDisplay::DecSeparator>(separator));
    led.setFractionDigits(fractionDigits);
    led.setValue(12.34);
    const QImage shot = render(led);
    const QRgb ledColour = rgb(led.colorLED());
    for (const QPoint& p : lit) {
        QVERIFY2(shot.pixel(p) == ledColour, qPrintable(QString("%1,%2").arg(p.x()).arg(p.y())));
    }
    // Nothing else in any gap between the digit images.
    int litInGaps = 0;
    for (int j = 0; j + 1 < led.numDigits(); ++j) {
        const int from = cellOrigin(led, j).x() + led.digitWidth();
        for (int x = from; x < cellOrigin(led, j + 1).x(); ++x) {
            for (int y = 2; y < led.height() - 2; ++y) {
                if (shot.pixel(x, y) == ledColour) {
                    ++litInGaps;
                    QVERIFY2(j == 3, qPrintable(QString("lit after cell %1").arg(j)));
                }
            }
        }
    }
    QCOMPARE(litInGaps > 0, !lit.isEmpty());
}

void LedDisplayTest::bevelAndBorder_data() {
    QTest::addColumn<int>("bevel");
    QTest::addColumn<int>("border");
    QTest::addColumn<int>("topLeft");     // colour role of the top row and left column
    QTest::addColumn<int>("bottomRight"); // and of the bottom row and right column
    QTest::addColumn<int>("inner");       // colour role of the ring inside, -1: background
    const int background = -1;
    const int frame = QPalette::Shadow;
    QTest::newRow("lowered single") << int(LedDisplay::BevelLowered) << 1 << int(QPalette::Dark)
                                    << int(QPalette::Light) << frame;
    QTest::newRow("space single") << int(LedDisplay::BevelSpace) << 1 << int(QPalette::Dark)
                                  << int(QPalette::Light) << frame;
    QTest::newRow("raised single") << int(LedDisplay::BevelRaised) << 1 << int(QPalette::Light)
                                   << int(QPalette::Dark) << frame;
    QTest::newRow("lowered none") << int(LedDisplay::BevelLowered) << 0 << int(QPalette::Dark)
                                  << int(QPalette::Light) << background;
    QTest::newRow("none single") << int(LedDisplay::BevelNone) << 1 << frame << frame << background;
    QTest::newRow("none none") << int(LedDisplay::BevelNone) << 0 << background << background
                               << background;
}

void LedDisplayTest::bevelAndBorder() {
    QFETCH(int, bevel);
    QFETCH(int, border);
    QFETCH(int, topLeft);
    QFETCH(int, bottomRight);
    QFETCH(int, inner);
    LedDisplay led;
    QPalette palette = led.palette();
    palette.setColor(QPalette::Dark, QColor(100, 100, 100));
    palette.setColor(QPalette::Light, QColor(250, 250, 250));
    palette.setColor(QPalette::Shadow, QColor(20, 30, 40));
    led.setPalette(palette);
    led.setBevelStyle(static_cast<LedDisplay::BevelCut>(bevel));
    led.setBorderStyle(static_cast<LedDisplay::BorderStyle>(border));
    led.setValue(888888);
    const auto colour = [&](int role) {
        return role < 0 ? rgb(led.colorBackGround())
                        : rgb(palette.color(static_cast<QPalette::ColorRole>(role)));
    };
    const QImage shot = render(led);
    const int w = led.width();
    const int h = led.height();
    QCOMPARE(shot.pixel(0, 0), colour(topLeft));
    QCOMPARE(shot.pixel(w / 2, 0), colour(topLeft));
    QCOMPARE(shot.pixel(w - 1, 0), colour(topLeft));
    QCOMPARE(shot.pixel(0, h / 2), colour(topLeft));
    QCOMPARE(shot.pixel(0, h - 1), colour(bottomRight));
    QCOMPARE(shot.pixel(w / 2, h - 1), colour(bottomRight));
    QCOMPARE(shot.pixel(w - 1, h - 1), colour(bottomRight));
    QCOMPARE(shot.pixel(w - 1, h / 2), colour(bottomRight));
    QCOMPARE(shot.pixel(w / 2, 1), colour(inner));
    QCOMPARE(shot.pixel(1, h / 2), colour(inner));
    QCOMPARE(shot.pixel(w - 2, h / 2), colour(inner));
    QCOMPARE(shot.pixel(w / 2, h - 2), colour(inner));
    QCOMPARE(shot.pixel(w / 2, 2), rgb(led.colorBackGround()));
}

void LedDisplayTest::setterEffects_data() {
    QTest::addColumn<Setter>("setter");
    QTest::addColumn<bool>("rebuilds");
    QTest::addColumn<bool>("repaints");
    QTest::addColumn<bool>("changes");
    auto row = [](const char* name, Setter s, bool rebuild, bool repaint, bool change = false) {
        QTest::newRow(name) << s << rebuild << repaint << change;
    };
    row(
        "ColorLED", [](LedDisplay& l) { l.setColorLED(QColor(255, 0, 0)); }, true, true);
    row(
        "ColorLED same", [](LedDisplay& l) { l.setColorLED(QColor(0, 255, 0)); }, false, false);
    row(
        "ColorBackGround", [](LedDisplay& l) { l.setColorBackGround(QColor(9, 9, 9)); }, true,
        true);
    row(
        "ColorBackGround same", [](LedDisplay& l) { l.setColorBackGround(kBlack); }, false, false);
    row(
        "LEDContrast", [](LedDisplay& l) { l.setLEDContrast(3); }, true, true);
    row(
        "LEDContrast same", [](LedDisplay& l) { l.setLEDContrast(6); }, false, false);
    row(
        "LEDContrast 10", [](LedDisplay& l) { l.setLEDContrast(10); }, false, false);
    row(
        "DigitHeight", [](LedDisplay& l) { l.setDigitHeight(24); }, true, true);
    row(
        "DigitHeight 0", [](LedDisplay& l) { l.setDigitHeight(0); }, false, false);
    row(
        "DigitWidth", [](LedDisplay& l) { l.setDigitWidth(18); }, true, true);
    row(
        "DigitWidth huge", [](LedDisplay& l) { l.setDigitWidth(1 << 20); }, false, false);
    row(
        "DigitLineWidth", [](LedDisplay& l) { l.setDigitLineWidth(2); }, true, true);
    row(
        "SegmentStyle", [](LedDisplay& l) { l.setSegmentStyle(LedDisplay::SegmentRectangular); },
        true, true);
    row(
        "SegmentStyle same", [](LedDisplay& l) { l.setSegmentStyle(LedDisplay::SegmentBeveled); },
        false, false);
    row(
        "DrawDigitShapes", [](LedDisplay& l) { l.setDrawDigitShapes(false); }, true, true);
    row(
        "FractionDigits", [](LedDisplay& l) { l.setFractionDigits(2); }, false, true);
    row(
        "FractionDigits same", [](LedDisplay& l) { l.setFractionDigits(0); }, false, false);
    row(
        "NumDigits", [](LedDisplay& l) { l.setNumDigits(4); }, false, true);
    row(
        "NumDigits 0", [](LedDisplay& l) { l.setNumDigits(0); }, false, false);
    row(
        "DecSeparator", [](LedDisplay& l) { l.setDecSeparator(LedDisplay::SepPoint); }, false,
        true);
    row(
        "LeadingZeros", [](LedDisplay& l) { l.setLeadingZeros(false); }, false, true);
    row(
        "LeadingZeros same", [](LedDisplay& l) { l.setLeadingZeros(true); }, false, false);
    row(
        "BevelStyle", [](LedDisplay& l) { l.setBevelStyle(LedDisplay::BevelRaised); }, false, true);
    row(
        "BorderStyle", [](LedDisplay& l) { l.setBorderStyle(LedDisplay::BorderNone); }, false,
        true);
    row(
        "Value", [](LedDisplay& l) { l.setValue(45.3); }, false, true, true);
    row(
        "Value same", [](LedDisplay& l) { l.setValue(0.0); }, false, false);
}

void LedDisplayTest::setterEffects() {
    QFETCH(Setter, setter);
    QFETCH(bool, rebuilds);
    QFETCH(bool, repaints);
    QFETCH(bool, changes);
    CountingLed led;
    led.show();
    QVERIFY(QTest::qWaitForWindowExposed(&led));
    QTRY_VERIFY(led.paints > 0);
    QTest::qWait(20);
    led.paints = 0;
    QList<qint64> keys;
    for (int g = 0; g < LedDisplay::kGlyphCount; ++g) {
        keys << led.digitImage(g).cacheKey();
    }
    QSignalSpy spy(&led, &LedDisplay::OnChange);

    setter(led);

    QCOMPARE(spy.count(), changes ? 1 : 0);
    for (int g = 0; g < LedDisplay::kGlyphCount; ++g) {
        QCOMPARE(led.digitImage(g).cacheKey() != keys.at(g), rebuilds);
    }
    if (repaints) {
        QTRY_VERIFY(led.paints > 0);
    } else {
        QTest::qWait(50);
        QCOMPARE(led.paints, 0);
    }
}

void LedDisplayTest::fractionDigitsLimit() {
    LedDisplay led;
    led.setNumDigits(4);
    led.setFractionDigits(7);
    QCOMPARE(led.fractionDigits(), 3);
    led.setFractionDigits(-2);
    QCOMPARE(led.fractionDigits(), 0);
    led.setFractionDigits(3);
    led.setNumDigits(2); // not re-checked
    QCOMPARE(led.fractionDigits(), 3);
    led.setValue(0.5);
    QCOMPARE(readCells(led), QString("0,5")); // separator after the first cell
}

void LedDisplayTest::onChange() {
    LedDisplay led;
    QList<double> seen;
    connect(&led, &LedDisplay::OnChange, this, [&](LedDisplay* sender) {
        QCOMPARE(sender, &led);
        seen << sender->value();
    });
    led.setValue(45.3);
    QCOMPARE(seen, QList<double>{45.3}); // synchronous, after the value was stored
    led.setValue(45.3);
    led.setValue(-0.0); // equals 0 only after a change
    led.setValue(0.0);
    QCOMPARE(seen, (QList<double>{45.3, -0.0}));
    led.setValue(std::nan(""));
    led.setValue(std::nan(""));
    QCOMPARE(seen.size(), 3);
}

// The readout as the monitor window's form sets it up.
void LedDisplayTest::designerForm() {
    QWidget form;
    Ui::LedForm ui;
    ui.setupUi(&form);
    QCOMPARE(ui.LEDDisplay4->size(), QSize(88, 33));
    QCOMPARE(ui.LEDDisplay4->colorLED(), kAqua);
    QCOMPARE(ui.LEDDisplay4->digitHeight(), 25);
    QCOMPARE(ui.LEDDisplay4->digitWidth(), 16);
    QCOMPARE(ui.LEDDisplay4->fractionDigits(), 1);
    QVERIFY(!ui.LEDDisplay4->leadingZeros());
    QCOMPARE(ui.LEDDisplay4->ledContrast(), 7);
    QCOMPARE(ui.LEDDisplay4->numDigits(), 4);
    QCOMPARE(ui.LEDDisplay4->bevelStyle(), LedDisplay::BevelLowered);
    QCOMPARE(ui.LEDDisplay4->decSeparator(), LedDisplay::SepComma);
    QCOMPARE(ui.LEDDisplay4->value(), 0.5);
    QCOMPARE(ui.LEDDisplay4->unlitColor(), QColor(0, 57, 57));
    QCOMPARE(readCells(*ui.LEDDisplay4), QString("  0,5"));

    QVERIFY(ui.LEDDisplay5->setProperty("LEDContrast", 8));
    QVERIFY(ui.LEDDisplay5->setProperty("NumDigits", 2));
    QVERIFY(ui.LEDDisplay5->setProperty("DecSeparator", int(LedDisplay::SepPoint)));
    QVERIFY(ui.LEDDisplay5->setProperty("Value", 4.0));
    QCOMPARE(ui.LEDDisplay5->ledContrast(), 8);
    QCOMPARE(ui.LEDDisplay5->numDigits(), 2);
    QCOMPARE(ui.LEDDisplay5->decSeparator(), LedDisplay::SepPoint);
    QCOMPARE(ui.LEDDisplay5->property("Value").toDouble(), 4.0);
}

QTEST_MAIN(LedDisplayTest)
#include "test_led_display.moc"
