// A file that is only ever written at its end: each write goes straight to the operating system
// (a process killed afterwards loses nothing of it), sync() forces it to the disk, and a torn
// tail can be cut off. Qt-free; one implementation per platform (append_file_posix.cpp,
// append_file_windows.cpp), chosen in CMake.
//
// Threads: one object is used by one thread at a time.
#pragma once

#include "core/expected.h"

#include <cstddef>
#include <cstdint>
#include <string>

namespace hq::platform {

class AppendFile {
public:
    AppendFile() = default;
    ~AppendFile();
    AppendFile(AppendFile&& other) noexcept;
    AppendFile& operator=(AppendFile&& other) noexcept;
    AppendFile(const AppendFile&) = delete;
    AppendFile& operator=(const AppendFile&) = delete;

    // Opens the file (UTF-8 path) for writing at its end, creating it when missing.
    static Expected<AppendFile> open(const std::string& utf8Path);

    bool isOpen() const { return handle_ != kNoHandle; }
    // The file's length: where the next write lands.
    std::uint64_t size() const { return size_; }
    // Writes all bytes at the end of the file.
    Expected<void> append(const void* data, std::size_t size);
    // Forces what was written to the disk (fdatasync, FlushFileBuffers).
    Expected<void> sync();
    // Cuts the file to `size` bytes (at most its length); later writes land there.
    Expected<void> truncate(std::uint64_t size);
    void close();

private:
    static constexpr std::intptr_t kNoHandle = -1;
    std::intptr_t handle_ = kNoHandle; // file descriptor or HANDLE
    std::uint64_t size_ = 0;
    std::string path_;
};

} // namespace hq::platform
