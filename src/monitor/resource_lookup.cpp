#include "monitor/resource_lookup.h"

#include <QDir>
#include <QFileInfo>
#include <QStandardPaths>

namespace hq::monitor {

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

QStringList resourceSearchDirs(const QString& applicationDir) {
    QStringList dirs;
    appendOnce(dirs, applicationDir);
    // standardLocations lists the writable (user's) folder first, then the system-wide ones.
    const QStringList dataDirs = QStandardPaths::standardLocations(QStandardPaths::AppDataLocation);
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

} // namespace hq::monitor
