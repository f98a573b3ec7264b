#include "history/archive_location.h"

#include "cabinet/files.h"

#include <QDir>

namespace hq::history {

QString defaultHistoryRoot() {
    const QString over = qEnvironmentVariable("HQ3746_HISTORY_DIR");
    if (!over.trimmed().isEmpty())
        return QDir::cleanPath(over);
    // The monitor's data folder, whichever program asks: hq3746ctl reads and writes the same
    // store as the monitor.
    const QStringList dirs = cabinet::programDataDirs();
    const QString data = dirs.isEmpty()
                             ? QDir::homePath() + QStringLiteral("/.local/share/") +
                                   QLatin1String(cabinet::kOrganisationName) + QLatin1Char('/') +
                                   QLatin1String(cabinet::kProgramName)
                             : dirs.front();
    return data + QStringLiteral("/history");
}

std::string cabinetKey(std::int32_t serialNumber, const QString& usbSerial) {
    if (serialNumber != 0)
        return std::to_string(serialNumber);
    const QString text = usbSerial.trimmed();
    return text.isEmpty() ? std::string("unknown") : text.toStdString();
}

QString keyFolderName(const std::string& key) {
    QString name;
    for (const QChar c : QString::fromStdString(key)) {
        const bool plain = (c >= u'a' && c <= u'z') || (c >= u'A' && c <= u'Z') ||
                           (c >= u'0' && c <= u'9') || c == u'-' || c == u'_' || c == u'.';
        name += plain ? c : QChar(u'_');
    }
    if (name.isEmpty() || name == QLatin1String(".") || name == QLatin1String(".."))
        name = QStringLiteral("unknown");
    return name;
}

QString cabinetDirectory(const QString& root, const std::string& key) {
    return root + QLatin1Char('/') + keyFolderName(key);
}

QStringList listCabinetDirectories(const QString& root) {
    QStringList out;
    const QDir dir(root);
    for (const QString& name : dir.entryList(QDir::Dirs | QDir::NoDotAndDotDot, QDir::Name))
        out << dir.filePath(name);
    return out;
}

} // namespace hq::history
