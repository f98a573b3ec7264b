#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QString>
#include <QStringView>

namespace hq {

// Windows-1252 ("ANSI") text: Latin-1 with 0x80..0x9F mapped to the typographic characters of
// the Windows code page. The five bytes Windows leaves undefined (0x81, 0x8D, 0x8F, 0x90, 0x9D)
// map to the C1 control characters of the same value, as MultiByteToWideChar does.
QString DecodeWindows1252(QByteArrayView bytes);

// The reverse; characters that have no Windows-1252 byte are written as '?'.
QByteArray EncodeWindows1252(QStringView text);

} // namespace hq
