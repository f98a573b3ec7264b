// The language box of the monitor window with the shipped language files: start-up selection,
// switching and switching back, the saved position, flags that cannot be loaded, the show
// handler and the drawing of the items.
#include "../wine_quirks.h"
#include "monitor_test_support.h"

#include "localization/language.h"
#include "monitor/schrank_language.h"
#include "network/discovery.h"

#include <QAbstractButton>
#include <QBuffer>
#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QGroupBox>
#include <QLabel>
#include <QPainter>
#include <QStackedWidget>
#include <QTest>

using namespace hq;
using hq::test::control;
using hq::test::WindowFixture;

namespace {

const QString kOrganisation = hq::test::preferenceOrganisation();
const QString kApplication = QStringLiteral("HQ3746DC");

void copyShippedLanguageFiles(const QString& appDir) {
    const QDir source(QStringLiteral(HQ_RESOURCES_DIR));
    for (const char* name : {"language.ini", "deutsch.ini", "english.ini", "de.bmp", "en.bmp"}) {
        const QString file = QString::fromLatin1(name);
        QFile::remove(QDir(appDir).filePath(file));
        QVERIFY2(QFile::copy(source.filePath(file), QDir(appDir).filePath(file)), name);
    }
}

void writeFile(const QString& path, const QByteArray& bytes) {
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(bytes);
}

void storePreference(const QVariant& value) {
    QSettings s(QSettings::NativeFormat, QSettings::UserScope, kOrganisation, kApplication);
    s.setValue(QStringLiteral("1.0/lang"), value);
}

// Every caption the language files can touch: object name -> text.
QMap<QString, QString> captions(QWidget* window) {
    QMap<QString, QString> all;
    all.insert(QStringLiteral("<title>"), window->windowTitle());
    for (QWidget* w : window->findChildren<QWidget*>()) {
        if (auto* label = qobject_cast<QLabel*>(w))
            all.insert(w->objectName(), label->text());
        else if (auto* button = qobject_cast<QAbstractButton*>(w))
            all.insert(w->objectName(), button->text());
        else if (auto* group = qobject_cast<QGroupBox*>(w))
            all.insert(w->objectName(), group->title());
    }
    return all;
}

// Width a caption needs inside its control, or -1 for controls whose caption wraps or that are
// not captioned. The window is laid out by hand, so a caption wider than its control is cut off.
int neededWidth(QWidget* w) {
    if (auto* label = qobject_cast<QLabel*>(w)) {
        if (label->wordWrap())
            return -1;
        return label->fontMetrics().horizontalAdvance(label->text()) + 2 * label->margin() +
               std::max(label->indent(), 0);
    }
    if (auto* check = qobject_cast<QCheckBox*>(w))
        return check->sizeHint().width();
    if (auto* button = qobject_cast<QAbstractButton*>(w)) {
        const int icon = button->icon().isNull() ? 0 : button->iconSize().width() + 4;
        // Text, icon and the frame on both sides.
        return button->fontMetrics().horizontalAdvance(button->text()) + icon + 4;
    }
    if (auto* group = qobject_cast<QGroupBox*>(w))
        return group->fontMetrics().horizontalAdvance(group->title()) + 8;
    return -1;
}

// Controls the layout keeps hidden (a closed tab page only waits to be shown).
bool hiddenByDesign(QWidget* w, QWidget* window) {
    for (QWidget* p = w; p != nullptr && p != window; p = p->parentWidget()) {
        if (p->isHidden() && qobject_cast<QStackedWidget*>(p->parentWidget()) == nullptr)
            return true;
    }
    return false;
}

void choose(WindowFixture& fx, int index) {
    QComboBox* box = control<QComboBox>(*fx.form, "Sprachwahl");
    box->setCurrentIndex(index);
    emit box->activated(index); // what a user's choice raises
}

// A window on the shipped language files, with the preference (if any) stored first.
std::unique_ptr<WindowFixture> makeWindow(const QVariant& stored = {},
                                          const std::function<void(const QString&)>& prepare = {}) {
    return std::make_unique<WindowFixture>([&](monitor::SchrankFormOptions& o) {
        copyShippedLanguageFiles(o.applicationDir);
        if (prepare)
            prepare(o.applicationDir);
        if (stored.isValid())
            storePreference(stored);
    });
}

} // namespace

class TestSchrankLanguage : public QObject {
    Q_OBJECT
private slots:
    void shippedCatalogue() {
        auto fx = makeWindow();
        QComboBox* box = control<QComboBox>(*fx->form, "Sprachwahl");
        QCOMPARE(box->count(), 2);
        QCOMPARE(box->itemText(0), QStringLiteral("Deutsch"));
        QCOMPARE(box->itemText(1), QStringLiteral("English"));
        for (int i = 0; i < 2; ++i) {
            const QImage flag = box->itemData(i, monitor::kLanguageFlagRole).value<QImage>();
            QCOMPARE(flag.size(), QSize(16, 16));
            QVERIFY(!box->itemIcon(i).isNull());
        }
        QCOMPARE(box->currentIndex(), 0);
        QCOMPARE(fx->form->languageIndex(), 0);
        QCOMPARE(fx->form->windowTitle(), QStringLiteral("Monitorprogramm für Trockenschrank"));
        QCOMPARE(control<QPushButton>(*fx->form, "Button3")->text(),
                 QStringLiteral("Schranksuche"));
        QVERIFY(fx->errors.empty());
    }

    void switchingAndBackRestoresCaptions() {
        auto fx = makeWindow();
        const QMap<QString, QString> german = captions(fx->form.get());

        choose(*fx, 1);
        QCOMPARE(fx->form->languageIndex(), 1);
        const QMap<QString, QString> english = captions(fx->form.get());
        QCOMPARE(english.value(QStringLiteral("<title>")),
                 QStringLiteral("Monitor program for drying cabinet"));
        QCOMPARE(control<QPushButton>(*fx->form, "Button3")->text(),
                 QStringLiteral("Find cabinets"));
        QCOMPARE(control<QPushButton>(*fx->form, "Button2")->text(), QStringLiteral("MPFS update"));
        // Every caption the English file names is shown, and most captions changed.
        const Translation file = readTranslation(fx->appDir.path(), QStringLiteral("english"));
        int changed = 0;
        for (auto it = english.cbegin(); it != english.cend(); ++it) {
            const QString wanted = file.caption(it.key());
            if (!wanted.isEmpty() && it.key().size() >= 2)
                QCOMPARE(it.value(), wanted);
            if (german.value(it.key()) != it.value())
                ++changed;
        }
        QVERIFY2(changed >= 30, qPrintable(QString::number(changed)));
        // Values that the window writes at run time stay.
        QCOMPARE(control<QLabel>(*fx->form, "Label24")->text(),
                 german.value(QStringLiteral("Label24")));
        QCOMPARE(control<QLabel>(*fx->form, "HostName")->text(), localHostName());

        choose(*fx, 0);
        QCOMPARE(fx->form->languageIndex(), 0);
        QCOMPARE(captions(fx->form.get()), german);
        QVERIFY(fx->errors.empty());
    }

    void translatedCaptionsFit_data() {
        QTest::addColumn<int>("index");
        QTest::newRow("Deutsch") << 0;
        QTest::newRow("English") << 1;
    }
    void translatedCaptionsFit() {
        // Every caption a language file sets fits into its control (nothing is cut off), the
        // controls that the layout keeps hidden excepted.
        if (hq::test::runningUnderWine())
            QSKIP("Wine's fonts are not Windows' fonts: their widths say nothing about a PC");
        QFETCH(int, index);
        auto fx = makeWindow();
        choose(*fx, index);
        const Translation file =
            readTranslation(fx->appDir.path(), languageFileForIndex(fx->appDir.path(), index));
        QStringList cut;
        for (QWidget* w : fx->form->findChildren<QWidget*>()) {
            if (w->objectName().size() < 2 || file.caption(w->objectName()).isEmpty() ||
                hiddenByDesign(w, fx->form.get()))
                continue;
            const int needed = neededWidth(w);
            if (needed > w->width())
                cut << QStringLiteral("%1 (%2 > %3)")
                           .arg(w->objectName())
                           .arg(needed)
                           .arg(w->width());
        }
        QVERIFY2(cut.isEmpty(), qPrintable(cut.join(QStringLiteral(", "))));
    }

    void savedPosition_data() {
        QTest::addColumn<QVariant>("stored");
        QTest::addColumn<int>("selected");
        QTest::addColumn<QString>("title");
        QTest::addColumn<QString>("button3");
        QTest::newRow("English") << QVariant(1) << 1
                                 << QStringLiteral("Monitor program for drying cabinet")
                                 << QStringLiteral("Find cabinets");
        // No entry at that position: nothing selected, section 0 names no file, the captions
        // stay as designed.
        QTest::newRow("unknown position")
            << QVariant(5) << -1 << QStringLiteral("Monitorprogramm für Trockenschrank")
            << QStringLiteral("Schranksuche");
    }
    void savedPosition() {
        QFETCH(QVariant, stored);
        QFETCH(int, selected);
        QFETCH(QString, title);
        QFETCH(QString, button3);
        auto fx = makeWindow(stored);
        QCOMPARE(control<QComboBox>(*fx->form, "Sprachwahl")->currentIndex(), selected);
        QCOMPARE(fx->form->languageIndex(), selected);
        QCOMPARE(fx->form->windowTitle(), title);
        QCOMPARE(control<QPushButton>(*fx->form, "Button3")->text(), button3);
        QVERIFY(fx->errors.empty());
        // Start-up went on to the LAN tab.
        QCOMPARE(control<QLabel>(*fx->form, "HostName")->text(), localHostName());
        fx->form->close();
        const QSettings s(QSettings::NativeFormat, QSettings::UserScope, kOrganisation,
                          kApplication);
        QCOMPARE(s.value(QStringLiteral("1.0/lang")).toInt(), selected);
    }

    void flagThatCannotBeLoaded_data() {
        QTest::addColumn<QByteArray>("englishFlag"); // empty: the file is missing
        QTest::newRow("missing") << QByteArray();
        QTest::newRow("not a picture") << QByteArray("BM this is no bitmap");
        QImage small(8, 8, QImage::Format_RGB32);
        small.fill(Qt::blue);
        QByteArray smallBmp;
        QBuffer buffer(&smallBmp);
        buffer.open(QIODevice::WriteOnly);
        small.save(&buffer, "BMP");
        QTest::newRow("smaller than 16 x 16") << smallBmp;
    }
    void flagThatCannotBeLoaded() {
        QFETCH(QByteArray, englishFlag);
        auto fx = makeWindow(QVariant(1), [&](const QString& appDir) {
            // The English entry's picture is replaced.
            const QString path = QDir(appDir).filePath(QStringLiteral("en.bmp"));
            QFile::remove(path);
            if (!englishFlag.isEmpty())
                writeFile(path, englishFlag);
        });
        QComboBox* box = control<QComboBox>(*fx->form, "Sprachwahl");
        // The error is shown once, the entry is listed without a flag ...
        QCOMPARE(fx->errors.size(), std::size_t(1));
        QVERIFY2(fx->errors.front().startsWith(QStringLiteral("Flaggenbild ") +
                                               QDir(fx->appDir.path()).filePath("en.bmp") +
                                               QStringLiteral(" kann nicht geladen werden.")),
                 qPrintable(fx->errors.front()));
        QCOMPARE(box->count(), 2);
        QCOMPARE(box->itemText(1), QStringLiteral("English"));
        QVERIFY(box->itemData(1, monitor::kLanguageFlagRole).value<QImage>().isNull());
        QVERIFY(!box->itemData(0, monitor::kLanguageFlagRole).value<QImage>().isNull());
        // ... and start-up goes on: preference, language, LAN tab.
        QCOMPARE(box->currentIndex(), 1);
        QCOMPARE(fx->form->languageIndex(), 1);
        QCOMPARE(fx->form->windowTitle(), QStringLiteral("Monitor program for drying cabinet"));
        QCOMPARE(control<QLabel>(*fx->form, "HostName")->text(), localHostName());
        QCOMPARE(control<QComboBox>(*fx->form, "ComboBox1")->count(), ListLocalAddresses().size());
    }

    void translationFilesAreReadAnew() {
        auto fx = makeWindow(QVariant(1));
        const QString english = QDir(fx->appDir.path()).filePath(QStringLiteral("english.ini"));
        writeFile(english, "[0]\ntitel=Edited title\nButton3=  Search  \n");
        // Showing the window applies the selected language again, from the file as it is now.
        fx->form->show();
        QCOMPARE(fx->form->windowTitle(), QStringLiteral("Edited title"));
        QCOMPARE(control<QPushButton>(*fx->form, "Button3")->text(), QStringLiteral("Search"));
        // A caption the file no longer names keeps what English set.
        QCOMPARE(control<QPushButton>(*fx->form, "Button2")->text(), QStringLiteral("MPFS update"));
        QCOMPARE(fx->form->languageIndex(), 1);
    }

    void entryWithoutFileChangesNothing() {
        auto fx = makeWindow({}, [](const QString& appDir) {
            writeFile(QDir(appDir).filePath(QStringLiteral("language.ini")),
                      "[0]\ncount=$3\n[1]\nname=Deutsch\nimage=de.bmp\nfile=deutsch\n"
                      "[2]\nname=English\nimage=en.bmp\nfile=english\n[3]\nimage=de.bmp\n");
        });
        QComboBox* box = control<QComboBox>(*fx->form, "Sprachwahl");
        QCOMPARE(box->count(), 3);
        QCOMPARE(box->itemText(2), QStringLiteral("error"));
        choose(*fx, 1);
        const QMap<QString, QString> english = captions(fx->form.get());
        choose(*fx, 2);
        QCOMPARE(fx->form->languageIndex(), 2);
        QCOMPARE(captions(fx->form.get()), english);
    }

    void itemDrawing_data() {
        QTest::addColumn<bool>("withFlag");
        QTest::addColumn<bool>("selected");
        QTest::newRow("flag") << true << false;
        QTest::newRow("flag, selected") << true << true;
        QTest::newRow("no flag") << false << false;
    }
    void itemDrawing() {
        QFETCH(bool, withFlag);
        QFETCH(bool, selected);
        auto fx = makeWindow();
        QComboBox* box = control<QComboBox>(*fx->form, "Sprachwahl");
        if (!withFlag)
            box->setItemData(0, QImage(), monitor::kLanguageFlagRole);
        QAbstractItemDelegate* delegate = box->itemDelegate();
        QVERIFY(qobject_cast<monitor::LanguageItemDelegate*>(delegate) != nullptr);

        QStyleOptionViewItem option;
        option.initFrom(box);
        option.rect = QRect(0, 0, 120, 16);
        option.palette.setColor(QPalette::Base, Qt::white);
        option.palette.setColor(QPalette::Highlight, QColor(0, 0, 200));
        option.palette.setColor(QPalette::Text, Qt::black);
        option.palette.setColor(QPalette::HighlightedText, Qt::white);
        if (selected)
            option.state |= QStyle::State_Selected;
        const QModelIndex index = box->model()->index(0, 0);
        QCOMPARE(delegate->sizeHint(option, index).height(), 16);

        QImage canvas(120, 16, QImage::Format_ARGB32);
        canvas.fill(Qt::red);
        {
            QPainter painter(&canvas);
            delegate->paint(&painter, option, index);
        }
        const QColor background = selected ? QColor(0, 0, 200) : QColor(Qt::white);
        const QImage flag = box->itemData(0, monitor::kLanguageFlagRole)
                                .value<QImage>()
                                .convertToFormat(QImage::Format_ARGB32);
        // The flag (or the background) in the top-left 16 x 16 square ...
        for (int y = 0; y < 16; ++y) {
            for (int x = 0; x < 16; ++x) {
                const QColor want = withFlag ? flag.pixelColor(x, y) : background;
                QCOMPARE(canvas.pixelColor(x, y), want);
            }
        }
        // ... the background in the 2-pixel gap and at the far right, the name in between.
        QCOMPARE(canvas.pixelColor(16, 8), background);
        QCOMPARE(canvas.pixelColor(17, 8), background);
        QCOMPARE(canvas.pixelColor(119, 0), background);
        bool text = false;
        for (int y = 0; y < 16 && !text; ++y)
            for (int x = 18; x < 80 && !text; ++x)
                text = canvas.pixelColor(x, y) != background;
        QVERIFY(text);
    }
};

QTEST_MAIN(TestSchrankLanguage)
#include "test_schrank_language.moc"
