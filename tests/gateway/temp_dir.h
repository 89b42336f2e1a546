// A unique temporary directory for one test, removed with everything in it,
// whole-file reads and writes, and a file held open. The file helpers open
// nothing that a child process started meanwhile could inherit: the process
// tests start gateways while their application thread works on files.
#pragma once

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

#include <filesystem>
#include <string>
#include <utility>

#include "file_io.h"
#include "scratch_dir.h"

namespace qg::test {

class TempDir {
public:
    // The directory's path, with the system's separator at its end so file
    // names can follow directly.
    std::string path() const { return (dir_.path() / "").string(); }
    std::string file(const std::string& name) const { return path() + name; }

private:
    quillgate::testing::ScratchDir dir_{"qg-test"};
};

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

using quillgate::testing::read_file;
using quillgate::testing::write_file;

}  // namespace qg::test
