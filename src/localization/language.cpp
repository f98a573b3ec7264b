#include "localization/language.h"

#include "localization/profile_file.h"

#include <QAbstractButton>
#include <QBrush>
#include <QGroupBox>
#include <QImageReader>
#include <QLabel>
#include <QPainter>
#include <QRect>
#include <QWidget>

namespace hq {
namespace {

QString withSeparator(const QString& dir) {
    if (dir.isEmpty() || dir.endsWith(u'/') || dir.endsWith(u'\\')) {
        return dir;
    }
    return dir + u'/';
}

QString sectionName(int index) {
    return QString::number(index);
}

} // namespace

const QStringList& monitorCaptionKeys() {
    static const QStringList kKeys = [] {
        const char* const names[] = {
            "Fehlerlabel",   "GroupBox2",       "Label19",   "Label21",       "Label16",
            "Label17",       "GroupBox3",       "Label18",   "Label22",       "Panel1",
            "Label2",        "Label5",          "Label7",    "Label8",        "Label6",
            "Label3",        "Label4",          "Label1",    "Label11",       "Label9",
            "Label14",       "Label12",         "Label13",   "Label10",       "Label23",
            "rueckluft",     "setzen",          "auslesen",  "Button1",       "Zeit",
            "Label26",       "Label27",         "Label28",   "Label29",       "Label30",
            "Label31",       "Button23",        "Button27",  "softupdatebtn", "resetbtn1",
            "Button4",       "rueckluftUeberw", "Button2",   "Button3",       "SourceGroupBox",
            "HostNameLabel", "HostName",        "GroupBox1", "Label25",       "IP_Label",
            "Label35",       "Label15",         "Label20",   "Label24",
        };
        QStringList list;
        for (const char* n : names) {
            list.append(QString::fromLatin1(n));
        }
        return list;
    }();
    return kKeys;
}

QImage loadFlagPicture(const QString& path, QString* error) {
    QImageReader reader(path);
    QImage image = reader.read();
    QString reason;
    if (image.isNull()) {
        reason = reader.errorString();
    } else if (image.width() < kFlagSize || image.height() < kFlagSize) {
        reason = QStringLiteral("Das Bild ist kleiner als %1 × %1 Pixel.").arg(kFlagSize);
    }
    if (!reason.isEmpty()) {
        if (error != nullptr) {
            *error =
                QStringLiteral("Flaggenbild %1 kann nicht geladen werden. %2").arg(path, reason);
        }
        return {};
    }
    if (image.width() == kFlagSize && image.height() == kFlagSize) {
        return image;
    }
    // Larger pictures are scaled down with their aspect ratio kept and centred.
    const QImage scaled =
        image.scaled(kFlagSize, kFlagSize, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    QImage flag(kFlagSize, kFlagSize, QImage::Format_ARGB32_Premultiplied);
    flag.fill(Qt::transparent);
    QPainter p(&flag);
    p.drawImage((kFlagSize - scaled.width()) / 2, (kFlagSize - scaled.height()) / 2, scaled);
    return flag;
}

LanguageList LoadLanguageList(const QString& appDir) {
    const QString dir = withSeparator(appDir);
    const ProfileFile catalogue = ProfileFile::load(dir + QLatin1String(kLanguageCatalogueName));
    LanguageList list;
    const int count = catalogue.readInteger(u"0", u"count", 0);
    QImage working; // the picture an entry without "image" inherits
    for (int i = 1; i <= count; ++i) {
        const QString section = sectionName(i);
        LanguageEntry entry;
        entry.name = catalogue.readString(section, u"name", QStringLiteral("error"));
        entry.file = catalogue.readString(section, u"file");
        const QString image = catalogue.readString(section, u"image");
        if (!image.isEmpty()) {
            entry.imagePath = dir + image;
            QString error;
            working = loadFlagPicture(entry.imagePath, &error);
            if (working.isNull()) {
                list.errors.append(error);
            }
        } else if (working.isNull()) {
            // Nothing to inherit (the first entry, or the one before had no picture either): the
            // empty working picture is no flag, and that is said like any flag that failed.
            list.errors.append(QStringLiteral("Flaggenbild für \"%1\" kann nicht geladen werden. "
                                              "Der Eintrag [%2] nennt kein Bild (\"image\").")
                                   .arg(entry.name, section));
        }
        entry.flag = working;
        list.entries.append(entry);
    }
    return list;
}

QString languageFileForIndex(const QString& appDir, int index) {
    const ProfileFile catalogue =
        ProfileFile::load(withSeparator(appDir) + QLatin1String(kLanguageCatalogueName));
    return catalogue.readString(sectionName(index < 0 ? 0 : index + 1), u"file");
}

QString Translation::caption(const QString& componentName) const {
    return captions.value(componentName.toLower());
}

Translation readTranslation(const QString& appDir, const QString& file) {
    const ProfileFile profile =
        ProfileFile::load(withSeparator(appDir) + file + QStringLiteral(".ini"));
    Translation t;
    t.title = profile.readString(u"0", u"titel");
    for (const QString& key : profile.keys(u"0")) {
        const QString value = profile.readString(u"0", key);
        if (!value.isEmpty() && key.compare(u"titel", Qt::CaseInsensitive) != 0) {
            t.captions.insert(key.toLower(), value);
        }
    }
    return t;
}

int applyCaptions(QWidget* window, const Translation& translation) {
    if (window == nullptr) {
        return 0;
    }
    window->setWindowTitle(translation.title);
    int applied = 0;
    const QList<QWidget*> widgets = window->findChildren<QWidget*>();
    for (QWidget* w : widgets) {
        const QString name = w->objectName();
        if (name.size() < 2) {
            continue;
        }
        const QString text = translation.caption(name);
        if (text.isEmpty()) {
            continue;
        }
        if (auto* label = qobject_cast<QLabel*>(w)) {
            if (!label->pixmap().isNull()) {
                continue;
            }
            label->setText(text);
        } else if (auto* button = qobject_cast<QAbstractButton*>(w)) {
            button->setText(text);
        } else if (auto* group = qobject_cast<QGroupBox*>(w)) {
            group->setTitle(text);
        } else {
            continue;
        }
        ++applied;
    }
    return applied;
}

void drawLanguageItem(QPainter& painter, const QRect& rect, const QBrush& background,
                      const QImage& flag, const QString& name) {
    painter.fillRect(rect, background);
    if (!flag.isNull()) {
        painter.drawImage(rect.topLeft(), flag);
    }
    const QRect textRect(rect.left() + kFlagSize + 2, rect.top(), rect.width() - kFlagSize - 2,
                         rect.height());
    painter.drawText(textRect, Qt::AlignLeft | Qt::AlignVCenter, name);
}

} // namespace hq
