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
constexpr std::array<unsigned, LedDisplay::kGlyphCount> kLitSegments = {
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
    unlitColor_ = Blend(colorLED_, colorBackGround_, ledContrast_);
    // Taken while the background still holds its default, so the outline stays as it is
    // when the background changes later.
    outlineColor_ = Blend(colorBackGround_, QColor(0, 0, 0), 3);
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
    return formatValue(value_, fractionDigits_, numDigits_, leadingZeros_);
}

const QImage& LedDisplay::digitImage(int glyph) const {
    static const QImage kNone;
    if (glyph < 0 || glyph >= kGlyphCount) {
        return kNone;
    }
    return digitImages_[static_cast<std::size_t>(glyph)];
}

void LedDisplay::rebuildDigits() {
    const int W = digitWidth_;
    const int H = digitHeight_;
    const int LW = digitLineWidth_;
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

    for (int g = 0; g < kGlyphCount; ++g) {
        for (int s = 0; s < 7; ++s) {
            segmentColors_[static_cast<std::size_t>(g)][static_cast<std::size_t>(s)] =
                segmentLit(g, s) ? colorLED_ : unlitColor_;
        }
    }

    const QColor framePen = drawDigitShapes_ ? outlineColor_ : colorBackGround_;
    for (int g = 0; g < kGlyphCount; ++g) {
        QImage image(W, H, QImage::Format_RGB32);
        image.fill(colorBackGround_);
        {
            QPainter p(&image);
            p.setPen(QPen(framePen, 1));
            p.setBrush(colorBackGround_);
            drawBox(p, 0, 0, W, H);
            QPen pen(framePen, 1);
            if (segmentStyle_ == SegmentRectangular) {
                pen = QPen(framePen, LW, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
            }
            for (int s = 0; s < 7; ++s) {
                const QColor& color =
                    segmentColors_[static_cast<std::size_t>(g)][static_cast<std::size_t>(s)];
                p.setBrush(color);
                if (segmentStyle_ == SegmentBeveled) {
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
        digitImages_[static_cast<std::size_t>(g)] = std::move(image);
    }
}

void LedDisplay::lookChanged() {
    unlitColor_ = Blend(colorLED_, colorBackGround_, ledContrast_);
    rebuildDigits();
    update();
}

void LedDisplay::setColorBackGround(const QColor& color) {
    if (!color.isValid() || color.toRgb() == colorBackGround_) {
        return;
    }
    colorBackGround_ = color.toRgb();
    lookChanged();
}

void LedDisplay::setColorLED(const QColor& color) {
    if (!color.isValid() || color.toRgb() == colorLED_) {
        return;
    }
    colorLED_ = color.toRgb();
    lookChanged();
}

void LedDisplay::setLEDContrast(int contrast) {
    if (contrast == ledContrast_ || contrast < 0 || contrast > 9) {
        return;
    }
    ledContrast_ = contrast;
    lookChanged();
}

void LedDisplay::setDigitHeight(int height) {
    if (height == digitHeight_ || height < 1 || height > kMaxDigitSize) {
        return;
    }
    digitHeight_ = height;
    lookChanged();
}

void LedDisplay::setDigitWidth(int width) {
    if (width == digitWidth_ || width < 1 || width > kMaxDigitSize) {
        return;
    }
    digitWidth_ = width;
    lookChanged();
}

void LedDisplay::setDigitLineWidth(int width) {
    if (width == digitLineWidth_ || width < 1 || width > kMaxDigitSize) {
        return;
    }
    digitLineWidth_ = width;
    lookChanged();
}

void LedDisplay::setSegmentStyle(SegmentStyle style) {
    if (style == segmentStyle_) {
        return;
    }
    segmentStyle_ = style;
    lookChanged();
}

void LedDisplay::setDrawDigitShapes(bool on) {
    if (on == drawDigitShapes_) {
        return;
    }
    drawDigitShapes_ = on;
    lookChanged();
}

void LedDisplay::setFractionDigits(int digits) {
    digits = std::clamp(digits, 0, numDigits_ - 1);
    if (digits == fractionDigits_) {
        return;
    }
    fractionDigits_ = digits;
    update();
}

void LedDisplay::setNumDigits(int digits) {
    if (digits == numDigits_ || digits < 1 || digits > kMaxNumDigits) {
        return;
    }
    numDigits_ = digits;
    update();
}

void LedDisplay::setDecSeparator(DecSeparator separator) {
    if (separator == decSeparator_) {
        return;
    }
    decSeparator_ = separator;
    update();
}

void LedDisplay::setLeadingZeros(bool on) {
    if (on == leadingZeros_) {
        return;
    }
    leadingZeros_ = on;
    update();
}

void LedDisplay::setBevelStyle(BevelCut style) {
    if (style == bevelStyle_) {
        return;
    }
    bevelStyle_ = style;
    update();
}

void LedDisplay::setBorderStyle(BorderStyle style) {
    if (style == borderStyle_) {
        return;
    }
    borderStyle_ = style;
    update();
}

void LedDisplay::setValue(double value) {
    if (value == value_ || (std::isnan(value) && std::isnan(value_))) {
        return;
    }
    value_ = value;
    update();
    emit OnChange(this);
}

QSize LedDisplay::sizeHint() const {
    return QSize(numDigits_ * (digitWidth_ + 6), digitHeight_ + 8);
}

void LedDisplay::paintEvent(QPaintEvent* /*event*/) {
    QPainter p(this);
    QRect r(0, 0, width(), height());
    p.fillRect(r, colorBackGround_);

    const int W = digitWidth_;
    const int H = digitHeight_;
    const int cw = width() / numDigits_;
    const int y = (height() - H) / 2;
    int x = (cw - W) / 2;

    p.setPen(colorLED_);
    p.setBrush(colorLED_);

    const ValueText vt = valueText();
    bool started = false;
    for (int j = 1; j <= numDigits_; ++j) {
        if (numDigits_ - j == fractionDigits_) {
            started = true; // the units digit is always shown
        }
        const QChar c = j <= vt.text.size() ? vt.text.at(j - 1) : QChar(u'0');
        int glyph = -1;
        if (c >= u'0' && c <= u'9') {
            glyph = c.unicode() - u'0';
        } else if (c == u'-') {
            glyph = kMinusGlyph;
        }
        if (glyph >= 0 && !(glyph == 0 && !leadingZeros_ && !started)) {
            p.drawImage(x, y, digitImages_[static_cast<std::size_t>(glyph)]);
            started = true;
        }
        x += cw;
        if (j == vt.separatorPos - 1) {
            drawSeparator(p, x, y, cw);
        }
    }

    // Bevel on the outer pixel ring: top and left in the first colour, bottom and right in
    // the second; the top-right pixel belongs to the first, the bottom-left to the second.
    if (bevelStyle_ != BevelNone) {
        const QColor shadow = palette().color(QPalette::Dark);
        const QColor highlight = palette().color(QPalette::Light);
        const bool raised = bevelStyle_ == BevelRaised;
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
    if (borderStyle_ == BorderSingle && r.width() > 0 && r.height() > 0) {
        const QColor frame = palette().color(QPalette::Shadow);
        hLine(p, r.left(), r.right(), r.top(), frame);
        hLine(p, r.left(), r.right(), r.bottom(), frame);
        vLine(p, r.left(), r.top(), r.bottom(), frame);
        vLine(p, r.right(), r.top(), r.bottom(), frame);
    }
}

void LedDisplay::drawSeparator(QPainter& p, int x, int y, int cw) const {
    const int W = digitWidth_;
    const int H = digitHeight_;
    const int LW = digitLineWidth_;
    const int l = LW / 2;
    const int sx = x - 6;
    const int yu = (height() - 4) / 3 + y - 2;

    int y2 = 0;
    switch (decSeparator_) {
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
        return std::find(styles.begin(), styles.end(), decSeparator_) != styles.end();
    };

    p.setPen(QPen(drawDigitShapes_ ? outlineColor_ : colorBackGround_, 1));
    p.setBrush(colorLED_);
    if (is({SepDoublePoint, SepSemicolon})) {
        drawEllipseBox(p, sx, yu, sx + LW + 1, yu + LW + 1);
    }
    if (is({SepApostrophe, SepComma, SepSemicolon})) {
        p.drawPolygon(QPolygon({{sx + l, y2 + l}, {sx + LW, y2 + l}, {sx + l, y2 + 2 * LW}}));
    }
    if (is({SepApostrophe, SepComma, SepDoublePoint, SepPoint, SepSemicolon})) {
        drawEllipseBox(p, sx, y2, sx + LW + 1, y2 + LW + 1);
    }
    if (decSeparator_ == SepHyphen) {
        // A bar centred in the gap between the previous digit's image and the next one.
        const int gap = cw - W;
        const int n = roundHalfEven(static_cast<double>(gap) / 3.0 * 2.0);
        const int bx = x - gap + (gap - n) / 2;
        drawBox(p, bx, y2, bx + n, y2 + LW + 1);
    }
}

} // namespace hq
