#include "widgets/spin_edit.h"

#include <algorithm>

namespace hq {

namespace {

// Longest run of digits taken while typing; beyond it the number could not be held.
constexpr qsizetype kMaxDigits = 9;

// The typed number without prefix, suffix and blanks.
QString bareText(const QSpinBox& box, const QString& text) {
    QString t = text;
    if (!box.prefix().isEmpty() && t.startsWith(box.prefix()))
        t.remove(0, box.prefix().size());
    if (!box.suffix().isEmpty() && t.endsWith(box.suffix()))
        t.chop(box.suffix().size());
    return t.trimmed();
}

} // namespace

SpinEdit::SpinEdit(QWidget* parent) : QSpinBox(parent) {
    setCorrectionMode(QAbstractSpinBox::CorrectToNearestValue);
}

int SpinEdit::clamped(const QString& text, int minimum, int maximum) {
    const QString t = text.trimmed();
    bool ok = false;
    const qlonglong n = t.toLongLong(&ok);
    if (ok)
        return int(std::clamp<qlonglong>(n, minimum, maximum));
    // A number too long for 64 bits still lies beyond one of the limits.
    const bool negative = t.startsWith(u'-');
    const QStringView digits = QStringView(t).mid(negative || t.startsWith(u'+') ? 1 : 0);
    if (!digits.isEmpty() &&
        std::all_of(digits.begin(), digits.end(), [](QChar c) { return c.isDigit(); }))
        return negative ? minimum : maximum;
    return minimum;
}

QValidator::State SpinEdit::validate(QString& input, int& pos) const {
    const QValidator::State state = QSpinBox::validate(input, pos);
    if (state != QValidator::Invalid)
        return state;
    // QSpinBox refuses a digit that takes the number beyond the range; here it is taken and
    // brought to the limit when the field is left.
    const QString bare = bareText(*this, input);
    const bool negative = bare.startsWith(u'-');
    const QString digits = negative ? bare.mid(1) : bare;
    if (digits.isEmpty() || digits.size() > kMaxDigits ||
        !std::all_of(digits.begin(), digits.end(), [](QChar c) { return c.isDigit(); }))
        return QValidator::Invalid;
    if (negative && minimum() >= 0)
        return QValidator::Invalid;
    return QValidator::Intermediate;
}

void SpinEdit::fixup(QString& input) const {
    input = textFromValue(clamped(bareText(*this, input), minimum(), maximum()));
}

} // namespace hq
