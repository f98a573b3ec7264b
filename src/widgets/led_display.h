#pragma once

#include <QColor>
#include <QImage>
#include <QString>
#include <QWidget>

#include <array>

class QPainter;

namespace hq {

// A row of seven-segment LED digits showing one real number, with an optional decimal
// separator glyph, a 3-D bevel and a one-pixel border. Unlit segments stay visible as dimmed
// ghost segments; LEDContrast sets how far they are dimmed toward the background.
//
// The ten digits (and the minus sign) are pre-rendered as images of one cell each whenever a
// property that changes the look of a digit is set; painting only copies those images side by
// side and draws at most one separator glyph.
//
// Usable as a promoted widget in Designer forms (class hq::LedDisplay, header
// "widgets/led_display.h"); the properties below can be set from the form.
class LedDisplay : public QWidget {
    Q_OBJECT
    Q_PROPERTY(BevelCut BevelStyle READ bevelStyle WRITE setBevelStyle)
    Q_PROPERTY(BorderStyle BorderStyle READ borderStyle WRITE setBorderStyle)
    Q_PROPERTY(QColor ColorBackGround READ colorBackGround WRITE setColorBackGround)
    Q_PROPERTY(QColor ColorLED READ colorLED WRITE setColorLED)
    Q_PROPERTY(DecSeparator DecSeparator READ decSeparator WRITE setDecSeparator)
    Q_PROPERTY(int DigitHeight READ digitHeight WRITE setDigitHeight)
    Q_PROPERTY(int DigitWidth READ digitWidth WRITE setDigitWidth)
    Q_PROPERTY(int DigitLineWidth READ digitLineWidth WRITE setDigitLineWidth)
    Q_PROPERTY(bool DrawDigitShapes READ drawDigitShapes WRITE setDrawDigitShapes)
    Q_PROPERTY(bool LeadingZeros READ leadingZeros WRITE setLeadingZeros)
    Q_PROPERTY(int LEDContrast READ ledContrast WRITE setLEDContrast)
    Q_PROPERTY(int NumDigits READ numDigits WRITE setNumDigits)
    Q_PROPERTY(int FractionDigits READ fractionDigits WRITE setFractionDigits)
    Q_PROPERTY(SegmentStyle SegmentStyle READ segmentStyle WRITE setSegmentStyle)
    Q_PROPERTY(double Value READ value WRITE setValue)

public:
    enum BevelCut { BevelNone, BevelLowered, BevelRaised, BevelSpace };
    Q_ENUM(BevelCut)
    enum BorderStyle { BorderNone, BorderSingle };
    Q_ENUM(BorderStyle)
    enum DecSeparator {
        SepApostrophe,
        SepComma,
        SepDoublePoint,
        SepHyphen,
        SepNone,
        SepPoint,
        SepSemicolon
    };
    Q_ENUM(DecSeparator)
    enum SegmentStyle { SegmentRectangular, SegmentBeveled };
    Q_ENUM(SegmentStyle)

    // Index of the minus-sign image next to the digit images 0 to 9.
    static constexpr int kMinusGlyph = 10;
    static constexpr int kGlyphCount = 11;
    // Digit images are limited to this many pixels per side.
    static constexpr int kMaxDigitSize = 1024;

    // The digits of the value as drawn, one character per cell (more characters than cells
    // when the value is too wide: only the first NumDigits are drawn), and the 1-based
    // position the decimal separator had before it was removed (0: none). The separator glyph
    // follows cell separatorPos - 1.
    struct ValueText {
        QString text;
        int separatorPos = 0;
    };

    explicit LedDisplay(QWidget* parent = nullptr);
    ~LedDisplay() override;

    // Blends c1 toward c2 in k ninths per channel, rounding to the nearest integer (halves
    // to even). k = 0 gives c1, k = 9 gives c2.
    static QColor Blend(const QColor& c1, const QColor& c2, int k);

    // The cells' text for a value: fixed-point with fractionDigits decimals, separator
    // removed, padded with zeros to numDigits characters. A negative value keeps its minus
    // sign; with leadingZeros the padding goes between the sign and the digits, otherwise in
    // front of the sign so that the sign sits right before the first shown digit. A value that
    // rounds to zero shows no sign. A value that is not finite gives numDigits minus signs and
    // no separator.
    static ValueText formatValue(double value, int fractionDigits, int numDigits,
                                 bool leadingZeros);
    ValueText valueText() const;

    // The pre-rendered image of one cell: digits 0 to 9 and MinusGlyph.
    const QImage& digitImage(int glyph) const;
    // Colour of unlit segments: Blend(ColorLED, ColorBackGround, LEDContrast).
    QColor unlitColor() const { return unlitColor_; }
    // Colour of the cell and separator outlines when DrawDigitShapes is on.
    QColor outlineColor() const { return outlineColor_; }

    BevelCut bevelStyle() const { return bevelStyle_; }
    BorderStyle borderStyle() const { return borderStyle_; }
    QColor colorBackGround() const { return colorBackGround_; }
    QColor colorLED() const { return colorLED_; }
    DecSeparator decSeparator() const { return decSeparator_; }
    int digitHeight() const { return digitHeight_; }
    int digitWidth() const { return digitWidth_; }
    int digitLineWidth() const { return digitLineWidth_; }
    bool drawDigitShapes() const { return drawDigitShapes_; }
    int fractionDigits() const { return fractionDigits_; }
    bool leadingZeros() const { return leadingZeros_; }
    int ledContrast() const { return ledContrast_; }
    int numDigits() const { return numDigits_; }
    SegmentStyle segmentStyle() const { return segmentStyle_; }
    double value() const { return value_; }

    // Look of the digits: these rebuild the digit images and repaint.
    void setColorBackGround(const QColor& color);
    void setColorLED(const QColor& color);
    void setLEDContrast(int contrast); // 0 to 9; other values are ignored
    void setDigitHeight(int height);   // 1 to MaxDigitSize; other values are ignored
    void setDigitWidth(int width);     // 1 to MaxDigitSize; other values are ignored
    void setDigitLineWidth(int width); // 1 to MaxDigitSize; other values are ignored
    void setSegmentStyle(SegmentStyle style);
    void setDrawDigitShapes(bool on);

    // Arrangement: these only repaint.
    void setFractionDigits(int digits); // limited to 0 .. NumDigits - 1
    void setNumDigits(int digits);      // at least 1; smaller values are ignored
    void setDecSeparator(DecSeparator separator);
    void setLeadingZeros(bool on);
    void setBevelStyle(BevelCut style);
    void setBorderStyle(BorderStyle style);

    // Stores the value, repaints and emits OnChange, unless it equals the shown value.
    void setValue(double value);

    QSize sizeHint() const override;

signals:
    // Emitted synchronously after Value changed.
    void OnChange(hq::LedDisplay* sender);

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    void rebuildDigits();
    void drawSeparator(QPainter& p, int x, int y, int cw) const;
    void lookChanged();

    BevelCut bevelStyle_ = BevelLowered;
    BorderStyle borderStyle_ = BorderSingle;
    QColor colorBackGround_ = QColor(0, 0, 0);
    QColor colorLED_ = QColor(0, 255, 0);
    DecSeparator decSeparator_ = SepComma;
    int digitHeight_ = 30;
    int digitWidth_ = 20;
    int digitLineWidth_ = 3;
    bool drawDigitShapes_ = true;
    int fractionDigits_ = 0;
    bool leadingZeros_ = true;
    int ledContrast_ = 6;
    int numDigits_ = 6;
    SegmentStyle segmentStyle_ = SegmentBeveled;
    double value_ = 0.0;

    QColor unlitColor_;
    QColor outlineColor_;
    std::array<std::array<QColor, 7>, kGlyphCount> segmentColors_;
    std::array<QImage, kGlyphCount> digitImages_;
};

} // namespace hq
