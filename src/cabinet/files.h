// Where the monitor and the command-line tool find the cabinet's files that ship beside the
// executable but that a user may have to supply: the web image "MPFSImg_DC.bin" and the
// bootloader program in the folder "Bootloader". An installed program folder is not writable
// for users, so after the executable's own folder they look in the user's data folder
// (QStandardPaths::AppDataLocation, for example ~/.local/share/KOV/hq3746-monitor on Linux).
#pragma once

#include <QString>
#include <QStringList>

namespace hq::cabinet {

// What a found entry has to be.
enum class ResourceKind {
    File,           // a readable regular file (or a link to one)
    ExecutableFile, // a regular file the user may run
};

// The monitor program's names, which its data folders carry ("KOV/hq3746-monitor").
inline constexpr auto kOrganisationName = "KOV";
inline constexpr auto kProgramName = "hq3746-monitor";

// The monitor's data folders, the user's own (writable) first: ~/.local/share/KOV/hq3746-monitor
// on Linux, %APPDATA%\KOV\hq3746-monitor on Windows. The same for every program of the
// project, whatever name the running one has.
QStringList programDataDirs();

// The folders searched, in this order: applicationDir, then dataDirs (the monitor's data
// folders unless a test gives others). Each folder appears once; empty entries are left out.
QStringList resourceSearchDirs(const QString& applicationDir,
                               const QStringList& dataDirs = programDataDirs());

// The first folder of dirs holding relativePath ("MPFSImg_DC.bin", "Bootloader/PIC32UBL") as an
// entry of the given kind, joined to relativePath. When no folder holds it, the path in the first
// folder (the one beside the executable), so that a message about the missing file names the
// place where it belongs. Empty when dirs is empty.
QString locateResource(const QStringList& dirs, const QString& relativePath,
                       ResourceKind kind = ResourceKind::File);

// True when locateResource found a real entry, that is the path exists with the given kind.
bool resourceExists(const QString& path, ResourceKind kind = ResourceKind::File);

// The two files, looked up in the folders of resourceSearchDirs(applicationDir, dataDirs).
QString webImagePath(const QString& applicationDir,
                     const QStringList& dataDirs = programDataDirs());
QString bootloaderPath(const QString& applicationDir,
                       const QStringList& dataDirs = programDataDirs());
// Their paths relative to a searched folder ("Bootloader/PIC32UBL.exe" on Windows).
QString webImageRelativePath();
QString bootloaderRelativePath();

} // namespace hq::cabinet
