#include "localization/language.h"
#include "localization/profile_file.h"
#include "localization/windows1252.h"

#include <QCheckBox>
#include <QFile>
#include <QGroupBox>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTemporaryDir>
#include <QTest>
#include <QVBoxLayout>
#include <QXmlStreamReader>

namespace {

void writeFile(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    QVERIFY(f.open(QIODevice::WriteOnly));
    f.write(bytes);
}

void writeBitmap(const QString& path, int w, int h, QColor color) {
    QImage image(w, h, QImage::Format_RGB32);
    image.fill(color);
    QVERIFY(image.save(path, "BMP"));
}

QString utf8(const char* s) {
    return QString::fromUtf8(s);
}

} // namespace

class TestLanguage : public QObject {
    Q_OBJECT
private slots:
    void init();
    void catalogueCount_data();
    void catalogueCount();
    void catalogueEntries();
    void missingCatalogue();
    void entryWithoutFlagToRepeatIsReported_data();
    void entryWithoutFlagToRepeatIsReported();
    void brokenFlagIsReportedAndSkipped();
    void largeFlagIsFitted();
    void fileForIndex_data();
    void fileForIndex();
    void applyCaptions();
    void switchingKeepsUnnamedCaptions();
    void titleOnlyFile();
    void shippedCatalogue();
    void shippedTranslationsComplete_data();
    void shippedTranslationsComplete();
    void germanFileMatchesWindowLayout();

private:
    std::unique_ptr<QTemporaryDir> dir_;
    QString path(const char* name) const { return dir_->filePath(QString::fromLatin1(name)); }
};

void TestLanguage::init() {
    dir_ = std::make_unique<QTemporaryDir>();
    QVERIFY(dir_->isValid());
    writeBitmap(path("de.bmp"), 16, 16, Qt::red);
    writeBitmap(path("en.bmp"), 16, 16, Qt::blue);
}

void TestLanguage::catalogueCount_data() {
    QTest::addColumn<QByteArray>("count");
    QTest::addColumn<int>("entries");
    QTest::newRow("decimal") << QByteArray("2") << 2;
    QTest::newRow("0x") << QByteArray("0x2") << 2;
    QTest::newRow("dollar") << QByteArray("$2") << 2;
    QTest::newRow("word") << QByteArray("two") << 0;
    QTest::newRow("negative") << QByteArray("-1") << 0;
    QTest::newRow("three with two sections") << QByteArray("3") << 3;
}

void TestLanguage::catalogueCount() {
    QFETCH(QByteArray, count);
    QFETCH(int, entries);
    writeFile(path("language.ini"), "[0]\ncount=" + count +
                                        "\n[1]\nname=Deutsch\nimage=de.bmp\nfile=deutsch\n"
                                        "[2]\nname=English\nimage=en.bmp\nfile=english\n");
    const hq::LanguageList list = hq::LoadLanguageList(dir_->path());
    QCOMPARE(list.entries.size(), entries);
    QVERIFY(list.errors.isEmpty());
    if (entries == 3) {
        // A section that is not there is listed as "error" and repeats the last flag.
        QCOMPARE(list.entries[2].name, QStringLiteral("error"));
        QCOMPARE(list.entries[2].file, QString());
        QCOMPARE(list.entries[2].flag.pixelColor(3, 3), QColor(Qt::blue));
    }
}

void TestLanguage::catalogueEntries() {
    writeFile(path("language.ini"), "[0]\ncount=3\n"
                                    "[1]\nname=Deutsch\nimage=de.bmp\nfile=deutsch\n"
                                    "[2]\nname=Fran\xE7"
                                    "ais\nfile=francais\n"
                                    "[3]\nimage=en.bmp\nfile=english\n");
    const hq::LanguageList list = hq::LoadLanguageList(dir_->path());
    QCOMPARE(list.entries.size(), 3);
    QVERIFY(list.errors.isEmpty());
    QCOMPARE(list.entries[0].name, QStringLiteral("Deutsch"));
    QCOMPARE(list.entries[0].file, QStringLiteral("deutsch"));
    QCOMPARE(list.entries[0].imagePath, dir_->path() + QStringLiteral("/de.bmp"));
    QCOMPARE(list.entries[0].flag.size(), QSize(16, 16));
    QCOMPARE(list.entries[0].flag.pixelColor(8, 8), QColor(Qt::red));
    // No "image": the previous entry's flag is repeated.
    QCOMPARE(list.entries[1].name, utf8("Français"));
    QCOMPARE(list.entries[1].imagePath, QString());
    QCOMPARE(list.entries[1].flag.pixelColor(8, 8), QColor(Qt::red));
    QCOMPARE(list.entries[2].name, QStringLiteral("error"));
    QCOMPARE(list.entries[2].flag.pixelColor(8, 8), QColor(Qt::blue));
}

void TestLanguage::missingCatalogue() {
    const hq::LanguageList list = hq::LoadLanguageList(dir_->path());
    QVERIFY(list.entries.isEmpty());
    QVERIFY(list.errors.isEmpty());
    QCOMPARE(hq::languageFileForIndex(dir_->path(), 0), QString());
}

void TestLanguage::entryWithoutFlagToRepeatIsReported_data() {
    QTest::addColumn<QByteArray>("catalogue");
    QTest::addColumn<QStringList>("reported"); // names the errors mention, in order
    QTest::newRow("first entry without image")
        << QByteArray("[0]\ncount=2\n[1]\nname=Deutsch\nfile=deutsch\n"
                      "[2]\nname=English\nimage=en.bmp\nfile=english\n")
        << QStringList{QStringLiteral("\"Deutsch\"")};
    QTest::newRow("first two without image")
        << QByteArray("[0]\ncount=3\n[1]\nname=A\n[2]\nname=B\n[3]\nname=C\nimage=de.bmp\n")
        << QStringList{QStringLiteral("\"A\""), QStringLiteral("\"B\"")};
    QTest::newRow("later entry repeats a good flag")
        << QByteArray("[0]\ncount=2\n[1]\nname=A\nimage=de.bmp\n[2]\nname=B\n") << QStringList{};
}

void TestLanguage::entryWithoutFlagToRepeatIsReported() {
    QFETCH(QByteArray, catalogue);
    QFETCH(QStringList, reported);
    writeFile(path("language.ini"), catalogue);
    const hq::LanguageList list = hq::LoadLanguageList(dir_->path());
    QCOMPARE(list.errors.size(), reported.size());
    for (qsizetype i = 0; i < reported.size(); ++i) {
        QVERIFY2(list.errors[i].contains(reported[i]), qPrintable(list.errors[i]));
        QVERIFY(list.errors[i].contains(QStringLiteral("kann nicht geladen werden")));
    }
    // Listed all the same, the failing ones without a flag.
    for (const hq::LanguageEntry& e : list.entries)
        QCOMPARE(e.flag.isNull(), reported.contains(QStringLiteral("\"%1\"").arg(e.name)));
}

void TestLanguage::brokenFlagIsReportedAndSkipped() {
    writeFile(path("broken.bmp"), "BM this is no bitmap");
    writeBitmap(path("tiny.bmp"), 8, 8, Qt::green);
    writeFile(path("language.ini"), "[0]\ncount=5\n"
                                    "[1]\nname=A\nimage=missing.bmp\nfile=a\n"
                                    "[2]\nname=B\nimage=broken.bmp\nfile=b\n"
                                    "[3]\nname=C\nimage=tiny.bmp\nfile=c\n"
                                    "[4]\nname=D\nfile=d\n"
                                    "[5]\nname=E\nimage=en.bmp\nfile=e\n");
    const hq::LanguageList list = hq::LoadLanguageList(dir_->path());
    // Every entry stays listed; the three bad pictures are reported, one text each, and so is the
    // entry without a picture that has no good flag to repeat.
    QCOMPARE(list.entries.size(), 5);
    QCOMPARE(list.errors.size(), 4);
    QVERIFY(list.errors[0].contains(path("missing.bmp")));
    QVERIFY(list.errors[1].contains(path("broken.bmp")));
    QVERIFY(list.errors[2].contains(path("tiny.bmp")));
    QVERIFY(list.errors[3].contains(QStringLiteral("\"D\"")));
    for (const QString& e : list.errors) {
        QVERIFY2(e.contains(QStringLiteral("kann nicht geladen werden")), qPrintable(e));
    }
    QVERIFY(list.entries[0].flag.isNull());
    QVERIFY(list.entries[1].flag.isNull());
    QVERIFY(list.entries[2].flag.isNull());
    QVERIFY(list.entries[3].flag.isNull()); // nothing good to repeat
    QCOMPARE(list.entries[4].flag.pixelColor(0, 0), QColor(Qt::blue));
    QCOMPARE(list.entries[4].name, QStringLiteral("E"));
}

void TestLanguage::largeFlagIsFitted() {
    writeBitmap(path("big.bmp"), 32, 16, Qt::yellow);
    QString error;
    const QImage flag = hq::loadFlagPicture(path("big.bmp"), &error);
    QVERIFY2(error.isEmpty(), qPrintable(error));
    QCOMPARE(flag.size(), QSize(16, 16));
    QCOMPARE(flag.pixelColor(8, 8), QColor(Qt::yellow));
    QCOMPARE(flag.pixelColor(8, 0).alpha(), 0); // letterboxed, aspect kept
}

void TestLanguage::fileForIndex_data() {
    QTest::addColumn<int>("index");
    QTest::addColumn<QString>("file");
    QTest::newRow("first") << 0 << "deutsch";
    QTest::newRow("second") << 1 << "english";
    QTest::newRow("saved index beyond the list reads a missing section") << 5 << "";
    QTest::newRow("nothing selected reads section 0") << -1 << "fallback";
}

void TestLanguage::fileForIndex() {
    QFETCH(int, index);
    QFETCH(QString, file);
    writeFile(path("language.ini"), "[0]\ncount=2\nfile=fallback\n[1]\nname=Deutsch\nfile=deutsch\n"
                                    "[2]\nname=English\nfile=english\n");
    QCOMPARE(hq::languageFileForIndex(dir_->path(), index), file);
}

void TestLanguage::applyCaptions() {
    writeFile(path("test.ini"),
              "[0]\ntitel=  Window title  \nlabel16=  Lower-case key  \n"
              "setzen=Set\nrueckluftUeberw=Return air\nGroupBox2=Humidity\n"
              "Radio1=Radio\nSchrankip=not a caption\nX=too short\n"
              "Image1=no text on pictures\nLabel9=\nLabel23=\" leading blank\"\n");
    QWidget window;
    auto* layout = new QVBoxLayout(&window);
    auto make = [&](QWidget* w, const char* name) {
        w->setObjectName(QString::fromLatin1(name));
        layout->addWidget(w);
        return w;
    };
    auto* label16 = static_cast<QLabel*>(make(new QLabel(QStringLiteral("old")), "Label16"));
    auto* label9 = static_cast<QLabel*>(make(new QLabel(QStringLiteral("nine")), "Label9"));
    auto* label23 = static_cast<QLabel*>(make(new QLabel(QStringLiteral("old")), "Label23"));
    auto* setzen = static_cast<QPushButton*>(make(new QPushButton(QStringLiteral("S")), "setzen"));
    auto* check =
        static_cast<QCheckBox*>(make(new QCheckBox(QStringLiteral("R")), "rueckluftUeberw"));
    auto* group = static_cast<QGroupBox*>(make(new QGroupBox(QStringLiteral("G")), "GroupBox2"));
    auto* radio = new QRadioButton(QStringLiteral("r"), group);
    radio->setObjectName(QStringLiteral("Radio1"));
    auto* edit = static_cast<QLineEdit*>(make(new QLineEdit(QStringLiteral("e")), "Schrankip"));
    auto* shortName = static_cast<QLabel*>(make(new QLabel(QStringLiteral("x")), "X"));
    auto* image = static_cast<QLabel*>(make(new QLabel, "Image1"));
    QPixmap pixmap(4, 4);
    pixmap.fill(Qt::black);
    image->setPixmap(pixmap);

    const hq::Translation t = hq::readTranslation(dir_->path(), QStringLiteral("test"));
    QCOMPARE(hq::applyCaptions(&window, t), 6);
    QCOMPARE(window.windowTitle(), QStringLiteral("Window title"));
    QCOMPARE(label16->text(), QStringLiteral("Lower-case key"));
    QCOMPARE(label9->text(), QStringLiteral("nine")); // empty value leaves it
    QCOMPARE(label23->text(), QStringLiteral(" leading blank"));
    QCOMPARE(setzen->text(), QStringLiteral("Set"));
    QCOMPARE(check->text(), QStringLiteral("Return air"));
    QCOMPARE(group->title(), QStringLiteral("Humidity"));
    QCOMPARE(radio->text(), QStringLiteral("Radio"));
    QCOMPARE(edit->text(), QStringLiteral("e"));
    QCOMPARE(shortName->text(), QStringLiteral("x"));
    QVERIFY(image->text().isEmpty());
    QVERIFY(!image->pixmap().isNull());
}

void TestLanguage::switchingKeepsUnnamedCaptions() {
    writeFile(path("a.ini"), "[0]\ntitel=A\nLabel1=a1\nLabel2=a2\n");
    writeFile(path("b.ini"), "[0]\ntitel=B\nLabel1=b1\n");
    QWidget window;
    auto* l1 = new QLabel(QStringLiteral("design1"), &window);
    l1->setObjectName(QStringLiteral("Label1"));
    auto* l2 = new QLabel(QStringLiteral("design2"), &window);
    l2->setObjectName(QStringLiteral("Label2"));
    hq::applyCaptions(&window, hq::readTranslation(dir_->path(), QStringLiteral("a")));
    hq::applyCaptions(&window, hq::readTranslation(dir_->path(), QStringLiteral("b")));
    QCOMPARE(window.windowTitle(), QStringLiteral("B"));
    QCOMPARE(l1->text(), QStringLiteral("b1"));
    QCOMPARE(l2->text(), QStringLiteral("a2"));
    hq::applyCaptions(&window, hq::readTranslation(dir_->path(), QStringLiteral("a")));
    QCOMPARE(l1->text(), QStringLiteral("a1"));
    // A missing translation file empties the title and keeps every caption.
    hq::applyCaptions(&window, hq::readTranslation(dir_->path(), QStringLiteral("nothere")));
    QCOMPARE(window.windowTitle(), QString());
    QCOMPARE(l1->text(), QStringLiteral("a1"));
}

void TestLanguage::titleOnlyFile() {
    writeFile(path("t.ini"), "[0]\ntitel=Only the title\n");
    QWidget window;
    auto* l1 = new QLabel(QStringLiteral("design"), &window);
    l1->setObjectName(QStringLiteral("Label1"));
    QCOMPARE(hq::applyCaptions(&window, hq::readTranslation(dir_->path(), QStringLiteral("t"))), 0);
    QCOMPARE(window.windowTitle(), QStringLiteral("Only the title"));
    QCOMPARE(l1->text(), QStringLiteral("design"));
}

void TestLanguage::shippedCatalogue() {
    const hq::LanguageList list = hq::LoadLanguageList(QStringLiteral(HQ_RESOURCES_DIR));
    QVERIFY2(list.errors.isEmpty(), qPrintable(list.errors.join(u'\n')));
    QCOMPARE(list.entries.size(), 2);
    QCOMPARE(list.entries[0].name, QStringLiteral("Deutsch"));
    QCOMPARE(list.entries[1].name, QStringLiteral("English"));
    for (const hq::LanguageEntry& e : list.entries) {
        QCOMPARE(e.flag.size(), QSize(16, 16));
        QVERIFY(
            QFile::exists(QStringLiteral(HQ_RESOURCES_DIR "/") + e.file + QStringLiteral(".ini")));
    }
    // Black, red and gold from top to bottom.
    const QImage de = list.entries[0].flag;
    QCOMPARE(de.pixelColor(8, 1), QColor(0, 0, 0));
    QVERIFY(de.pixelColor(8, 8).red() > 200 && de.pixelColor(8, 8).green() < 50);
    QVERIFY(de.pixelColor(8, 14).red() > 200 && de.pixelColor(8, 14).green() > 150);
    QCOMPARE(hq::monitorCaptionKeys().size(), 54);
    QStringList unique = hq::monitorCaptionKeys();
    QCOMPARE(unique.removeDuplicates(), 0);
}

void TestLanguage::shippedTranslationsComplete_data() {
    QTest::addColumn<QString>("file");
    QTest::newRow("deutsch") << "deutsch";
    QTest::newRow("english") << "english";
}

void TestLanguage::shippedTranslationsComplete() {
    QFETCH(QString, file);
    const hq::ProfileFile profile =
        hq::ProfileFile::load(QStringLiteral(HQ_RESOURCES_DIR "/") + file + QStringLiteral(".ini"));
    QVERIFY(profile.isLoaded());
    QStringList keys = profile.keys(u"0");
    QVERIFY(keys.contains(QStringLiteral("titel")));
    QVERIFY(!profile.readString(u"0", u"titel").isEmpty());
    // Labels that show values written at run time (and the untitled hidden group) have empty
    // values, so that a change of language does not overwrite what the window shows.
    const QStringList valueLabels = {"Label11",  "Label15",  "Label20",  "Label24", "Label25",
                                     "Label26",  "Label27",  "Label28",  "Label29", "Label35",
                                     "IP_Label", "HostName", "GroupBox3"};
    for (const QString& key : hq::monitorCaptionKeys()) {
        QVERIFY2(keys.contains(key), qPrintable(key));
        const QString value = profile.readString(u"0", key, QStringLiteral("<missing>"));
        QVERIFY2(valueLabels.contains(key) == value.isEmpty(), qPrintable(key + u'=' + value));
    }
    keys.removeAll(QStringLiteral("titel"));
    QCOMPARE(keys.size(), 54);
    if (file == u"deutsch") {
        // The designed captions, blanks at the ends included.
        const hq::Translation t = hq::readTranslation(QStringLiteral(HQ_RESOURCES_DIR), file);
        QCOMPARE(t.title, utf8("Monitorprogramm für Trockenschrank"));
        QCOMPARE(t.caption(QStringLiteral("Label9")), utf8("Türöffnungszeit"));
        QCOMPARE(t.caption(QStringLiteral("Label23")),
                 utf8(" nach dem die Tür geschlossen wurde."));
        QCOMPARE(t.caption(QStringLiteral("Label18")), utf8("Programmphase: "));
        QCOMPARE(t.caption(QStringLiteral("rueckluftUeberw")), utf8("Ruckluftüberwachung aktiv"));
        QCOMPARE(t.caption(QStringLiteral("Button3")), utf8("Schranksuche"));
        QCOMPARE(t.caption(QStringLiteral("GroupBox1")), utf8("USB - Infos"));
        // The file is Windows-1252: "ü" is the single byte 0xFC.
        QFile raw(QStringLiteral(HQ_RESOURCES_DIR "/deutsch.ini"));
        QVERIFY(raw.open(QIODevice::ReadOnly));
        QVERIFY(raw.readAll().contains("f\xFCr Trockenschrank"));
    }
}

void TestLanguage::germanFileMatchesWindowLayout() {
    // The monitor window's layout: every caption key names a captioned widget there, and the
    // German file gives back the captions as designed.
    QFile ui(QStringLiteral(HQ_MONITOR_UI));
    if (!ui.open(QIODevice::ReadOnly)) {
        QSKIP("monitor window layout not present");
    }
    struct Widget {
        QString cls;
        QString text;
    };
    QHash<QString, Widget> widgets;
    QString windowName;
    QStringList elements; // open elements
    QStringList widgetNames;
    QXmlStreamReader xml(&ui);
    while (!xml.atEnd()) {
        xml.readNext();
        if (xml.isStartElement()) {
            const QString element = xml.name().toString();
            if (element == u"widget") {
                const QString name = xml.attributes().value(QLatin1String("name")).toString();
                widgets.insert(
                    name,
                    Widget{xml.attributes().value(QLatin1String("class")).toString(), QString()});
                if (windowName.isEmpty()) {
                    windowName = name;
                }
                widgetNames.append(name);
            } else if (element == u"property" && !elements.isEmpty() &&
                       elements.back() == u"widget") {
                const QString prop = xml.attributes().value(QLatin1String("name")).toString();
                if (prop == u"text" || prop == u"title" || prop == u"windowTitle") {
                    if (xml.readNextStartElement() && xml.name() == u"string") {
                        widgets[widgetNames.back()].text = xml.readElementText();
                    }
                    elements.append(element);
                    continue;
                }
            }
            elements.append(element);
        } else if (xml.isEndElement()) {
            if (elements.back() == u"widget") {
                widgetNames.removeLast();
            }
            elements.removeLast();
        }
    }
    QVERIFY2(!xml.hasError(), qPrintable(xml.errorString()));
    const QStringList captioned = {"QLabel", "QPushButton", "QCheckBox", "QRadioButton",
                                   "QGroupBox"};
    const hq::Translation de =
        hq::readTranslation(QStringLiteral(HQ_RESOURCES_DIR), QStringLiteral("deutsch"));
    QCOMPARE(de.title, widgets.value(windowName).text);
    for (const QString& key : hq::monitorCaptionKeys()) {
        QVERIFY2(widgets.contains(key), qPrintable(key));
        QVERIFY2(captioned.contains(widgets[key].cls), qPrintable(key + u' ' + widgets[key].cls));
        const QString caption = de.caption(key);
        if (!caption.isEmpty()) {
            QCOMPARE(caption, widgets[key].text);
        }
    }
}

QTEST_MAIN(TestLanguage)
#include "test_language.moc"
