// Whole-file reads and writes for test harnesses. Every descriptor is opened
// close-on-exec: the tests start processes while other threads have files
// open, and a descriptor inherited by a child process would, for example,
// keep another gateway from taking its output file.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <string>

namespace quillgate::testing {

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

}  // namespace quillgate::testing
