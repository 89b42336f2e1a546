// The process on POSIX: stop requests and the waits they end, the clock,
// scheduling, the program's own path and the environment.
#include "platform.h"

#include <poll.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>

#include "ascii.h"
#include "posix/names.h"
#include "posix/process.h"

extern char** environ;

namespace qg::posix {

volatile sig_atomic_t termination = 0;

namespace {

void on_termination(int) { termination = 1; }

// The stop requests the gateway catches. They stay blocked except inside a
// wait (ppoll lets them through atomically), so one that arrives between a
// check of the flag and the blocking call is kept pending and ends that call
// at once instead of being noticed only when the call returns.
sigset_t caught_stops;
// The signal mask during a wait: the process's own mask without the stops.
sigset_t wait_mask;
bool stops_blocked = false;

}  // namespace

// Waits until `fd` is ready for `events`, or only for the time when `fd` is
// -1, at most `ms` milliseconds (nothing: no limit). Stop requests are let
// through for the wait only. Returns as poll does: -1 with EINTR when a
// signal ended the wait.
int wait_ready(int fd, short events, std::optional<std::uint32_t> ms, short* revents) {
    pollfd p{fd, events, 0};
    timespec limit{};
    if (ms) limit = {static_cast<time_t>(*ms / 1000), static_cast<long>(*ms % 1000) * 1000000L};
    const int ready =
        ::ppoll(fd >= 0 ? &p : nullptr, fd >= 0 ? 1 : 0, ms ? &limit : nullptr, stops_blocked ? &wait_mask : nullptr);
    if (revents != nullptr) *revents = p.revents;
    return ready;
}

}  // namespace qg::posix

namespace qg::platform {

using posix::caught_stops;
using posix::on_termination;
using posix::stops_blocked;
using posix::termination;
using posix::wait_mask;
using posix::wait_ready;

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
        if (sig != SIGTERM && ::sigaction(sig, nullptr, &inherited) == 0 && inherited.sa_handler == SIG_IGN) continue;
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
    return path;
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
    const std::uint32_t start = tick_ms();
    for (;;) {
        const std::uint32_t elapsed = tick_ms() - start;
        if (elapsed >= ms) break;
        const int ready = wait_ready(-1, 0, ms - elapsed);
        // A stop request ends the pause; another signal only interrupts it.
        if (ready == 0 || (ready < 0 && (errno != EINTR || termination != 0))) break;
    }
}

void lower_priority() {
    // On Linux the nice value belongs to each thread, and PRIO_PROCESS with
    // id 0 names the calling thread: two calls, no thread id needed.
    errno = 0;
    const int current = ::getpriority(PRIO_PROCESS, 0);
    if (errno == 0) ::setpriority(PRIO_PROCESS, 0, current + 2);
}

}  // namespace qg::platform
