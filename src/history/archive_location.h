// Where the stored history lives: one folder per cabinet under the history root.
#pragma once

#include <QString>
#include <QStringList>

#include <cstdint>
#include <string>

namespace hq::history {

// HQ3746_HISTORY_DIR when set, else the monitor's data folder of the user + "/history"
// (~/.local/share/KOV/hq3746-monitor/history, %APPDATA%\KOV\hq3746-monitor\history), whatever
// the running program is called: the monitor and hq3746ctl share one store.
QString defaultHistoryRoot();

// The key a cabinet's history is kept under: its serial number in decimal; for serial number 0
// its USB serial-number text, or "unknown" when that is empty too.
std::string cabinetKey(std::int32_t serialNumber, const QString& usbSerial);
// The key as a folder name: characters other than letters, digits, '-', '_' and '.' become '_'.
QString keyFolderName(const std::string& key);
QString cabinetDirectory(const QString& root, const std::string& key);
// The cabinet folders under the root, sorted.
QStringList listCabinetDirectories(const QString& root);

inline constexpr char kLockFileName[] = "writer.lock";
inline constexpr char kJournalFileName[] = "journal.hqj";
inline constexpr char kSegmentSuffix[] = ".hqseg";

} // namespace hq::history
