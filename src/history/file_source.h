// A ByteSource over a file on disk, read piece by piece through a read-ahead buffer of 64 KiB,
// so that walking the block headers of a segment costs a few large reads, not one per block.
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
    static constexpr std::size_t kReadAhead = 64 * 1024;
    bool readDirect(std::uint64_t offset, std::size_t n, std::vector<std::uint8_t>& out);
    QFile file_;
    std::vector<std::uint8_t> buffer_;
    std::uint64_t bufferAt_ = 0;
};

} // namespace hq::history
