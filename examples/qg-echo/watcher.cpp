#include "watcher.h"

#include <dirent.h>
#include <fcntl.h>
#include <poll.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <memory>
#include <unordered_set>

#include "answer.h"
#include "log.h"
#include "request.h"

namespace qgecho {
namespace {

// With inotify the scan is only a safety net; without it, it is the only way
// to see requests, so it runs often.
constexpr std::chrono::milliseconds kScanWithInotify{1000};
constexpr std::chrono::milliseconds kScanWithoutInotify{100};

struct DirCloser {
    void operator()(DIR* dir) const { ::closedir(dir); }
};
using DirHandle = std::unique_ptr<DIR, DirCloser>;

void respond(const WorkDir& dir, const std::string& name, const FileId& id, const Request& request,
             const Behaviour& behaviour) {
    const std::string answer = render_answer(request, behaviour);
    std::string why;
    switch (dir.deliver(name, id, request.output_path, answer, &why)) {
        case Delivery::answered: log_line("answered " + name); break;
        case Delivery::abandoned: log_line("abandoned " + name + ": " + why); break;
        case Delivery::failed: log_line("failed " + name + ": " + why); break;
    }
}

}  // namespace

Watcher::Watcher(const WorkDir& dir, std::string prefix, Scheduler& scheduler)
    : dir_(dir), prefix_(std::move(prefix)), scheduler_(scheduler) {
    inotify_.reset(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    constexpr uint32_t kMask = IN_CLOSE_WRITE | IN_MOVED_TO | IN_DELETE | IN_MOVED_FROM | IN_DELETE_SELF |
                               IN_MOVE_SELF | IN_ONLYDIR;
    if (inotify_ && ::inotify_add_watch(inotify_.get(), dir_.path().c_str(), kMask) < 0) {
        inotify_.reset();
    }
    if (!inotify_) {
        log_line(std::string("inotify unavailable (") + std::strerror(errno) + "), scanning only");
    }
    scan_interval_ = inotify_ ? kScanWithInotify : kScanWithoutInotify;
}

void Watcher::consider(const std::string& name) {
    if (!is_request_name(name, prefix_)) {
        return;
    }
    FileId id;
    const auto text = dir_.read_request(name, &id);
    if (!text) {
        return;
    }
    if (const auto it = taken_.find(name); it != taken_.end() && it->second == id) {
        return;  // this very file was handed on before
    }
    if (!request_complete(*text)) {
        return;  // still empty or being written: its close event comes later
    }
    auto request = parse_request(*text);
    if (!request) {
        log_line("ignored " + name + ": not a request file");
        taken_[name] = id;
        return;
    }
    taken_[name] = id;
    const Behaviour behaviour = behaviour_for(*request);
    scheduler_.submit(Scheduler::Clock::now() + behaviour.delay,
                      [&dir = dir_, name, id, request = std::move(*request), behaviour] {
                          respond(dir, name, id, request, behaviour);
                      });
}

bool Watcher::read_events() {
    alignas(inotify_event) char buffer[16 * 1024];
    for (;;) {
        const ssize_t n = ::read(inotify_.get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return true;  // EAGAIN: drained
        for (ssize_t offset = 0; offset < n;) {
            inotify_event event;
            std::memcpy(&event, buffer + offset, sizeof event);
            const std::string name = event.len > 0 ? std::string(buffer + offset + sizeof event) : std::string();
            offset += static_cast<ssize_t>(sizeof event + event.len);

            if (event.mask & (IN_DELETE_SELF | IN_MOVE_SELF)) {
                log_line("work directory removed or moved: " + dir_.path());
                return false;
            }
            if (event.mask & IN_Q_OVERFLOW) {
                if (!scan()) return false;
            } else if (event.mask & (IN_DELETE | IN_MOVED_FROM)) {
                forget(name);
            } else if (event.mask & (IN_CLOSE_WRITE | IN_MOVED_TO)) {
                consider(name);
            }
        }
    }
}

bool Watcher::scan() {
    struct stat st {};
    if (::fstat(dir_.fd(), &st) != 0 || st.st_nlink == 0) {
        log_line("work directory removed: " + dir_.path());
        return false;
    }
    UniqueFd listing(::openat(dir_.fd(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    DirHandle handle(listing ? ::fdopendir(listing.get()) : nullptr);
    if (handle) {
        static_cast<void>(listing.release());  // closedir() closes it now
    } else {
        log_line("cannot list work directory " + dir_.path() + ": " + std::strerror(errno));
        return true;  // try again at the next scan
    }
    std::unordered_set<std::string> present;
    while (const dirent* entry = ::readdir(handle.get())) {
        std::string name = entry->d_name;
        consider(name);
        present.insert(std::move(name));
    }
    // Names the gateway has deleted may be used again for new requests.
    std::erase_if(taken_, [&present](const auto& item) { return !present.contains(item.first); });
    return true;
}

bool Watcher::run(int stop_fd) {
    if (!scan()) return false;
    auto next_scan = std::chrono::steady_clock::now() + scan_interval_;
    for (;;) {
        pollfd fds[2] = {{stop_fd, POLLIN, 0}, {inotify_.get(), POLLIN, 0}};
        const auto wait = std::chrono::duration_cast<std::chrono::milliseconds>(next_scan - std::chrono::steady_clock::now());
        const int ready = ::poll(fds, inotify_ ? 2 : 1, static_cast<int>(std::max<long long>(0, wait.count())));
        if (ready < 0 && errno != EINTR) {
            log_line(std::string("poll failed: ") + std::strerror(errno));
            return false;
        }
        if (fds[0].revents != 0) {
            return true;
        }
        if (inotify_ && fds[1].revents != 0 && !read_events()) {
            return false;
        }
        if (std::chrono::steady_clock::now() >= next_scan) {
            if (!scan()) return false;
            next_scan = std::chrono::steady_clock::now() + scan_interval_;
        }
    }
}

}  // namespace qgecho
