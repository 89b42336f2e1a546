// The library's change watch on Linux: inotify for the work directory's
// changes and an eventfd for wake-ups; none on a network file system, where
// inotify misses other hosts' writes.
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/inotify.h>
#include <sys/vfs.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform.h"
#include "quillgate/common/posix_io.h"

namespace qga::platform {

using quillgate::common::Fd;
namespace {

class PosixWatch final : public Watch {
public:
    PosixWatch(int inotify, int wake) : inotify_(inotify), wake_(wake) {}

    bool reports_changes() const override { return inotify_.valid(); }

    void wait(std::chrono::milliseconds limit, std::vector<Change>* changes, bool* overflow) override {
        pollfd fds[2] = {{wake_.get(), POLLIN, 0}, {inotify_.get(), POLLIN, 0}};
        const auto ms = std::max<long long>(0, std::min<long long>(limit.count(), 60'000));
        if (::poll(fds, inotify_.valid() ? 2 : 1, static_cast<int>(ms)) > 0 && fds[0].revents != 0) {
            std::uint64_t count = 0;
            [[maybe_unused]] const ssize_t n = ::read(wake_.get(), &count, sizeof count);
        }
        drain(changes, overflow);
    }

    void drain(std::vector<Change>* changes, bool* overflow) override {
        if (!inotify_.valid()) return;
        alignas(inotify_event) char buffer[16 * 1024];
        for (;;) {
            const ssize_t n = ::read(inotify_.get(), buffer, sizeof buffer);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) return;  // EAGAIN: nothing more queued
            for (ssize_t offset = 0; offset < n;) {
                inotify_event event;
                std::memcpy(&event, buffer + offset, sizeof event);
                std::string name = event.len > 0 ? std::string(buffer + offset + sizeof event) : std::string();
                offset += static_cast<ssize_t>(sizeof event + event.len);
                if (event.mask & IN_Q_OVERFLOW) {
                    *overflow = true;
                } else if (event.mask & (IN_DELETE | IN_MOVED_FROM)) {
                    changes->push_back({Change::removed, std::move(name)});
                } else if (event.mask & (IN_CLOSE_WRITE | IN_MOVED_TO)) {
                    changes->push_back({Change::closed_after_write, std::move(name)});
                } else if (event.mask & IN_MODIFY) {
                    changes->push_back({Change::modified, std::move(name)});
                }
            }
        }
    }

    void wake() override {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t n = ::write(wake_.get(), &one, sizeof one);
    }

private:
    Fd inotify_;
    Fd wake_;
};

// inotify reports only what this host's kernel does to a file: on a network
// file system the gateway on another host would go unseen, and a watch that
// seems to work would slow every such request to the next listing.
bool is_network_file_system(const std::string& path) {
    struct statfs fs {};
    if (::statfs(path.c_str(), &fs) != 0) return false;
    constexpr long nfs = 0x6969, smb = 0x517B, cifs = static_cast<long>(0xFF534D42),
                   smb2 = static_cast<long>(0xFE534D42), fuse = 0x65735546;
    const long type = static_cast<long>(fs.f_type);
    return type == nfs || type == smb || type == cifs || type == smb2 || type == fuse;
}

}  // namespace

std::unique_ptr<Watch> watch_directory(Directory& dir) {
    Fd wake(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK));
    if (!wake.valid()) return nullptr;
    Fd inotify(is_network_file_system(dir.path()) ? -1 : ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    constexpr std::uint32_t mask = IN_CLOSE_WRITE | IN_MODIFY | IN_MOVED_TO | IN_DELETE | IN_MOVED_FROM | IN_ONLYDIR;
    if (inotify.valid() && ::inotify_add_watch(inotify.get(), dir.path().c_str(), mask) < 0) inotify.reset();
    return std::make_unique<PosixWatch>(inotify.release(), wake.release());
}

}  // namespace qga::platform
