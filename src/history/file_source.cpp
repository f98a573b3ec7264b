#include "history/file_source.h"

namespace hq::history {

FileSource::FileSource(const QString& path) : file_(path) {
    file_.open(QIODevice::ReadOnly | QIODevice::Unbuffered);
}

std::uint64_t FileSource::size() const {
    return file_.isOpen() ? std::uint64_t(file_.size()) : 0;
}

bool FileSource::read(std::uint64_t offset, std::size_t n, std::vector<std::uint8_t>& out) {
    const auto inBuffer = [&] {
        return offset >= bufferAt_ && offset - bufferAt_ <= buffer_.size() &&
               (buffer_.size() - (offset - bufferAt_) >= n || bufferAt_ + buffer_.size() >= size());
    };
    if (n >= kReadAhead)
        return readDirect(offset, n, out);
    if (!inBuffer()) {
        if (!readDirect(offset, kReadAhead, buffer_)) {
            buffer_.clear();
            return false;
        }
        bufferAt_ = offset;
    }
    const std::size_t from = std::size_t(offset - bufferAt_);
    const std::size_t take = std::min(n, buffer_.size() - from);
    out.assign(buffer_.begin() + std::ptrdiff_t(from),
               buffer_.begin() + std::ptrdiff_t(from + take));
    return true;
}

bool FileSource::readDirect(std::uint64_t offset, std::size_t n, std::vector<std::uint8_t>& out) {
    out.clear();
    if (!file_.isOpen() || !file_.seek(qint64(offset)))
        return false;
    out.resize(n);
    std::size_t got = 0;
    while (got < n) {
        const qint64 r = file_.read(reinterpret_cast<char*>(out.data() + got), qint64(n - got));
        if (r < 0)
            return false;
        if (r == 0)
            break;
        got += std::size_t(r);
    }
    out.resize(got);
    return true;
}

} // namespace hq::history
