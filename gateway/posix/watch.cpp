// The directory watch on POSIX: inotify, and the plain poll without it.
#include "platform.h"

#include <poll.h>
#include <sys/inotify.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

#include "ascii.h"
#include "posix/io.h"
#include "posix/process.h"

namespace qg::platform {

using posix::Fd;
using posix::termination;
using posix::wait_ready;

DirectoryWatch::DirectoryWatch(const std::string& dir) : dir_(dir) {
#ifndef QG_NO_CHANGE_NOTIFICATION
    Fd fd(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    if (fd.valid() && ::inotify_add_watch(fd.get(), dir.c_str(), IN_CREATE | IN_MOVED_TO | IN_ATTRIB) >= 0)
        handle_ = fd.release();
#else
    (void)dir;  // benchmark builds measure the plain poll
#endif
}

DirectoryWatch::~DirectoryWatch() {
    if (handle_ >= 0) Fd closing(static_cast<int>(handle_));
}

bool DirectoryWatch::active() const { return handle_ >= 0; }

DirectoryWatch::News DirectoryWatch::wait(const std::string& path, std::uint32_t ms, std::string* named) {
    if (handle_ < 0) {
        // Polling: the directory's modification and change times tell
        // whether any name was added since it was last reported, so a quiet
        // directory is not searched again however many files it holds. A
        // time within the last second may be shared by a change yet to come
        // (the clock behind file times moves in ticks): it is never kept.
        sleep_ms(ms);
        struct stat st {};
        const bool known = ::stat(dir_.c_str(), &st) == 0;
        if (!known) return News::lost;
        const std::array<std::int64_t, 4> stamp = {
            static_cast<std::int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec,
            static_cast<std::int64_t>(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec,
            static_cast<std::int64_t>(st.st_size), static_cast<std::int64_t>(st.st_ino)};
        if (stamp_ && *stamp_ == stamp) return News::none;
        const bool recent = std::max(st.st_mtim.tv_sec, st.st_ctim.tv_sec) >= ::time(nullptr) - 1;
        if (recent)
            stamp_.reset();
        else
            stamp_ = stamp;
        return News::lost;
    }
    if (ms == 0) {
        sleep_ms(ms);
        return News::none;
    }
    const int fd = static_cast<int>(handle_);
    const std::size_t slash = path.rfind('/') + 1;
    const std::string_view name = std::string_view(path).substr(slash);
    const std::uint32_t start = tick_ms();
    News news = News::none;
    // Events of other requests' files wake the poll too; each wake costs the
    // poll and one read, and only our own name, a lost event or the end of
    // the pause ends the wait. The stop flag alone is read here: the poll
    // lets a stop request through, whose handler sets it.
    alignas(inotify_event) char events[4096];
    while (news == News::none && termination == 0) {
        const std::uint32_t elapsed = tick_ms() - start;
        if (elapsed >= ms) break;
        const std::uint32_t left = ms - elapsed;
        const int ready = wait_ready(fd, POLLIN, left);
        if (ready == 0) break;
        if (ready < 0) {
            if (errno == EINTR) continue;
            sleep_ms(left);  // the watch failed: fall back to the plain pause
            news = News::lost;
            break;
        }
        const ssize_t n = ::read(fd, events, sizeof events);
        if (n < 0 && (errno == EAGAIN || errno == EINTR)) continue;
        if (n <= 0) {
            news = News::lost;
            break;
        }
        for (std::size_t at = 0; at < static_cast<std::size_t>(n);) {
            const auto* event = reinterpret_cast<const inotify_event*>(events + at);
            at += sizeof(inotify_event) + event->len;
            if ((event->mask & IN_Q_OVERFLOW) != 0) {
                news = News::lost;
            } else if (event->len > 0 && ascii::equal_any_case(event->name, name)) {
                if (named != nullptr) *named = path.substr(0, slash) + event->name;
                news = News::named;
                break;
            }
        }
    }
    return news;
}

}  // namespace qg::platform
