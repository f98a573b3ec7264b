#include "localization/profile_file.h"

#include "localization/windows1252.h"

#include <QFile>

namespace hq {
namespace {

constexpr qint64 kMaxFileSize = 16 * 1024 * 1024;

bool isBlank(QChar c) {
    return c == u' ' || c == u'\t';
}

QStringView trimBlanks(QStringView s) {
    qsizetype b = 0;
    qsizetype e = s.size();
    while (b < e && isBlank(s[b])) {
        ++b;
    }
    while (e > b && isBlank(s[e - 1])) {
        --e;
    }
    return s.mid(b, e - b);
}

QStringView unquote(QStringView v) {
    if (v.size() >= 2 && (v.front() == u'"' || v.front() == u'\'') && v.back() == v.front()) {
        return v.mid(1, v.size() - 2);
    }
    return v;
}

} // namespace

ProfileFile ProfileFile::load(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return {};
    }
    return fromBytes(file.read(kMaxFileSize));
}

ProfileFile ProfileFile::fromBytes(const QByteArray& bytes) {
    ProfileFile profile;
    profile.loaded_ = true;
    const QString text = decodeWindows1252(bytes);
    Section* current = nullptr;
    bool currentIsDuplicate = false;
    for (QStringView rawLine : QStringView(text).split(u'\n')) {
        if (rawLine.endsWith(u'\r')) {
            rawLine.chop(1);
        }
        const QStringView line = trimBlanks(rawLine);
        if (line.isEmpty() || line.front() == u';') {
            continue;
        }
        if (line.front() == u'[') {
            qsizetype close = line.indexOf(u']');
            if (close < 0) {
                close = line.size();
            }
            const QStringView name = trimBlanks(line.mid(1, close - 1));
            currentIsDuplicate = profile.findSection(name) != nullptr;
            if (!currentIsDuplicate) {
                profile.sections_.append(Section{name.toString(), {}});
                current = &profile.sections_.back();
            }
            continue;
        }
        if (current == nullptr || currentIsDuplicate) {
            continue;
        }
        const qsizetype eq = line.indexOf(u'=');
        if (eq < 0) {
            continue;
        }
        const QStringView key = trimBlanks(line.first(eq));
        bool seen = false;
        for (const Entry& e : current->entries) {
            if (QStringView(e.key).compare(key, Qt::CaseInsensitive) == 0) {
                seen = true;
                break;
            }
        }
        if (seen) {
            continue;
        }
        const QStringView value = unquote(trimBlanks(line.mid(eq + 1)));
        current->entries.append(Entry{key.toString(), value.left(kMaxValueLength).toString()});
    }
    return profile;
}

const ProfileFile::Section* ProfileFile::findSection(QStringView name) const {
    for (const Section& s : sections_) {
        if (QStringView(s.name).compare(name, Qt::CaseInsensitive) == 0) {
            return &s;
        }
    }
    return nullptr;
}

QString ProfileFile::readString(QStringView section, QStringView key,
                                const QString& defaultValue) const {
    const Section* s = findSection(trimBlanks(section));
    if (s == nullptr) {
        return defaultValue;
    }
    const QStringView k = trimBlanks(key);
    for (const Entry& e : s->entries) {
        if (QStringView(e.key).compare(k, Qt::CaseInsensitive) == 0) {
            return e.value;
        }
    }
    return defaultValue;
}

int ProfileFile::readInteger(QStringView section, QStringView key, int defaultValue) const {
    const QString text = readString(section, key);
    return parseProfileInteger(text).value_or(defaultValue);
}

QStringList ProfileFile::keys(QStringView section) const {
    QStringList keys;
    if (const Section* s = findSection(trimBlanks(section))) {
        for (const Entry& e : s->entries) {
            keys.append(e.key);
        }
    }
    return keys;
}

std::optional<int> parseProfileInteger(QStringView text) {
    QStringView s = trimBlanks(text);
    bool negative = false;
    if (!s.isEmpty() && (s.front() == u'-' || s.front() == u'+')) {
        negative = s.front() == u'-';
        s = s.mid(1);
    }
    int base = 10;
    if (s.startsWith(u'$')) {
        base = 16;
        s = s.mid(1);
    } else if (s.startsWith(u"0x") || s.startsWith(u"0X")) {
        base = 16;
        s = s.mid(2);
    }
    if (s.isEmpty()) {
        return std::nullopt;
    }
    quint64 value = 0;
    for (const QChar c : s) {
        int digit = -1;
        const char16_t u = c.unicode();
        if (u >= u'0' && u <= u'9') {
            digit = u - u'0';
        } else if (base == 16 && u >= u'a' && u <= u'f') {
            digit = u - u'a' + 10;
        } else if (base == 16 && u >= u'A' && u <= u'F') {
            digit = u - u'A' + 10;
        }
        if (digit < 0) {
            return std::nullopt;
        }
        value = value * static_cast<quint64>(base) + static_cast<quint64>(digit);
        if (value > 0xFFFFFFFFull) {
            return std::nullopt;
        }
    }
    if (base == 10 && value > (negative ? 0x80000000ull : 0x7FFFFFFFull)) {
        return std::nullopt;
    }
    quint32 bits = static_cast<quint32>(value);
    if (negative) {
        bits = 0u - bits;
    }
    return static_cast<int>(static_cast<qint32>(bits));
}

} // namespace hq
