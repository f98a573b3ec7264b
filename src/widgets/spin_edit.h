// A spin edit for settings typed by hand: while typing, any number is taken, also one outside the
// range; when the field loses the focus (or Enter is pressed) a number outside the range becomes
// the nearest limit (75 in 5 to 60 becomes 60, 2 becomes 5), and a text that is no number becomes
// the minimum.
#pragma once

#include <QSpinBox>

namespace hq {

class SpinEdit : public QSpinBox {
    Q_OBJECT
public:
    explicit SpinEdit(QWidget* parent = nullptr);

    // The value a finished text stands for: the number brought into [minimum, maximum], the
    // minimum for a text that is no number.
    static int clamped(const QString& text, int minimum, int maximum);

protected:
    QValidator::State validate(QString& input, int& pos) const override;
    void fixup(QString& input) const override;
};

} // namespace hq
