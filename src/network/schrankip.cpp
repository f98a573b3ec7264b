#include "network/schrankip.h"

#include <QStringList>

namespace hq {

std::optional<QString> formatSchrankip(const QString& dotted) {
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

QString plainSchrankip(const QString& fieldText) {
    QString plain = fieldText;
    plain.remove(u' ');
    return plain;
}

std::optional<QHostAddress> parseDottedIPv4(const QString& text) {
    const QStringList groups = plainSchrankip(text).split(u'.');
    if (groups.size() != 4) {
        return std::nullopt;
    }
    quint32 address = 0;
    for (const QString& g : groups) {
        if (g.isEmpty() || g.size() > 3) {
            return std::nullopt;
        }
        int value = 0;
        for (const QChar c : g) {
            if (c < u'0' || c > u'9') {
                return std::nullopt;
            }
            value = value * 10 + (c.unicode() - u'0');
        }
        if (value > 255) {
            return std::nullopt;
        }
        address = (address << 8) | static_cast<quint32>(value);
    }
    return QHostAddress(address);
}

bool looksLikeDottedAddress(const QString& text) {
    for (const QChar c : text) {
        if (c != u'.' && c != u' ' && (c < u'0' || c > u'9')) {
            return false;
        }
    }
    return true;
}

bool isEmptySchrankip(const QString& fieldText) {
    return plainSchrankip(fieldText) == QStringLiteral("...") || fieldText.trimmed().isEmpty();
}

bool isCompleteSchrankip(const QString& fieldText) {
    const QStringList groups = fieldText.split(u'.');
    if (groups.size() != 4) {
        return false;
    }
    for (const QString& g : groups) {
        if (g.size() != 3) {
            return false;
        }
        qsizetype first = 0;
        while (first < g.size() && g[first] == u' ') {
            ++first;
        }
        qsizetype end = first;
        while (end < g.size() && g[end] >= u'0' && g[end] <= u'9') {
            ++end;
        }
        if (end == first) {
            return false; // no digit
        }
        for (qsizetype i = end; i < g.size(); ++i) {
            if (g[i] != u' ') {
                return false;
            }
        }
    }
    return true;
}

} // namespace hq
