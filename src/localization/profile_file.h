#pragma once

#include <QList>
#include <QString>
#include <QStringList>
#include <QStringView>

#include <optional>

namespace hq {

// A Windows profile (INI) file read the way GetPrivateProfileString reads it: Windows-1252 text,
// section and key names without regard to case, blanks around names and values removed, one pair
// of matching quotes around a value removed, ';' lines are comments, the first of duplicate
// sections and keys wins, values cut to 2047 characters. A missing or unreadable file reads like an
// empty one. The whole file is read once by Load(); create one per use so that edits take effect.
class ProfileFile {
public:
    static constexpr qsizetype kMaxValueLength = 2047;

    ProfileFile() = default;
    static ProfileFile load(const QString& path);
    static ProfileFile fromBytes(const QByteArray& bytes);

    // True when the file could be read (an empty file counts as read).
    bool isLoaded() const { return loaded_; }

    QString readString(QStringView section, QStringView key,
                       const QString& defaultValue = {}) const;
    // Decimal, or hexadecimal after "$", "0x" or "0X"; anything else gives the default.
    int readInteger(QStringView section, QStringView key, int defaultValue) const;

    // Key names of a section in file order, duplicates left out.
    QStringList keys(QStringView section) const;

private:
    struct Entry {
        QString key;
        QString value;
    };
    struct Section {
        QString name;
        QList<Entry> entries;
    };
    const Section* findSection(QStringView name) const;

    QList<Section> sections_;
    bool loaded_ = false;
};

// The integer syntax of ReadInteger: optional sign, then decimal digits or "$"/"0x"/"0X" and up to
// eight hexadecimal digits (taken as a 32-bit pattern). Surrounding blanks are allowed.
std::optional<int> parseProfileInteger(QStringView text);

} // namespace hq
