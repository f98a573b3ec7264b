#include "platform/append_file.h"

#include <windows.h>

#include <string>
#include <utility>

namespace hq::platform {

namespace {
HANDLE asHandle(std::intptr_t h) {
    return reinterpret_cast<HANDLE>(h);
}

Error systemError(const std::string& what, const std::string& path) {
    const DWORD e = GetLastError();
    return failure(what + " \"" + path + "\" (Windows error " + std::to_string(e) + ")",
                   std::uint32_t(e));
}

std::wstring widen(const std::string& utf8) {
    const int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), int(utf8.size()), nullptr, 0);
    std::wstring w(std::size_t(n), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), int(utf8.size()), w.data(), n);
    return w;
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
    // Readers (the history viewer, hq3746ctl) may open the file while it is written.
    const HANDLE h = CreateFileW(widen(utf8Path).c_str(), GENERIC_WRITE,
                                 FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                                 OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE)
        return systemError("Cannot open", utf8Path);
    LARGE_INTEGER size{};
    if (!GetFileSizeEx(h, &size)) {
        Error e = systemError("Cannot read the size of", utf8Path);
        CloseHandle(h);
        return e;
    }
    AppendFile f;
    f.handle_ = reinterpret_cast<std::intptr_t>(h);
    f.size_ = std::uint64_t(size.QuadPart);
    f.path_ = utf8Path;
    return f;
}

Expected<void> AppendFile::append(const void* data, std::size_t size) {
    const auto* p = static_cast<const char*>(data);
    while (size > 0) {
        OVERLAPPED at{};
        at.Offset = DWORD(size_ & 0xFFFFFFFFu);
        at.OffsetHigh = DWORD(size_ >> 32);
        const DWORD chunk = size > 0x40000000u ? 0x40000000u : DWORD(size);
        DWORD written = 0;
        if (!WriteFile(asHandle(handle_), p, chunk, &written, &at))
            return systemError("Cannot write", path_);
        p += written;
        size -= written;
        size_ += written;
    }
    return {};
}

Expected<void> AppendFile::sync() {
    if (!FlushFileBuffers(asHandle(handle_)))
        return systemError("Cannot flush", path_);
    return {};
}

Expected<void> AppendFile::truncate(std::uint64_t size) {
    if (size > size_)
        size = size_;
    LARGE_INTEGER to{};
    to.QuadPart = LONGLONG(size);
    if (!SetFilePointerEx(asHandle(handle_), to, nullptr, FILE_BEGIN) ||
        !SetEndOfFile(asHandle(handle_)))
        return systemError("Cannot shorten", path_);
    size_ = size;
    return {};
}

void AppendFile::close() {
    if (handle_ != kNoHandle)
        CloseHandle(asHandle(std::exchange(handle_, kNoHandle)));
}

} // namespace hq::platform
