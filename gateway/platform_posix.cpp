// POSIX implementation of the platform layer (Linux).
#include "platform.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <poll.h>
#include <sys/file.h>
#include <sys/inotify.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/uio.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <algorithm>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "ascii.h"
#include "posix/fd.h"
#include "posix/file_system.h"
#include "posix/names.h"
#include "posix/profile.h"
#include "posix/text_mode.h"

extern char** environ;

namespace qg::platform {
namespace {

using posix::Fd;

// Files the gateway creates are for the owner and the group of the work
// directory (less the umask); a default ACL on the directory still decides
// for named accounts. Requests carry cookies and form bodies.
constexpr mode_t file_mode = 0660;

// Set by the termination handler, read by the waits and the cycle.
volatile sig_atomic_t termination = 0;

void on_termination(int) { termination = 1; }

// The stop requests the gateway catches. They stay blocked except inside a
// wait (ppoll lets them through atomically), so one that arrives between a
// check of the flag and the blocking call is kept pending and ends that call
// at once instead of being noticed only when the call returns.
sigset_t caught_stops;
// The signal mask during a wait: the process's own mask without the stops.
sigset_t wait_mask;
bool stops_blocked = false;

// Waits until `fd` is ready for `events`, or only for the time when `fd` is
// -1, at most `ms` milliseconds (nothing: no limit). Stop requests are let
// through for the wait only. Returns as poll does: -1 with EINTR when a
// signal ended the wait.
int wait_ready(int fd, short events, std::optional<std::uint32_t> ms, short* revents = nullptr) {
    pollfd p{fd, events, 0};
    timespec limit{};
    if (ms) limit = {static_cast<time_t>(*ms / 1000), static_cast<long>(*ms % 1000) * 1000000L};
    const int ready =
        ::ppoll(fd >= 0 ? &p : nullptr, fd >= 0 ? 1 : 0, ms ? &limit : nullptr, stops_blocked ? &wait_mask : nullptr);
    if (revents != nullptr) *revents = p.revents;
    return ready;
}

// Writes everything, retrying after interruptions and short writes.
bool write_all(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = ::write(fd, bytes.data(), bytes.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

std::optional<std::string> read_whole_file(const std::string& path) {
    Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.valid()) return std::nullopt;
    std::string content;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return std::nullopt;
        if (n == 0) break;
        content.append(buffer, static_cast<std::size_t>(n));
    }
    return content;
}

FileId id_of(const struct stat& st) {
    return FileId{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino)};
}

// The descriptor an ExclusiveFile holds.
int fd_of(std::intptr_t handle) { return static_cast<int>(handle); }

// Owning wrapper for an open directory stream.
class Dir {
public:
    explicit Dir(const std::string& path) : dir_(::opendir(path.c_str())) {}
    Dir(const Dir&) = delete;
    Dir& operator=(const Dir&) = delete;
    ~Dir() {
        if (dir_ != nullptr) ::closedir(dir_);
    }
    DIR* get() const { return dir_; }

private:
    DIR* dir_;
};

}  // namespace

void prepare_process() {
    // A web server that drops the connection must not kill the gateway with
    // SIGPIPE: failed writes are ignored and the run ends normally. SIGIO is
    // what the kernel sends when another process opens the output file while
    // the gateway holds its lease (only for the moment of the check).
    ::signal(SIGPIPE, SIG_IGN);
    ::signal(SIGIO, SIG_IGN);

    // The web server ends a CGI program with SIGTERM when the browser goes
    // away or its own time-out passes. The handler only sets a flag; a wait
    // then returns at once, and the cycle removes its files and exits
    // normally. A hang-up or an interrupt that the server left ignored (a
    // server started under nohup) is not meant for the gateway and stays
    // ignored; SIGTERM is how every server ends its CGI programs, so it is
    // always caught.
    struct sigaction action {};
    action.sa_handler = on_termination;
    ::sigemptyset(&action.sa_mask);
    action.sa_flags = 0;
    ::sigemptyset(&caught_stops);
    for (const int sig : {SIGTERM, SIGHUP, SIGINT}) {
        struct sigaction inherited {};
        if (sig != SIGTERM && ::sigaction(sig, nullptr, &inherited) == 0 && inherited.sa_handler == SIG_IGN)
            continue;
        ::sigaction(sig, &action, nullptr);
        ::sigaddset(&caught_stops, sig);
    }
    // Blocked from here on except inside the waits (see wait_ready).
    if (::sigprocmask(SIG_BLOCK, &caught_stops, &wait_mask) == 0) {
        for (const int sig : {SIGTERM, SIGHUP, SIGINT})
            if (::sigismember(&caught_stops, sig) == 1) ::sigdelset(&wait_mask, sig);
        stops_blocked = true;
    }
}

bool termination_requested() {
    if (termination != 0) return true;
    if (!stops_blocked) return false;
    // A stop request that came outside a wait is still pending.
    sigset_t pending;
    if (::sigpending(&pending) != 0) return false;
    for (const int sig : {SIGTERM, SIGHUP, SIGINT})
        if (::sigismember(&caught_stops, sig) == 1 && ::sigismember(&pending, sig) == 1) termination = 1;
    return termination != 0;
}

namespace {

bool is_regular_file(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

// A path with its links resolved, as /proc/self/exe gives it, so the settings
// file lies beside the program itself; the path as given when that fails.
std::string resolved(const std::string& path) {
    char* real = ::realpath(path.c_str(), nullptr);
    if (real == nullptr) return path;
    std::string result(real);
    std::free(real);
    return result;
}

}  // namespace

std::string program_path() {
    const int saved = errno;
    std::string path(PATH_MAX, '\0');
    for (;;) {
        const ssize_t n = ::readlink("/proc/self/exe", path.data(), path.size());
        if (n < 0) {
            path.clear();
            break;
        }
        if (static_cast<std::size_t>(n) < path.size()) {
            path.resize(static_cast<std::size_t>(n));
            break;
        }
        path.resize(path.size() * 2);
    }
    if (!posix::proc_exe_usable(path, [](const std::string& p) { return ::access(p.c_str(), F_OK) == 0; })) {
        // No /proc (a chroot, a container), or the program was replaced while
        // this run started: the name the server started it by.
        std::string cwd(PATH_MAX, '\0');
        if (::getcwd(cwd.data(), cwd.size()) == nullptr) cwd.clear();
        cwd.resize(std::strlen(cwd.c_str()));
        const char* search = std::getenv("PATH");
        const auto script = environment_value("SCRIPT_FILENAME");
        path = posix::program_path_fallback(program_invocation_name != nullptr ? program_invocation_name : "", cwd,
                                            search != nullptr ? search : "/usr/local/bin:/bin:/usr/bin",
                                            script.value_or(""), is_regular_file);
        if (!path.empty()) path = resolved(path);
    }
    errno = saved;
    return path;
}

std::string settings_path() {
    const std::string program = program_path();
    return program.empty() ? std::string() : posix::settings_path_from(program);
}

Profile::Profile(std::string file) : file_(std::move(file)) {
    const int saved = errno;
    content_ = read_whole_file(file_);
    // A file that is there but cannot be read still counts as there.
    found_ = content_.has_value() || (errno != ENOENT && errno != ENOTDIR);
    errno = saved;  // a missing settings file is an ordinary case
}

bool Profile::found() const { return found_; }

std::string Profile::read_text(std::string_view section, std::string_view key, std::string_view fallback) const {
    if (!content_) return std::string(fallback);
    auto value = posix::profile_lookup(*content_, section, key);
    return value ? std::move(*value) : std::string(fallback);
}

std::int64_t Profile::read_int(std::string_view section, std::string_view key, std::int64_t fallback) const {
    if (!content_) return fallback;
    const auto value = posix::profile_lookup(*content_, section, key);
    return value ? posix::profile_parse_int(*value, fallback) : fallback;
}

bool Profile::write_text(std::string_view section, std::string_view key, std::string_view value) {
    const std::string& file = file_;
    // Read, edit, write a new file beside the old one, then rename it over:
    // a crash leaves either the old or the new file, never half of one.
    const auto old = read_whole_file(file);
    if (!old && errno != ENOENT) return false;
    const std::string content = posix::profile_assign(old.value_or(""), section, key, value);

    mode_t mode = file_mode;
    struct stat st {};
    if (::stat(file.c_str(), &st) == 0) {
        mode = st.st_mode & 07777;
    } else {
        const mode_t mask = ::umask(0);
        ::umask(mask);
        mode &= ~mask;
    }

    std::string temp = file + ".XXXXXX";
    Fd fd(::mkstemp(temp.data()));
    if (!fd.valid()) return false;
    const bool written = ::fchmod(fd.get(), mode) == 0 && write_all(fd.get(), content) &&
                         ::fsync(fd.get()) == 0;
    fd.reset();
    if (!written || ::rename(temp.c_str(), file.c_str()) != 0) {
        const int error = errno;
        ::unlink(temp.c_str());
        errno = error;
        return false;
    }
    content_ = content;
    return true;
}

std::string temp_dir() { return posix::temp_dir_from(std::getenv("TMPDIR")); }

bool is_path_separator(char c) { return c == '/'; }

std::size_t file_name_start(std::string_view path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string_view::npos ? 0 : slash + 1;
}

bool ends_with_separator(std::string_view path) { return !path.empty() && path.back() == '/'; }

// Linux file names keep letter case: the name made is the name to use.
std::string request_path_case(std::string path) { return path; }

namespace {

// Where a search for a free number starts: a value that differs between
// processes and over time, so concurrent gateways rarely collide on their
// first try.
std::uint16_t search_start() {
    const auto seed = tick_ms() ^ (static_cast<std::uint32_t>(::getpid()) * 2654435761u);
    return static_cast<std::uint16_t>(seed % 0xFFFF + 1);
}

}  // namespace

std::optional<std::string> make_temp_name(const std::string& dir, std::string_view prefix, FileId* made) {
    return posix::unique_temp_name(dir, prefix, search_start(), [made](const std::string& path) {
        Fd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, file_mode));
        if (!fd.valid()) return errno;
        // Taken from the descriptor that created the file, so nothing put at
        // the name afterwards can pass for it.
        struct stat st {};
        if (made != nullptr && ::fstat(fd.get(), &st) == 0) *made = id_of(st);
        return 0;
    });
}

std::vector<std::string> environment() {
    std::vector<std::string> entries;
    for (char** e = environ; e != nullptr && *e != nullptr; ++e) entries.emplace_back(*e);
    return entries;
}

std::optional<std::string> environment_value(std::string_view name) {
    std::optional<std::string> other_case;
    for (char** e = environ; e != nullptr && *e != nullptr; ++e) {
        const std::string_view entry(*e);
        const auto eq = entry.find('=');
        if (eq == std::string_view::npos) continue;
        const auto entry_name = entry.substr(0, eq);
        if (entry_name == name) return std::string(entry.substr(eq + 1));
        if (!other_case && ascii::equal_any_case(entry_name, name)) other_case = std::string(entry.substr(eq + 1));
    }
    return other_case;
}

namespace {

// Writes the pieces through `fd`: one writev for all of them; a short write
// (a full disk, a signal) goes on from where it stopped.
bool write_pieces(int fd, std::initializer_list<std::string_view> pieces) {
    std::vector<iovec> parts;
    for (const std::string_view piece : pieces)
        if (!piece.empty()) parts.push_back({const_cast<char*>(piece.data()), piece.size()});
    std::size_t first = 0;
    while (first < parts.size()) {
        const int count = static_cast<int>(std::min<std::size_t>(parts.size() - first, IOV_MAX));
        const ssize_t n = ::writev(fd, parts.data() + first, count);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        auto done = static_cast<std::size_t>(n);
        while (first < parts.size() && done >= parts[first].iov_len) done -= parts[first++].iov_len;
        if (first < parts.size()) {
            parts[first].iov_base = static_cast<char*>(parts[first].iov_base) + done;
            parts[first].iov_len -= done;
        }
    }
    return true;
}

}  // namespace

std::optional<std::string> make_request_file(const std::string& dir, std::string_view prefix,
                                             std::initializer_list<std::string_view> pieces) {
    const int saved = errno;
    const auto look_up = [](const std::string& name) {
        struct stat st {};
        if (::lstat(name.c_str(), &st) == 0) return posix::Lookup::present;
        return errno == ENOENT ? posix::Lookup::absent : posix::Lookup::unknown;
    };
    const auto search = [](const std::string& name) { return find_file_any_case(name).has_value(); };
    Fd made;
    auto path = posix::unique_request_name(dir, prefix, search_start(), look_up, search, [&](const std::string& candidate) {
        errno = saved;
        made = Fd(::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, file_mode));
        return made.valid() ? 0 : errno;
    });
    if (!path) return std::nullopt;
    if (!write_pieces(made.get(), pieces)) {
        const int error = errno;
        made.reset();
        ::unlink(path->c_str());
        errno = error;
        return std::nullopt;
    }
    return path;
}

ErrorKind delete_file(const std::string& path) {
    const int saved = errno;
    const ErrorKind result = ::unlink(path.c_str()) == 0 ? ErrorKind::none : error_kind(errno);
    errno = saved;  // a missing file is expected here and must not hide an earlier error
    return result;
}

bool file_exists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

std::optional<std::string> find_file_any_case(const std::string& path) {
    if (file_exists(path)) return path;
    const int not_found = errno;

    const auto slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? std::string(".") : path.substr(0, slash + 1);
    const std::string_view name = slash == std::string::npos ? std::string_view(path)
                                                              : std::string_view(path).substr(slash + 1);
    Dir d(dir);
    if (d.get() != nullptr) {
        while (const dirent* entry = ::readdir(d.get())) {
            if (ascii::equal_any_case(entry->d_name, name)) {
                return dir == "." && slash == std::string::npos ? std::string(entry->d_name)
                                                               : dir + entry->d_name;
            }
        }
    }
    errno = not_found;  // report the failed check, not the directory scan
    return std::nullopt;
}

std::optional<std::string> find_file_usual_case(const std::string& path) {
    const int saved = errno;
    for (std::string& spelling : posix::usual_spellings(path))
        if (file_exists(spelling)) {
            errno = saved;
            return std::move(spelling);
        }
    errno = saved;
    return std::nullopt;
}

DirectoryWatch::DirectoryWatch(const std::string& dir) : dir_(dir) {
#ifndef QG_NO_CHANGE_NOTIFICATION
    const int saved = errno;
    Fd fd(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC));
    if (fd.valid() && ::inotify_add_watch(fd.get(), dir.c_str(), IN_CREATE | IN_MOVED_TO | IN_ATTRIB) >= 0)
        handle_ = fd.release();
    errno = saved;  // without notification the gateway polls, silently
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
        const int saved = errno;
        struct stat st {};
        const bool known = ::stat(dir_.c_str(), &st) == 0;
        errno = saved;
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
    const int saved = errno;
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
    errno = saved;
    return news;
}

std::uint32_t tick_ms() {
    timespec ts{};
    ::clock_gettime(CLOCK_MONOTONIC, &ts);
    const auto ms = static_cast<std::uint64_t>(ts.tv_sec) * 1000u + static_cast<std::uint64_t>(ts.tv_nsec) / 1000000u;
    return static_cast<std::uint32_t>(ms);
}

void sleep_ms(std::uint32_t ms) {
    if (ms == 0) {
        ::sched_yield();
        return;
    }
    const int saved = errno;
    const std::uint32_t start = tick_ms();
    for (;;) {
        const std::uint32_t elapsed = tick_ms() - start;
        if (elapsed >= ms) break;
        const int ready = wait_ready(-1, 0, ms - elapsed);
        // A stop request ends the pause; another signal only interrupts it.
        if (ready == 0 || (ready < 0 && (errno != EINTR || termination != 0))) break;
    }
    errno = saved;
}

void lower_priority() {
    // On Linux the nice value belongs to each thread, and PRIO_PROCESS with
    // id 0 names the calling thread: two calls, no thread id needed.
    const int saved = errno;
    errno = 0;
    const int current = ::getpriority(PRIO_PROCESS, 0);
    if (errno == 0) ::setpriority(PRIO_PROCESS, 0, current + 2);
    errno = saved;
}

int last_error() { return errno; }

ErrorKind error_kind(int code) {
    switch (code) {
        case 0: return ErrorKind::none;
        case ENOENT:
        case ENOTDIR: return ErrorKind::not_found;
        case EEXIST: return ErrorKind::exists;
        case EAGAIN:  // a refused write lease: another descriptor is open
        case EBUSY: return ErrorKind::busy;
        case EACCES:
        case EPERM: return ErrorKind::denied;
        default: return ErrorKind::other;
    }
}

namespace {

// How a piece goes to standard output without ever blocking, so that a stop
// request always finds the gateway in a wait (poll) rather than in a write:
// a socket takes a non-blocking send; a pipe is written through a descriptor
// of its own, opened anew in non-blocking mode, so the flags of the
// description the web server shares stay untouched; a pipe that cannot be
// opened anew takes PIPE_BUF bytes once poll has said there is room for
// them; a file or a device takes everything.
enum class OutputKind { unknown, socket, pipe, own_pipe, file };
OutputKind output_kind = OutputKind::unknown;
int own_pipe_fd = -1;

void find_output_kind() {
    struct stat st {};
    if (::fstat(STDOUT_FILENO, &st) != 0) {
        output_kind = OutputKind::pipe;
    } else if (S_ISSOCK(st.st_mode)) {
        output_kind = OutputKind::socket;
    } else if (S_ISFIFO(st.st_mode)) {
        own_pipe_fd = ::open("/proc/self/fd/1", O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        output_kind = own_pipe_fd >= 0 ? OutputKind::own_pipe : OutputKind::pipe;
    } else {
        output_kind = S_ISREG(st.st_mode) ? OutputKind::file : OutputKind::pipe;
    }
}

// Whether a write could block, so the loop must wait for room first.
bool writes_may_block() { return output_kind == OutputKind::pipe; }

ssize_t write_stdout_piece(std::string_view bytes) {
    switch (output_kind) {
        case OutputKind::socket:
            return ::send(STDOUT_FILENO, bytes.data(), bytes.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
        case OutputKind::own_pipe: return ::write(own_pipe_fd, bytes.data(), bytes.size());
        case OutputKind::pipe:
            return ::write(STDOUT_FILENO, bytes.data(), std::min<std::size_t>(bytes.size(), PIPE_BUF));
        default: return ::write(STDOUT_FILENO, bytes.data(), bytes.size());
    }
}

}  // namespace

void stdout_write(std::string_view bytes) {
    const int saved = errno;
    if (output_kind == OutputKind::unknown) find_output_kind();
    // A web server that asked the gateway to end reads nothing more. A web
    // server that stops reading leaves the gateway in the wait for room,
    // where a stop request still reaches it. (The flag alone is read here:
    // the relay asks for pending stop requests once per piece already.)
    bool room = !writes_may_block();
    while (!bytes.empty() && termination == 0) {
        if (!room) {
            const int ready = wait_ready(STDOUT_FILENO, POLLOUT, std::nullopt);
            if (ready < 0 && errno != EINTR) break;
            if (ready <= 0) continue;
        }
        const ssize_t n = write_stdout_piece(bytes);
        if (n < 0 && errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) break;
        if (n > 0) bytes.remove_prefix(static_cast<std::size_t>(n));
        // A full pipe or socket: wait for room before the next try.
        room = !writes_may_block() && !(n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK));
    }
    errno = saved;
}

void stdout_close() {
    const int saved = errno;
    if (own_pipe_fd >= 0) ::close(std::exchange(own_pipe_fd, -1));
    ::close(STDOUT_FILENO);
    errno = saved;
}

namespace {

// One plain read of standard input. Each read waits in poll first, where a
// stop request ends it; one that came before is still pending and ends the
// wait at once.
std::size_t read_stdin(char* buffer, std::size_t size) {
    while (!termination_requested()) {
        if (wait_ready(STDIN_FILENO, POLLIN, std::nullopt) < 0 && errno == EINTR) continue;
        const ssize_t n = ::read(STDIN_FILENO, buffer, size);
        if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
        return n > 0 ? static_cast<std::size_t>(n) : 0;
    }
    return 0;
}

}  // namespace

TextReader text_mode_stdin() {
    // Plain read calls: nothing is buffered beyond what the reader holds.
    auto reader = std::make_shared<posix::TextModeReader>(read_stdin);
    return [reader](char* buffer, std::size_t size) { return reader->read(buffer, size); };
}

TextReader binary_stdin() { return read_stdin; }

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
    struct statfs fs {};
    const bool network = ::fstatfs(fd.get(), &fs) == 0 && posix::network_file_system(fs.f_type);
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

bool ExclusiveFile::rewind() { return ::lseek(fd_of(handle_), 0, SEEK_SET) == 0; }

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
