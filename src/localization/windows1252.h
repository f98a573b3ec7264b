#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QStringView>

namespace hq {

// Windows-1252 text (core/windows1252.h) to and from Qt's strings.
QString decodeWindows1252(QByteArrayView bytes);

// The reverse; characters that have no Windows-1252 byte are written as '?'.
QByteArray encodeWindows1252(QStringView text);

} // namespace hq
