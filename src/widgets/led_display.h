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
    static constexpr int MinusGlyph = 10;
    static constexpr int GlyphCount = 11;
    // Digit images are limited to this many pixels per side.
    static constexpr int MaxDigitSize = 1024;

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
    QColor unlitColor() const { return m_unlitColor; }
    // Colour of the cell and separator outlines when DrawDigitShapes is on.
    QColor outlineColor() const { return m_outlineColor; }

    BevelCut bevelStyle() const { return m_bevelStyle; }
    BorderStyle borderStyle() const { return m_borderStyle; }
    QColor colorBackGround() const { return m_colorBackGround; }
    QColor colorLED() const { return m_colorLED; }
    DecSeparator decSeparator() const { return m_decSeparator; }
    int digitHeight() const { return m_digitHeight; }
    int digitWidth() const { return m_digitWidth; }
    int digitLineWidth() const { return m_digitLineWidth; }
    bool drawDigitShapes() const { return m_drawDigitShapes; }
    int fractionDigits() const { return m_fractionDigits; }
    bool leadingZeros() const { return m_leadingZeros; }
    int ledContrast() const { return m_ledContrast; }
    int numDigits() const { return m_numDigits; }
    SegmentStyle segmentStyle() const { return m_segmentStyle; }
    double value() const { return m_value; }

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

    BevelCut m_bevelStyle = BevelLowered;
    BorderStyle m_borderStyle = BorderSingle;
    QColor m_colorBackGround = QColor(0, 0, 0);
    QColor m_colorLED = QColor(0, 255, 0);
    DecSeparator m_decSeparator = SepComma;
    int m_digitHeight = 30;
    int m_digitWidth = 20;
    int m_digitLineWidth = 3;
    bool m_drawDigitShapes = true;
    int m_fractionDigits = 0;
    bool m_leadingZeros = true;
    int m_ledContrast = 6;
    int m_numDigits = 6;
    SegmentStyle m_segmentStyle = SegmentBeveled;
    double m_value = 0.0;

    QColor m_unlitColor;
    QColor m_outlineColor;
    std::array<std::array<QColor, 7>, GlyphCount> m_segmentColors;
    std::array<QImage, GlyphCount> m_digitImages;
};

} // namespace hq
