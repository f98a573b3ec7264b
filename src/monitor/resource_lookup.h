// Where the monitor finds the files that ship beside its executable but that a user may have to
// supply: the web image "MPFSImg_DC.bin" and the bootloader program in the folder "Bootloader".
// An installed program folder is not writable for users, so after the executable's own folder
// the monitor looks in the user's data folder (QStandardPaths::AppDataLocation, for example
// ~/.local/share/KOV/hq3746-monitor on Linux).
#pragma once

#include <QString>
#include <QStringList>

namespace hq::monitor {

// What a found entry has to be.
enum class ResourceKind {
    File,           // a readable regular file (or a link to one)
    ExecutableFile, // a regular file the user may run
};

// The folders searched, in this order: applicationDir, then every AppDataLocation folder of the
// running application (the user's own first). Each folder appears once; empty entries are left
// out. Uses the application and organisation names set on QCoreApplication.
QStringList resourceSearchDirs(const QString& applicationDir);

// The first folder of dirs holding relativePath ("MPFSImg_DC.bin", "Bootloader/PIC32UBL") as an
// entry of the given kind, joined to relativePath. When no folder holds it, the path in the first
// folder (the one beside the executable), so that a message about the missing file names the
// place where it belongs. Empty when dirs is empty.
QString locateResource(const QStringList& dirs, const QString& relativePath,
                       ResourceKind kind = ResourceKind::File);

// True when locateResource found a real entry, that is the path exists with the given kind.
bool resourceExists(const QString& path, ResourceKind kind = ResourceKind::File);

} // namespace hq::monitor
