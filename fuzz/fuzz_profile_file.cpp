// The Windows-1252 profile (INI) reader on any file: every section and key it reports reads back
// a value of at most 2047 characters without surrounding blanks, names are found in any letter
// case, missing names give the default, and integers follow their own syntax. The language
// catalogue is then read from the same bytes as a language.ini would be.
#include "fuzz_check.h"
#include "localization/language.h"
#include "localization/profile_file.h"
#include "localization/windows1252.h"

#include <QDir>
#include <QFile>
#include <QTemporaryDir>

#include <cstddef>
#include <cstdint>
#include <cstdlib>

using hq::fuzz::check;

namespace {

bool isAscii(const QString& s) {
    for (QChar c : s)
        if (c.unicode() >= 0x80)
            return false;
    return true;
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QByteArray bytes(reinterpret_cast<const char*>(data), qsizetype(size));
    const hq::ProfileFile profile = hq::ProfileFile::fromBytes(bytes);
    check(profile.isLoaded());
    // Section names as the lines give them; the reader takes the first of duplicates.
    for (const QByteArray& line : bytes.split('\n')) {
        const QString text = hq::decodeWindows1252(line).trimmed();
        if (!text.startsWith(u'['))
            continue;
        const qsizetype close = text.indexOf(u']');
        const QString section = text.mid(1, close < 0 ? -1 : close - 1).trimmed();
        const QStringList keys = profile.keys(section);
        for (const QString& key : keys) {
            const QString value = profile.readString(section, key, QStringLiteral("\x01"));
            check(value != QStringLiteral("\x01")); // a listed key is found
            check(value.size() <= hq::ProfileFile::kMaxValueLength);
            if (isAscii(section) && isAscii(key))
                check(profile.readString(section.toUpper(), key.toLower()) == value);
            check(profile.readInteger(section, key, -7) ==
                  hq::parseProfileInteger(value).value_or(-7));
        }
        check(profile.readString(section, QStringLiteral("no=such key"), QStringLiteral("d")) ==
              QStringLiteral("d"));
    }
    // The catalogue read from these bytes: as many entries as "count" says (bounded here), each
    // named, and every missing or unreadable flag reported rather than listed silently.
    const int count = profile.readInteger(u"0", u"count", 0);
    if (count >= 0 && count <= 64) {
        static QTemporaryDir dir;
        QFile file(dir.filePath(QStringLiteral("language.ini")));
        if (file.open(QIODevice::WriteOnly | QIODevice::Truncate)) {
            file.write(bytes);
            file.close();
            const hq::LanguageList list = hq::LoadLanguageList(dir.path());
            check(list.entries.size() == count);
            // One error per entry listed without a flag, and none for an entry with one.
            qsizetype withoutFlag = 0;
            for (const hq::LanguageEntry& e : list.entries)
                withoutFlag += e.flag.isNull();
            check(list.errors.size() == withoutFlag);
        }
    }
    return 0;
}
