// The CSV file of record: opened for appending, the header written to a new or empty file, an
// existing file accepted only with the same header. Every line goes to the file in one write, so
// a crash or kill never leaves half a line behind.
#pragma once

#include <QFile>
#include <QString>

#include <string>

namespace hq::cli {

class CsvRecorder {
public:
    // Empty on success, else a one-line problem.
    QString open(const QString& path);
    // Appends text and a line end in one write. Empty on success.
    QString writeLine(const std::string& text);
    bool isOpen() const { return file_.isOpen(); }

private:
    QFile file_;
};

} // namespace hq::cli
