// The output file opened for the relay on POSIX, only once no other process
// holds it (a write lease tells).
#include "platform.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <cerrno>

#include "posix/file_system.h"
#include "posix/io.h"

namespace qg::platform {
namespace {

using posix::Fd;
using posix::id_of;

// The descriptor an ExclusiveFile holds.
int fd_of(std::intptr_t handle) { return static_cast<int>(handle); }

}  // namespace

std::optional<ExclusiveFile> ExclusiveFile::open(const std::string& path, const std::optional<FileId>& expected) {
    // Non-blocking, so a FIFO put in the output file's place cannot hang the
    // gateway in open; only a regular file is an answer that can be relayed.
    // A link at the name fails (ELOOP): the gateway reads with rights the
    // application's account may lack, and must not read for it.
    Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW));
    if (!fd.valid()) return std::nullopt;
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) return std::nullopt;
    if (!S_ISREG(st.st_mode)) {
        errno = S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
        return std::nullopt;
    }
    if (expected && id_of(st) != *expected) {
        errno = EPERM;  // another file was put in the place of the one made
        return std::nullopt;
    }
    if (::fcntl(fd.get(), F_SETFL, 0) != 0) return std::nullopt;
    // A write lease is granted only while no other descriptor of the file is
    // open anywhere, so it tells whether the application still holds it.
    // Once that is known the lease goes at once: held through the relay, it
    // would make every other process that opens the file (a backup, the
    // application reading its answer again) wait for the kernel's lease-break
    // time whenever the client reads slowly. On a network file system the
    // lease is refused whatever this machine holds; there the application's
    // order (close, then signal) is relied on.
    // The kind of file system is asked once per device and thread: a
    // responder relays every answer from the same work directory.
    thread_local struct {
        dev_t device = 0;
        bool known = false;
        bool network = false;
    } last;
    if (!last.known || last.device != st.st_dev) {
        struct statfs fs {};
        if (::fstatfs(fd.get(), &fs) == 0) {
            last = {st.st_dev, true, posix::network_file_system(fs.f_type)};
        } else {
            last.known = false;
        }
    }
    const bool network = last.known && last.network;
    if (network) {
        // no lease check: see above
    } else if (::fcntl(fd.get(), F_SETLEASE, F_WRLCK) != 0) {
        if (errno == EAGAIN || errno == EBUSY) return std::nullopt;
        // Leases unsupported or not permitted here: read without the check.
    } else {
        const int saved = errno;
        ::fcntl(fd.get(), F_SETLEASE, F_UNLCK);
        errno = saved;
    }
    return ExclusiveFile(fd.release());
}

ExclusiveFile::~ExclusiveFile() {
    if (handle_ >= 0) {
        const int saved = errno;
        Fd closing(fd_of(handle_));
        errno = saved;
    }
}

long ExclusiveFile::read(char* buffer, std::size_t size) {
    for (;;) {
        const ssize_t n = ::read(fd_of(handle_), buffer, size);
        if (n < 0 && errno == EINTR) continue;
        return static_cast<long>(n);
    }
}

}  // namespace qg::platform
