// The error log on POSIX: one whole line per entry from many processes, and
// the local time its lines carry.
#include "platform.h"

#include <fcntl.h>
#include <sys/file.h>
#include <time.h>

#include <cerrno>

#include "posix/io.h"

namespace qg::platform {

using posix::Fd;
using posix::write_all;

bool append_log(const std::string& path, std::string_view line) {
    Fd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666));
    if (!fd.valid()) return false;
    // Wait up to about two seconds for another writer; then write anyway, since
    // one O_APPEND write of a short line still lands whole.
    for (int waited_ms = 0; waited_ms < 2000; waited_ms += 10) {
        if (::flock(fd.get(), LOCK_EX | LOCK_NB) == 0) break;
        if (errno != EWOULDBLOCK && errno != EINTR) break;
        sleep_ms(10);
    }
    return write_all(fd.get(), line);  // closing the descriptor releases the lock
}

LocalTime local_time() {
    const time_t now = ::time(nullptr);
    tm parts{};
    ::localtime_r(&now, &parts);
    return LocalTime{parts.tm_mday, parts.tm_mon + 1, parts.tm_year + 1900, parts.tm_hour, parts.tm_min};
}

}  // namespace qg::platform
