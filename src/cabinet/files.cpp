#include "cabinet/files.h"

#include "cabinet/identity.h"

#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

namespace hq::cabinet {

namespace {

void appendOnce(QStringList& dirs, const QString& dir) {
    if (dir.isEmpty())
        return;
    const QString clean = QDir::cleanPath(dir);
    for (const QString& known : dirs) {
        if (QDir::cleanPath(known) == clean)
            return;
    }
    dirs.append(clean);
}

} // namespace

QStringList programDataDirs() {
    // The application data folders of whichever program runs, turned into the monitor's: the
    // tool and the monitor share them.
    const QString organisation = QCoreApplication::organizationName();
    const QString running = (organisation.isEmpty() ? QString() : organisation + QLatin1Char('/')) +
                            QCoreApplication::applicationName();
    const QString monitor =
        QLatin1String(kOrganisationName) + QLatin1Char('/') + QLatin1String(kProgramName);
    QStringList dirs;
    // standardLocations lists the writable (user's) folder first, then the system-wide ones.
    for (QString dir : QStandardPaths::standardLocations(QStandardPaths::AppDataLocation)) {
        dir = QDir::cleanPath(dir);
        if (dir.endsWith(QLatin1Char('/') + running))
            dir = dir.left(dir.size() - running.size()) + monitor;
        appendOnce(dirs, dir);
    }
    return dirs;
}

QStringList resourceSearchDirs(const QString& applicationDir, const QStringList& dataDirs) {
    QStringList dirs;
    appendOnce(dirs, applicationDir);
    for (const QString& dir : dataDirs)
        appendOnce(dirs, dir);
    return dirs;
}

bool resourceExists(const QString& path, ResourceKind kind) {
    if (path.isEmpty())
        return false;
    const QFileInfo info(path);
    if (!info.isFile() || !info.isReadable())
        return false;
    return kind != ResourceKind::ExecutableFile || info.isExecutable();
}

QString locateResource(const QStringList& dirs, const QString& relativePath, ResourceKind kind) {
    if (dirs.isEmpty())
        return {};
    for (const QString& dir : dirs) {
        const QString candidate = QDir::cleanPath(QDir(dir).filePath(relativePath));
        if (resourceExists(candidate, kind))
            return candidate;
    }
    return QDir::cleanPath(QDir(dirs.front()).filePath(relativePath));
}

QString webImageRelativePath() {
    return QString::fromLatin1(kWebImageFileName.data(), qsizetype(kWebImageFileName.size()));
}

QString bootloaderRelativePath() {
    return QString::fromLatin1(kBootloaderProgram.data(), qsizetype(kBootloaderProgram.size())) +
           QStringLiteral(HQ_EXECUTABLE_SUFFIX);
}

QString webImagePath(const QString& applicationDir, const QStringList& dataDirs) {
    return locateResource(resourceSearchDirs(applicationDir, dataDirs), webImageRelativePath());
}

QString bootloaderPath(const QString& applicationDir, const QStringList& dataDirs) {
    return locateResource(resourceSearchDirs(applicationDir, dataDirs), bootloaderRelativePath(),
                          ResourceKind::ExecutableFile);
}

} // namespace hq::cabinet
