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

Result<ExclusiveFile> ExclusiveFile::open(const std::string& path, const std::optional<FileId>& expected) {
    // Non-blocking, so a FIFO put in the output file's place cannot hang the
    // gateway in open; only a regular file is an answer that can be relayed.
    // A link at the name fails (ELOOP): the gateway reads with rights the
    // application's account may lack, and must not read for it.
    Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOFOLLOW));
    if (!fd.valid()) return error_of(errno);
    struct stat st {};
    if (::fstat(fd.get(), &st) != 0) return error_of(errno);
    if (!S_ISREG(st.st_mode)) return error_of(S_ISDIR(st.st_mode) ? EISDIR : EINVAL);
    // Another file was put in the place of the one made.
    if (expected && id_of(st) != *expected) return error_of(EPERM);
    if (::fcntl(fd.get(), F_SETFL, 0) != 0) return error_of(errno);
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
        if (errno == EAGAIN || errno == EBUSY) return error_of(errno);
        // Leases unsupported or not permitted here: read without the check.
    } else {
        ::fcntl(fd.get(), F_SETLEASE, F_UNLCK);
    }
    return ExclusiveFile(fd.release());
}

ExclusiveFile::~ExclusiveFile() {
    if (handle_ >= 0) Fd closing(fd_of(handle_));
}

Result<std::size_t> ExclusiveFile::read(char* buffer, std::size_t size) {
    for (;;) {
        const ssize_t n = ::read(fd_of(handle_), buffer, size);
        if (n >= 0) return static_cast<std::size_t>(n);
        if (errno != EINTR) return error_of(errno);
    }
}

}  // namespace qg::platform
