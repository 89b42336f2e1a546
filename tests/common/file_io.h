// Whole-file reads and writes for test harnesses, and a file held open, on
// Linux and Windows. Nothing they open is inherited by a child process
// (close-on-exec, or a handle not marked inheritable): the tests start
// processes while other threads have files open, and a descriptor inherited
// by a child process would, for example, keep another gateway from taking
// its output file.
#pragma once

#include <fcntl.h>

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#else
#include <unistd.h>
#endif

#include <cerrno>
#include <string>
#include <utility>

namespace quillgate::testing {

#ifdef _WIN32

// The file's bytes; empty when it cannot be read. Others may write, replace
// or delete the file meanwhile.
inline std::string read_file(const std::string& path) {
    std::string content;
    const HANDLE h = ::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                   nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return content;
    char buffer[16384];
    DWORD n = 0;
    while (::ReadFile(h, buffer, sizeof buffer, &n, nullptr) && n > 0) content.append(buffer, n);
    ::CloseHandle(h);
    return content;
}

// Creates or empties the file (O_TRUNC), creates only a new one (O_EXCL) or
// appends (O_APPEND), and writes `content`; false on any failure.
inline bool write_file(const std::string& path, const std::string& content, int flags = O_TRUNC) {
    const DWORD disposition = (flags & O_EXCL) != 0 ? CREATE_NEW : (flags & O_APPEND) != 0 ? OPEN_ALWAYS : CREATE_ALWAYS;
    const HANDLE h = ::CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                   nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
    if (h == INVALID_HANDLE_VALUE) return false;
    LARGE_INTEGER zero{};
    DWORD written = 0;
    const bool ok = ((flags & O_APPEND) == 0 || ::SetFilePointerEx(h, zero, nullptr, FILE_END)) &&
                    (content.empty() ||
                     (::WriteFile(h, content.data(), static_cast<DWORD>(content.size()), &written, nullptr) &&
                      written == content.size()));
    return ::CloseHandle(h) && ok;
}

#else

// The file's bytes; empty when it cannot be read.
inline std::string read_file(const std::string& path) {
    std::string content;
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return content;
    char buffer[16384];
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        content.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(fd);
    return content;
}

// Creates or empties the file and writes `content`; false on any failure.
inline bool write_file(const std::string& path, const std::string& content, int flags = O_TRUNC) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | flags, 0644);
    if (fd < 0) return false;
    std::size_t done = 0;
    while (done < content.size()) {
        const ssize_t n = ::write(fd, content.data() + done, content.size() - done);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
    return ::close(fd) == 0 && done == content.size();
}

#endif

// A file held open until destroyed, as an application still writing its
// answer (or a scanner reading it) holds it.
class OpenFile {
public:
    // Opens an existing file for reading; check valid().
    explicit OpenFile(const std::string& path) {
#ifdef _WIN32
        handle_ = ::CreateFileA(path.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
#else
        fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
#endif
    }

    // Opens `path` for writing, emptied (created when `create`), and writes
    // `content`; check valid().
    OpenFile(const std::string& path, const std::string& content, bool create = true) {
#ifdef _WIN32
        // Other processes may read, replace or delete it meanwhile, as with
        // any file a program opens through the C runtime.
        handle_ = ::CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, create ? CREATE_ALWAYS : TRUNCATE_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
        DWORD written = 0;
        if (valid() && !content.empty() &&
            (!::WriteFile(handle_, content.data(), static_cast<DWORD>(content.size()), &written, nullptr) ||
             written != content.size()))
            close();
#else
        fd_ = ::open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC | (create ? O_CREAT : 0), 0644);
        if (valid() && !content.empty() &&
            ::write(fd_, content.data(), content.size()) != static_cast<ssize_t>(content.size()))
            close();
#endif
    }
    OpenFile(OpenFile&& other) noexcept { *this = std::move(other); }
    OpenFile& operator=(OpenFile&& other) noexcept {
        if (this != &other) {
            close();
#ifdef _WIN32
            handle_ = std::exchange(other.handle_, INVALID_HANDLE_VALUE);
#else
            fd_ = std::exchange(other.fd_, -1);
#endif
        }
        return *this;
    }
    OpenFile(const OpenFile&) = delete;
    OpenFile& operator=(const OpenFile&) = delete;
    ~OpenFile() { close(); }

#ifdef _WIN32
    bool valid() const { return handle_ != INVALID_HANDLE_VALUE; }
    void close() {
        if (valid()) ::CloseHandle(std::exchange(handle_, INVALID_HANDLE_VALUE));
    }

private:
    HANDLE handle_ = INVALID_HANDLE_VALUE;
#else
    bool valid() const { return fd_ >= 0; }
    void close() {
        if (valid()) ::close(std::exchange(fd_, -1));
    }

private:
    int fd_ = -1;
#endif
};

}  // namespace quillgate::testing
