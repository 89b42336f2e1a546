// The descriptor owner and the whole write that the POSIX platform files of
// every deliverable use.
#pragma once

#include <unistd.h>

#include <string_view>
#include <utility>

namespace quillgate::common {

// Owns a file descriptor: closes it exactly once.
class Fd {
public:
    Fd() = default;
    explicit Fd(int fd) : fd_(fd) {}
    Fd(Fd&& other) noexcept : fd_(std::exchange(other.fd_, -1)) {}
    Fd& operator=(Fd&& other) noexcept {
        if (this != &other) reset(std::exchange(other.fd_, -1));
        return *this;
    }
    Fd(const Fd&) = delete;
    Fd& operator=(const Fd&) = delete;
    ~Fd() { reset(); }

    int get() const { return fd_; }
    bool valid() const { return fd_ >= 0; }
    int release() { return std::exchange(fd_, -1); }
    // Closes the descriptor held and takes `fd` in its place.
    void reset(int fd = -1) {
        if (fd_ >= 0) ::close(fd_);
        fd_ = fd;
    }

private:
    int fd_ = -1;
};

// Writes everything, going on after interruptions and short writes.
bool write_all(int fd, std::string_view bytes);

}  // namespace quillgate::common
