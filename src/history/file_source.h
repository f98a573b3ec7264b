// A ByteSource over a file on disk, read piece by piece.
#pragma once

#include "history/segment_scan.h"

#include <QFile>

namespace hq::history {

class FileSource : public ByteSource {
public:
    explicit FileSource(const QString& path);
    bool isOpen() const { return file_.isOpen(); }
    QString errorString() const { return file_.errorString(); }
    std::uint64_t size() const override;
    bool read(std::uint64_t offset, std::size_t n, std::vector<std::uint8_t>& out) override;

private:
    QFile file_;
};

} // namespace hq::history
