#include "platform/append_file.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utility>

namespace hq::platform {

namespace {
Error systemError(const std::string& what, const std::string& path) {
    const int e = errno;
    return failure(what + " \"" + path + "\": " + std::strerror(e), std::uint32_t(e));
}
} // namespace

AppendFile::~AppendFile() {
    close();
}

AppendFile::AppendFile(AppendFile&& other) noexcept
    : handle_(std::exchange(other.handle_, kNoHandle)), size_(other.size_),
      path_(std::move(other.path_)) {}

AppendFile& AppendFile::operator=(AppendFile&& other) noexcept {
    if (this != &other) {
        close();
        handle_ = std::exchange(other.handle_, kNoHandle);
        size_ = other.size_;
        path_ = std::move(other.path_);
    }
    return *this;
}

Expected<AppendFile> AppendFile::open(const std::string& utf8Path) {
    const int fd = ::open(utf8Path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
    if (fd < 0)
        return systemError("Cannot open", utf8Path);
    struct stat st {};
    if (::fstat(fd, &st) != 0) {
        Error e = systemError("Cannot read the size of", utf8Path);
        ::close(fd);
        return e;
    }
    AppendFile f;
    f.handle_ = fd;
    f.size_ = std::uint64_t(st.st_size);
    f.path_ = utf8Path;
    return f;
}

Expected<void> AppendFile::append(const void* data, std::size_t size) {
    const auto* p = static_cast<const char*>(data);
    while (size > 0) {
        const ssize_t n = ::pwrite(int(handle_), p, size, off_t(size_));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return systemError("Cannot write", path_);
        }
        p += n;
        size -= std::size_t(n);
        size_ += std::uint64_t(n);
    }
    return {};
}

Expected<void> AppendFile::sync() {
#if defined(__linux__)
    const int r = ::fdatasync(int(handle_));
#else
    const int r = ::fsync(int(handle_));
#endif
    if (r != 0)
        return systemError("Cannot flush", path_);
    return {};
}

Expected<void> AppendFile::truncate(std::uint64_t size) {
    if (size > size_)
        size = size_;
    if (::ftruncate(int(handle_), off_t(size)) != 0)
        return systemError("Cannot shorten", path_);
    size_ = size;
    return {};
}

void AppendFile::close() {
    if (handle_ != kNoHandle)
        ::close(int(std::exchange(handle_, kNoHandle)));
}

} // namespace hq::platform
