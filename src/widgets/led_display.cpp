#include "widgets/led_display.h"

#include <QPainter>
#include <QPalette>
#include <QPen>
#include <QPolygon>

#include <algorithm>
#include <cmath>

namespace hq {

namespace {

// Segments in drawing order: 0 top, 1 upper left, 2 upper right, 3 middle, 4 lower left,
// 5 lower right, 6 bottom. One bit per segment.
constexpr std::array<unsigned, LedDisplay::GlyphCount> kLitSegments = {
    0b1110111, // 0: 0 1 2 4 5 6
    0b0100100, // 1: 2 5
    0b1011101, // 2: 0 2 3 4 6
    0b1101101, // 3: 0 2 3 5 6
    0b0101110, // 4: 1 2 3 5
    0b1101011, // 5: 0 1 3 5 6
    0b1111010, // 6: 1 3 4 5 6
    0b0100101, // 7: 0 2 5
    0b1111111, // 8: all
    0b1101111, // 9: 0 1 2 3 5 6
    0b0001000, // minus: 3
};

constexpr int kMaxNumDigits = 100;

bool segmentLit(int glyph, int segment) {
    return (kLitSegments[static_cast<std::size_t>(glyph)] >> segment) & 1U;
}

// The drawing primitives below take their boxes as (left, top)-(right, bottom) with the right
// and bottom edge outside the shape, and outline with the painter's one-pixel pen.
void drawBox(QPainter& p, int x1, int y1, int x2, int y2) {
    if (x2 > x1 && y2 > y1) {
        p.drawRect(QRect(x1, y1, x2 - x1 - 1, y2 - y1 - 1));
    }
}

void drawEllipseBox(QPainter& p, int x1, int y1, int x2, int y2) {
    if (x2 > x1 && y2 > y1) {
        p.drawEllipse(QRect(x1, y1, x2 - x1 - 1, y2 - y1 - 1));
    }
}

// Fills the pixels of one row or column; used for the bevel and border lines, whose end
// pixels are placed exactly.
void hLine(QPainter& p, int x1, int x2, int y, const QColor& c) {
    if (x2 >= x1) {
        p.fillRect(QRect(x1, y, x2 - x1 + 1, 1), c);
    }
}

void vLine(QPainter& p, int x, int y1, int y2, const QColor& c) {
    if (y2 >= y1) {
        p.fillRect(QRect(x, y1, 1, y2 - y1 + 1), c);
    }
}

int roundHalfEven(double v) {
    return static_cast<int>(std::nearbyint(v));
}

} // namespace

LedDisplay::LedDisplay(QWidget* parent) : QWidget(parent) {
    setAttribute(Qt::WA_OpaquePaintEvent);
    m_unlitColor = Blend(m_colorLED, m_colorBackGround, m_ledContrast);
    // Taken while the background still holds its default, so the outline stays as it is
    // when the background changes later.
    m_outlineColor = Blend(m_colorBackGround, QColor(0, 0, 0), 3);
    resize(168, 36);
    rebuildDigits();
}

LedDisplay::~LedDisplay() = default;

QColor LedDisplay::Blend(const QColor& c1, const QColor& c2, int k) {
    const QColor a = c1.toRgb();
    const QColor b = c2.toRgb();
    auto channel = [k](int from, int to) {
        const int v = from + roundHalfEven(static_cast<double>(to - from) / 9.0 * k);
        return std::clamp(v, 0, 255);
    };
    return QColor(channel(a.red(), b.red()), channel(a.green(), b.green()),
                  channel(a.blue(), b.blue()));
}

LedDisplay::ValueText LedDisplay::formatValue(double value, int fractionDigits, int numDigits,
                                              bool leadingZeros) {
    ValueText result;
    numDigits = std::max(numDigits, 1);
    if (!std::isfinite(value)) {
        result.text = QString(numDigits, u'-');
        return result;
    }
    // Fixed-point text; the separator is removed below, so which character the locale uses
    // for it makes no difference to the cells.
    QString text = QString::number(value, 'f', std::clamp(fractionDigits, 0, kMaxNumDigits));
    bool negative = text.startsWith(u'-');
    if (negative) {
        text.remove(0, 1);
    }
    int pos = static_cast<int>(text.indexOf(u'.')) + 1;
    if (pos > 0) {
        text.remove(pos - 1, 1);
    }
    if (negative && std::all_of(text.cbegin(), text.cend(), [](QChar c) { return c == u'0'; })) {
        negative = false; // -0.0 and values that round to zero
    }
    if (negative) {
        text.prepend(u'-');
        if (pos > 0) {
            ++pos;
        }
    }
    while (text.size() < numDigits) {
        if (negative && leadingZeros) {
            text.insert(1, u'0');
        } else {
            text.prepend(u'0');
        }
        if (pos > 0) {
            ++pos;
        }
    }
    result.text = text;
    result.separatorPos = pos;
    return result;
}

LedDisplay::ValueText LedDisplay::valueText() const {
    return formatValue(m_value, m_fractionDigits, m_numDigits, m_leadingZeros);
}

const QImage& LedDisplay::digitImage(int glyph) const {
    static const QImage none;
    if (glyph < 0 || glyph >= GlyphCount) {
        return none;
    }
    return m_digitImages[static_cast<std::size_t>(glyph)];
}

void LedDisplay::rebuildDigits() {
    const int W = m_digitWidth;
    const int H = m_digitHeight;
    const int LW = m_digitLineWidth;
    const int A = LW + 1;
    const int D = W - LW - 2;
    const int M = H / 2;
    const int h = (LW + 2) / 2;
    const int E = H - LW - 2;

    const std::array<QPolygon, 7> polygons = {
        QPolygon({{0, 0}, {W - 1, 0}, {D, A}, {A, A}}),
        QPolygon({{0, 0}, {A, A}, {A, M - h}, {0, M}}),
        QPolygon({{W - 1, 0}, {W - 1, M}, {D, M - h}, {D, A}}),
        QPolygon({{0, M}, {A, M - h}, {D, M - h}, {W - 1, M}, {D, M + h}, {A, M + h}}),
        QPolygon({{0, M}, {A, M + h}, {A, E}, {0, H - 1}}),
        QPolygon({{W - 1, M}, {W - 1, H - 1}, {D, E}, {D, M + h}}),
        QPolygon({{0, H - 1}, {A, E}, {D, E}, {W - 1, H - 1}}),
    };

    const int l = LW / 2;
    const int m = (3 * LW) / 2;
    const std::array<QLine, 7> lines = {
        QLine(LW, l, W - LW - 1, l),
        QLine(l, m, l, M - LW),
        QLine(W - l - 1, m, W - l - 1, M - LW),
        QLine(LW, M, W - LW, M),
        QLine(l, M + LW, l, H - m),
        QLine(W - l - 1, M + LW, W - l - 1, H - m),
        QLine(LW, H - l - 1, W - LW, H - l - 1),
    };

    for (int g = 0; g < GlyphCount; ++g) {
        for (int s = 0; s < 7; ++s) {
            m_segmentColors[static_cast<std::size_t>(g)][static_cast<std::size_t>(s)] =
                segmentLit(g, s) ? m_colorLED : m_unlitColor;
        }
    }

    const QColor framePen = m_drawDigitShapes ? m_outlineColor : m_colorBackGround;
    for (int g = 0; g < GlyphCount; ++g) {
        QImage image(W, H, QImage::Format_RGB32);
        image.fill(m_colorBackGround);
        {
            QPainter p(&image);
            p.setPen(QPen(framePen, 1));
            p.setBrush(m_colorBackGround);
            drawBox(p, 0, 0, W, H);
            QPen pen(framePen, 1);
            if (m_segmentStyle == SegmentRectangular) {
                pen = QPen(framePen, LW, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
            }
            for (int s = 0; s < 7; ++s) {
                const QColor& color =
                    m_segmentColors[static_cast<std::size_t>(g)][static_cast<std::size_t>(s)];
                p.setBrush(color);
                if (m_segmentStyle == SegmentBeveled) {
                    p.setPen(pen);
                    p.drawPolygon(polygons[static_cast<std::size_t>(s)]);
                } else {
                    pen.setColor(color);
                    p.setPen(pen);
                    // The end point itself is not part of the line.
                    const QLine& line = lines[static_cast<std::size_t>(s)];
                    const QPoint step((line.dx() > 0) - (line.dx() < 0),
                                      (line.dy() > 0) - (line.dy() < 0));
                    p.drawLine(line.p1(), line.p2() - step);
                }
            }
        }
        m_digitImages[static_cast<std::size_t>(g)] = std::move(image);
    }
}

void LedDisplay::lookChanged() {
    m_unlitColor = Blend(m_colorLED, m_colorBackGround, m_ledContrast);
    rebuildDigits();
    update();
}

void LedDisplay::setColorBackGround(const QColor& color) {
    if (!color.isValid() || color.toRgb() == m_colorBackGround) {
        return;
    }
    m_colorBackGround = color.toRgb();
    lookChanged();
}

void LedDisplay::setColorLED(const QColor& color) {
    if (!color.isValid() || color.toRgb() == m_colorLED) {
        return;
    }
    m_colorLED = color.toRgb();
    lookChanged();
}

void LedDisplay::setLEDContrast(int contrast) {
    if (contrast == m_ledContrast || contrast < 0 || contrast > 9) {
        return;
    }
    m_ledContrast = contrast;
    lookChanged();
}

void LedDisplay::setDigitHeight(int height) {
    if (height == m_digitHeight || height < 1 || height > MaxDigitSize) {
        return;
    }
    m_digitHeight = height;
    lookChanged();
}

void LedDisplay::setDigitWidth(int width) {
    if (width == m_digitWidth || width < 1 || width > MaxDigitSize) {
        return;
    }
    m_digitWidth = width;
    lookChanged();
}

void LedDisplay::setDigitLineWidth(int width) {
    if (width == m_digitLineWidth || width < 1 || width > MaxDigitSize) {
        return;
    }
    m_digitLineWidth = width;
    lookChanged();
}

void LedDisplay::setSegmentStyle(SegmentStyle style) {
    if (style == m_segmentStyle) {
        return;
    }
    m_segmentStyle = style;
    lookChanged();
}

void LedDisplay::setDrawDigitShapes(bool on) {
    if (on == m_drawDigitShapes) {
        return;
    }
    m_drawDigitShapes = on;
    lookChanged();
}

void LedDisplay::setFractionDigits(int digits) {
    digits = std::clamp(digits, 0, m_numDigits - 1);
    if (digits == m_fractionDigits) {
        return;
    }
    m_fractionDigits = digits;
    update();
}

void LedDisplay::setNumDigits(int digits) {
    if (digits == m_numDigits || digits < 1 || digits > kMaxNumDigits) {
        return;
    }
    m_numDigits = digits;
    update();
}

void LedDisplay::setDecSeparator(DecSeparator separator) {
    if (separator == m_decSeparator) {
        return;
    }
    m_decSeparator = separator;
    update();
}

void LedDisplay::setLeadingZeros(bool on) {
    if (on == m_leadingZeros) {
        return;
    }
    m_leadingZeros = on;
    update();
}

void LedDisplay::setBevelStyle(BevelCut style) {
    if (style == m_bevelStyle) {
        return;
    }
    m_bevelStyle = style;
    update();
}

void LedDisplay::setBorderStyle(BorderStyle style) {
    if (style == m_borderStyle) {
        return;
    }
    m_borderStyle = style;
    update();
}

void LedDisplay::setValue(double value) {
    if (value == m_value || (std::isnan(value) && std::isnan(m_value))) {
        return;
    }
    m_value = value;
    update();
    emit OnChange(this);
}

QSize LedDisplay::sizeHint() const {
    return QSize(m_numDigits * (m_digitWidth + 6), m_digitHeight + 8);
}

void LedDisplay::paintEvent(QPaintEvent* /*event*/) {
    QPainter p(this);
    QRect r(0, 0, width(), height());
    p.fillRect(r, m_colorBackGround);

    const int W = m_digitWidth;
    const int H = m_digitHeight;
    const int cw = width() / m_numDigits;
    const int y = (height() - H) / 2;
    int x = (cw - W) / 2;

    p.setPen(m_colorLED);
    p.setBrush(m_colorLED);

    const ValueText vt = valueText();
    bool started = false;
    for (int j = 1; j <= m_numDigits; ++j) {
        if (m_numDigits - j == m_fractionDigits) {
            started = true; // the units digit is always shown
        }
        const QChar c = j <= vt.text.size() ? vt.text.at(j - 1) : QChar(u'0');
        int glyph = -1;
        if (c >= u'0' && c <= u'9') {
            glyph = c.unicode() - u'0';
        } else if (c == u'-') {
            glyph = MinusGlyph;
        }
        if (glyph >= 0 && !(glyph == 0 && !m_leadingZeros && !started)) {
            p.drawImage(x, y, m_digitImages[static_cast<std::size_t>(glyph)]);
            started = true;
        }
        x += cw;
        if (j == vt.separatorPos - 1) {
            drawSeparator(p, x, y, cw);
        }
    }

    // Bevel on the outer pixel ring: top and left in the first colour, bottom and right in
    // the second; the top-right pixel belongs to the first, the bottom-left to the second.
    if (m_bevelStyle != BevelNone) {
        const QColor shadow = palette().color(QPalette::Dark);
        const QColor highlight = palette().color(QPalette::Light);
        const bool raised = m_bevelStyle == BevelRaised;
        const QColor& first = raised ? highlight : shadow;
        const QColor& second = raised ? shadow : highlight;
        const int left = r.left();
        const int top = r.top();
        const int right = r.left() + r.width(); // outside, as the bottom below
        const int bottom = r.top() + r.height();
        hLine(p, left, right - 1, top, first);
        vLine(p, left, top, bottom - 2, first);
        hLine(p, left, right - 2, bottom - 1, second);
        vLine(p, right - 1, top + 1, bottom - 1, second);
        r.adjust(1, 1, -1, -1);
    }
    if (m_borderStyle == BorderSingle && r.width() > 0 && r.height() > 0) {
        const QColor frame = palette().color(QPalette::Shadow);
        hLine(p, r.left(), r.right(), r.top(), frame);
        hLine(p, r.left(), r.right(), r.bottom(), frame);
        vLine(p, r.left(), r.top(), r.bottom(), frame);
        vLine(p, r.right(), r.top(), r.bottom(), frame);
    }
}

void LedDisplay::drawSeparator(QPainter& p, int x, int y, int cw) const {
    const int W = m_digitWidth;
    const int H = m_digitHeight;
    const int LW = m_digitLineWidth;
    const int l = LW / 2;
    const int sx = x - 6;
    const int yu = (height() - 4) / 3 + y - 2;

    int y2 = 0;
    switch (m_decSeparator) {
    case SepApostrophe:
        y2 = y;
        break;
    case SepComma:
        y2 = y + H - 2 * LW - 1;
        break;
    case SepDoublePoint:
    case SepSemicolon:
        y2 = (height() - 4) * 2 / 3 + y - 2;
        break;
    case SepPoint:
        y2 = y + H - LW - 1;
        break;
    case SepHyphen:
    case SepNone:
        y2 = (height() - LW) / 2;
        break;
    }

    const auto is = [this](std::initializer_list<DecSeparator> styles) {
        return std::find(styles.begin(), styles.end(), m_decSeparator) != styles.end();
    };

    p.setPen(QPen(m_drawDigitShapes ? m_outlineColor : m_colorBackGround, 1));
    p.setBrush(m_colorLED);
    if (is({SepDoublePoint, SepSemicolon})) {
        drawEllipseBox(p, sx, yu, sx + LW + 1, yu + LW + 1);
    }
    if (is({SepApostrophe, SepComma, SepSemicolon})) {
        p.drawPolygon(QPolygon({{sx + l, y2 + l}, {sx + LW, y2 + l}, {sx + l, y2 + 2 * LW}}));
    }
    if (is({SepApostrophe, SepComma, SepDoublePoint, SepPoint, SepSemicolon})) {
        drawEllipseBox(p, sx, y2, sx + LW + 1, y2 + LW + 1);
    }
    if (m_decSeparator == SepHyphen) {
        // A bar centred in the gap between the previous digit's image and the next one.
        const int gap = cw - W;
        const int n = roundHalfEven(static_cast<double>(gap) / 3.0 * 2.0);
        const int bx = x - gap + (gap - n) / 2;
        drawBox(p, bx, y2, bx + n, y2 + LW + 1);
    }
}

} // namespace hq
