#pragma once

#include <QHash>
#include <QImage>
#include <QList>
#include <QString>
#include <QStringList>

class QPainter;
class QRect;
class QBrush;
class QWidget;

namespace hq {

// File name of the language catalogue in the application directory.
inline constexpr auto kLanguageCatalogueName = "language.ini";
// Edge length of a flag picture in the language box.
inline constexpr int kFlagSize = 16;

// The 54 caption keys of the monitor window, in creation order.
const QStringList& monitorCaptionKeys();

// One entry of the language box.
struct LanguageEntry {
    QString name;      // "name" of the section, "error" when missing
    QString file;      // base name of the translation file, empty: selecting changes nothing
    QString imagePath; // application directory + "image", empty when the entry names no picture
    QImage flag;       // 16 x 16 picture; null when the entry is listed without a flag
};

struct LanguageList {
    QList<LanguageEntry> entries; // entry k belongs to box index k (section k + 1)
    QStringList errors;           // one text per flag picture that could not be loaded
};

// Reads "language.ini" in appDir. A missing catalogue gives no entries. An entry without "image"
// repeats the previous entry's flag. A picture that cannot be loaded or is smaller than 16 x 16,
// and an entry without "image" that has no flag to repeat (the first one), add a text to errors
// and leave the entry without a flag; the remaining entries are still read.
LanguageList LoadLanguageList(const QString& appDir);

// Loads one flag picture and fits it into 16 x 16. On failure returns a null image and sets *error.
QImage loadFlagPicture(const QString& path, QString* error);

// "file" of the catalogue entry at box index (section index + 1; index -1 reads section "0").
// Read anew on every call so that edits to the catalogue take effect at once.
QString languageFileForIndex(const QString& appDir, int index);

// The captions of one translation file (appDir + file + ".ini", section "0").
struct Translation {
    QString title;                    // "titel"; empty when absent or the file is missing
    QHash<QString, QString> captions; // lower-case key -> caption, non-empty captions only

    // The caption for a component name (any letter case); empty when the file names none.
    QString caption(const QString& componentName) const;
};

Translation readTranslation(const QString& appDir, const QString& file);

// Sets the window title and the caption of every label, button, check box, radio button and group
// box below window whose object name has at least two characters and that the translation names.
// Labels that show a picture and all other widgets keep their content. Returns the number of
// captions set (the title not counted).
int applyCaptions(QWidget* window, const Translation& translation);

// Paints one item of the language box: background, flag at the top-left corner, name 2 pixels
// right of the flag.
void drawLanguageItem(QPainter& painter, const QRect& rect, const QBrush& background,
                      const QImage& flag, const QString& name);

} // namespace hq
