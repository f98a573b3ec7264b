#include "cli/csv_recorder.h"

#include "service/csv_row.h"

namespace hq::cli {

QString CsvRecorder::open(const QString& path) {
    const std::string header = service::csvHeader();
    bool needHeader = true;
    bool needLineEnd = false;
    {
        QFile existing(path);
        if (existing.exists() && existing.size() > 0) {
            if (!existing.open(QIODevice::ReadOnly))
                return QStringLiteral("%1 cannot be read: %2").arg(path, existing.errorString());
            const QByteArray first = existing.readLine().trimmed();
            if (first != QByteArray::fromStdString(header))
                return QStringLiteral("%1 holds something else than the CSV layout of record; "
                                      "choose another file")
                    .arg(path);
            needHeader = false;
            // A file whose last line was cut off (by another program) gets its line ended, so
            // the first new record starts a line of its own.
            existing.seek(existing.size() - 1);
            char last = '\n';
            existing.getChar(&last);
            needLineEnd = last != '\n';
        }
    }
    file_.setFileName(path);
    if (!file_.open(QIODevice::WriteOnly | QIODevice::Append | QIODevice::Unbuffered))
        return QStringLiteral("%1 cannot be opened for writing: %2").arg(path, file_.errorString());
    if (needLineEnd) {
        if (file_.write("\n", 1) != 1)
            return QStringLiteral("writing to %1 failed: %2").arg(path, file_.errorString());
    }
    if (needHeader)
        return writeLine(header);
    return {};
}

QString CsvRecorder::writeLine(const std::string& text) {
    std::string line = text;
    line += '\n';
    const qint64 n = file_.write(line.data(), static_cast<qint64>(line.size()));
    if (n != static_cast<qint64>(line.size()) || !file_.flush())
        return QStringLiteral("writing to %1 failed: %2")
            .arg(file_.fileName(), file_.errorString());
    return {};
}

} // namespace hq::cli
