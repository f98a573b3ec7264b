// Finding the web image and the bootloader program beside the executable or in the user's data
// folder, and the one property of the installed layout the lookup relies on: the executable's
// folder is where the executable really lies, also when it was started through a symlink.
#include "cabinet/files.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <cstdio>
#include <cstring>

using hq::cabinet::locateResource;
using hq::cabinet::resourceExists;
using hq::cabinet::ResourceKind;
using hq::cabinet::resourceSearchDirs;

namespace {

constexpr const char* kPrintDirArgument = "--print-application-dir";

// Entries made in a scratch tree: "d:PATH" a folder, "f:PATH" a plain file, "x:PATH" an
// executable file, "l:PATH>TARGET" a symlink.
void makeEntries(const QString& root, const QStringList& entries) {
    for (const QString& entry : entries) {
        const QString kind = entry.left(2);
        QString path = entry.mid(2);
        QString target;
        if (kind == QLatin1String("l:")) {
            target = QDir(root).filePath(path.section(QLatin1Char('>'), 1));
            path = path.section(QLatin1Char('>'), 0, 0);
        }
        const QString full = QDir(root).filePath(path);
        QVERIFY(QDir().mkpath(kind == QLatin1String("d:") ? full : QFileInfo(full).path()));
        if (kind == QLatin1String("f:") || kind == QLatin1String("x:")) {
            QFile file(full);
            QVERIFY(file.open(QIODevice::WriteOnly));
            QVERIFY(file.write("image") == 5);
            file.close();
            if (kind == QLatin1String("x:"))
                QVERIFY(file.setPermissions(file.permissions() | QFileDevice::ExeOwner));
        } else if (kind == QLatin1String("l:")) {
            QVERIFY(QFile::link(target, full));
        }
    }
}

} // namespace

class ResourceLookupTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase() { QStandardPaths::setTestModeEnabled(true); }

    void locate_data();
    void locate();
    void locateWithoutFolders();
    void searchDirsStartBesideTheExecutable();
    void otherProgramsShareTheMonitorsDataFolder();
    void applicationDirFollowsSymlink();
};

void ResourceLookupTest::locate_data() {
    QTest::addColumn<QStringList>("entries"); // relative to a scratch root with prog/ and user/
    QTest::addColumn<QString>("relativePath");
    QTest::addColumn<int>("kind");
    QTest::addColumn<QString>("expected"); // relative to the scratch root
    QTest::addColumn<bool>("found");

    const int file = int(ResourceKind::File);
    const int exe = int(ResourceKind::ExecutableFile);
    const QStringList bothDirs{QStringLiteral("d:prog"), QStringLiteral("d:user")};

    QTest::newRow("image beside the executable wins")
        << (bothDirs + QStringList{"f:prog/MPFSImg_DC.bin", "f:user/MPFSImg_DC.bin"})
        << "MPFSImg_DC.bin" << file << "prog/MPFSImg_DC.bin" << true;
    QTest::newRow("image only in the data folder")
        << (bothDirs + QStringList{"f:user/MPFSImg_DC.bin"}) << "MPFSImg_DC.bin" << file
        << "user/MPFSImg_DC.bin" << true;
    QTest::newRow("image nowhere: the place beside the executable")
        << bothDirs << "MPFSImg_DC.bin" << file << "prog/MPFSImg_DC.bin" << false;
    QTest::newRow("a folder of that name is no image")
        << (bothDirs + QStringList{"d:prog/MPFSImg_DC.bin", "f:user/MPFSImg_DC.bin"})
        << "MPFSImg_DC.bin" << file << "user/MPFSImg_DC.bin" << true;
    QTest::newRow("file name case matters")
        << (bothDirs + QStringList{"f:prog/mpfsimg_dc.bin"}) << "MPFSImg_DC.bin" << file
        << "prog/MPFSImg_DC.bin" << false;
    QTest::newRow("image through a symlink")
        << (bothDirs + QStringList{"f:store/web.bin", "l:user/MPFSImg_DC.bin>store/web.bin"})
        << "MPFSImg_DC.bin" << file << "user/MPFSImg_DC.bin" << true;
    QTest::newRow("dangling symlink is skipped")
        << (bothDirs + QStringList{"l:prog/MPFSImg_DC.bin>gone.bin", "f:user/MPFSImg_DC.bin"})
        << "MPFSImg_DC.bin" << file << "user/MPFSImg_DC.bin" << true;

    // The installed program folder holds an empty "Bootloader" folder with a README only.
    QTest::newRow("bootloader in the data folder beside an empty installed one")
        << (bothDirs + QStringList{"f:prog/Bootloader/README", "x:user/Bootloader/PIC32UBL"})
        << "Bootloader/PIC32UBL" << exe << "user/Bootloader/PIC32UBL" << true;
    QTest::newRow("bootloader beside the executable wins")
        << (bothDirs + QStringList{"x:prog/Bootloader/PIC32UBL", "x:user/Bootloader/PIC32UBL"})
        << "Bootloader/PIC32UBL" << exe << "prog/Bootloader/PIC32UBL" << true;
    QTest::newRow("a bootloader that cannot run is passed over")
        << (bothDirs + QStringList{"f:prog/Bootloader/PIC32UBL", "x:user/Bootloader/PIC32UBL"})
        << "Bootloader/PIC32UBL" << exe << "user/Bootloader/PIC32UBL" << true;
    QTest::newRow("no runnable bootloader anywhere")
        << (bothDirs + QStringList{"f:prog/Bootloader/PIC32UBL", "d:user/Bootloader/PIC32UBL"})
        << "Bootloader/PIC32UBL" << exe << "prog/Bootloader/PIC32UBL" << false;
    QTest::newRow("missing data folder") << QStringList{"d:prog"} << "Bootloader/PIC32UBL" << exe
                                         << "prog/Bootloader/PIC32UBL" << false;
}

void ResourceLookupTest::locate() {
    QFETCH(QStringList, entries);
    QFETCH(QString, relativePath);
    QFETCH(int, kind);
    QFETCH(QString, expected);
    QFETCH(bool, found);
#ifdef Q_OS_WIN
    if (kind == int(ResourceKind::ExecutableFile) || entries.join(' ').contains("l:"))
        QSKIP("executable bits and symlinks are POSIX matters");
#endif

#if defined(Q_OS_WIN) || defined(Q_OS_MACOS)
    if (QByteArray(QTest::currentDataTag()) == "file name case matters")
        QSKIP("the file systems of this platform ignore the case of names");
#endif

    QTemporaryDir root;
    QVERIFY(root.isValid());
    makeEntries(root.path(), entries);
    if (QTest::currentTestFailed())
        return;
    const QStringList dirs{root.filePath(QStringLiteral("prog")),
                           root.filePath(QStringLiteral("user"))};

    const QString path = locateResource(dirs, relativePath, ResourceKind(kind));
    QCOMPARE(path, QDir::cleanPath(root.filePath(expected)));
    QCOMPARE(resourceExists(path, ResourceKind(kind)), found);
}

void ResourceLookupTest::locateWithoutFolders() {
    QCOMPARE(locateResource({}, QStringLiteral("MPFSImg_DC.bin")), QString());
    QVERIFY(!resourceExists(QString()));
}

void ResourceLookupTest::searchDirsStartBesideTheExecutable() {
    QCoreApplication::setOrganizationName(QStringLiteral("KOV"));
    QCoreApplication::setApplicationName(QStringLiteral("hq3746-monitor"));
    const QString userData = QStandardPaths::writableLocation(QStandardPaths::AppDataLocation);
    QVERIFY(!userData.isEmpty());

    const QStringList dirs = resourceSearchDirs(QStringLiteral("/opt/hq//prog/"));
    QVERIFY(dirs.size() >= 2);
    QCOMPARE(dirs.front(), QStringLiteral("/opt/hq/prog"));
    QCOMPARE(dirs.at(1), QDir::cleanPath(userData));
    QVERIFY(userData.contains(QStringLiteral("KOV")));
    QVERIFY(userData.contains(QStringLiteral("hq3746-monitor")));
    QCOMPARE(QStringList(dirs).removeDuplicates(), 0);

    // The data folder given as the executable's folder is listed once, in front.
    const QStringList same = resourceSearchDirs(userData + QLatin1Char('/'));
    QCOMPARE(same.front(), QDir::cleanPath(userData));
    QCOMPARE(same.count(QDir::cleanPath(userData)), 1);
    QCOMPARE(resourceSearchDirs(QString()).front(), QDir::cleanPath(userData));
}

// hq3746ctl looks where the monitor looks, whatever names it runs under.
void ResourceLookupTest::otherProgramsShareTheMonitorsDataFolder() {
    for (const auto& [organisation, application] :
         {std::pair{"KOV", "hq3746ctl"}, std::pair{"", "hq3746ctl"},
          std::pair{"KOV", "hq3746-monitor"}}) {
        QCoreApplication::setOrganizationName(QLatin1String(organisation));
        QCoreApplication::setApplicationName(QLatin1String(application));
        const QStringList dirs = hq::cabinet::programDataDirs();
        QVERIFY(!dirs.isEmpty());
        QVERIFY2(dirs.front().endsWith(QStringLiteral("/KOV/hq3746-monitor")),
                 qPrintable(dirs.front()));
        QVERIFY(!dirs.front().contains(QStringLiteral("hq3746ctl")));
    }
    QCoreApplication::setOrganizationName(QStringLiteral("KOV"));
    QCoreApplication::setApplicationName(QStringLiteral("hq3746-monitor"));
}

// The installed commands in /usr/bin are symlinks into the program folder; the files that come
// beside the executable are only found if the application's folder is the link's target folder.
void ResourceLookupTest::applicationDirFollowsSymlink() {
#ifdef Q_OS_WIN
    QSKIP("the installed layout uses symlinks on Linux only");
#else
    QTemporaryDir linkDir;
    QVERIFY(linkDir.isValid());
    const QString self = QCoreApplication::applicationFilePath();
    const QString link = linkDir.filePath(QStringLiteral("hq3746-link"));
    QVERIFY(QFile::link(self, link));

    QProcess child;
    child.setProgram(link);
    child.setArguments({QString::fromLatin1(kPrintDirArgument)});
    child.start();
    QVERIFY(child.waitForFinished(30000));
    QCOMPARE(child.exitStatus(), QProcess::NormalExit);
    QCOMPARE(child.exitCode(), 0);
    const QString printed = QString::fromLocal8Bit(child.readAllStandardOutput()).trimmed();
    QCOMPARE(printed, QCoreApplication::applicationDirPath());
    QVERIFY(printed != QDir::cleanPath(linkDir.path()));
#endif
}

int main(int argc, char** argv) {
    // Started by applicationDirFollowsSymlink through a symlink: report the application folder.
    if (argc == 2 && std::strcmp(argv[1], kPrintDirArgument) == 0) {
        QCoreApplication app(argc, argv);
        std::printf("%s\n", qPrintable(QCoreApplication::applicationDirPath()));
        return 0;
    }
    QCoreApplication app(argc, argv);
    ResourceLookupTest test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_files.moc"
