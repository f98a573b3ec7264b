#include "network/schrankip.h"

#include <QStringList>

namespace hq {

std::optional<QString> FormatSchrankip(const QString& dotted) {
    const QStringList groups = dotted.trimmed().split(u'.');
    if (groups.size() != 4) {
        return std::nullopt;
    }
    QStringList laidOut;
    for (const QString& g : groups) {
        if (g.isEmpty() || g.size() > 3) {
            return std::nullopt;
        }
        for (const QChar c : g) {
            if (c < u'0' || c > u'9') {
                return std::nullopt;
            }
        }
        laidOut.append(g.rightJustified(3, u' '));
    }
    return laidOut.join(u'.');
}

QString PlainSchrankip(const QString& fieldText) {
    QString plain = fieldText;
    plain.remove(u' ');
    return plain;
}

bool IsEmptySchrankip(const QString& fieldText) {
    return PlainSchrankip(fieldText) == QStringLiteral("...") || fieldText.trimmed().isEmpty();
}

} // namespace hq
