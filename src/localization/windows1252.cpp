#include "localization/windows1252.h"

#include "core/windows1252.h"

namespace hq {

QString decodeWindows1252(QByteArrayView bytes) {
    QString text;
    text.resize(bytes.size());
    QChar* out = text.data();
    for (qsizetype i = 0; i < bytes.size(); ++i)
        out[i] = QChar(windows1252CodePoint(static_cast<unsigned char>(bytes[i])));
    return text;
}

QByteArray encodeWindows1252(QStringView text) {
    QByteArray bytes;
    bytes.reserve(text.size());
    for (const QChar c : text) {
        const int b = windows1252Byte(c.unicode());
        bytes.append(b < 0 ? '?' : static_cast<char>(b));
    }
    return bytes;
}

} // namespace hq
