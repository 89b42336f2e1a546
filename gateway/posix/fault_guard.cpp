// The fault guard: turns a hardware fault or an abort inside the request cycle
// into a log line, the error page and exit status 0.
//
// A signal handler cannot take arguments, so what it writes is prepared in
// advance in the one piece of file-local state below, in fixed buffers, and
// the handler itself uses only async-signal-safe calls (open, read, flock,
// write, clock_gettime, nanosleep, close, _exit) and its own formatting.
//
// A run of the gateway arms the guard once and exits right after the cycle,
// so arming costs only the five handlers and the alternate stack: the time
// zone is read by the handler itself, at the moment of a fault, and disarming
// makes no system call. A disarmed handler that still catches a signal puts
// the earlier actions back and raises the signal again, so after the guard's
// end a fault is handled as it was before the guard.
#include <fcntl.h>
#include <signal.h>
#include <sys/file.h>
#include <time.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "guard_text.h"
#include "tz_rule.h"
#include "platform.h"
#include "posix/io.h"
#include "posix/zone_offset.h"

namespace qg::platform {
namespace {

constexpr int guarded_signals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT};
constexpr std::size_t signal_count = sizeof guarded_signals / sizeof guarded_signals[0];

struct GuardState {
    // Two buffers for the log path: a new path goes into the one the handler
    // does not read, then one atomic store switches to it.
    char log_paths[2][4096];
    std::atomic<int> log_path_in_use;
    char message[512];
    char page[8192];
    std::size_t page_size;
    // What was in place before the first guard; later guards find their own
    // handler there and keep these.
    struct sigaction previous[signal_count];
    stack_t previous_stack;
    std::atomic<bool> armed;
};

GuardState state{};
alignas(16) char alternate_stack[64 * 1024];
// The zone file, read only when a fault is logged.
unsigned char zone_buffer[32 * 1024];

static_assert(std::atomic<int>::is_always_lock_free && std::atomic<bool>::is_always_lock_free,
              "the handler reads these atomics");

using guard_text::copy_text;

void on_fault(int);

bool is_own_action(const struct sigaction& action) {
    return (action.sa_flags & SA_SIGINFO) == 0 && action.sa_handler == on_fault;
}

// Puts back what was in place before the guard and raises the signal again;
// it is blocked while the handler runs and arrives at its return.
void pass_on(int sig) {
    for (std::size_t i = 0; i < signal_count; ++i) ::sigaction(guarded_signals[i], &state.previous[i], nullptr);
    ::sigaltstack(&state.previous_stack, nullptr);
    ::raise(sig);
}

void on_fault(int sig) {
    const int code = errno;
    if (!state.armed.load()) {
        pass_on(sig);
        errno = code;
        return;
    }

    timespec now{};
    ::clock_gettime(CLOCK_REALTIME, &now);
    const long local =
        static_cast<long>(now.tv_sec) + posix::local_utc_offset(now.tv_sec, zone_buffer, sizeof zone_buffer);
    const long days = (local >= 0 ? local : local - 86399) / 86400;
    const long seconds = local - days * 86400;
    int year = 0, month = 0, day = 0;
    posix::civil_from_days(days, year, month, day);

    char line[guard_text::log_line_capacity];
    const std::size_t line_size = guard_text::format_log_line(line, day, month, year, static_cast<int>(seconds / 3600),
                                                              static_cast<int>(seconds / 60 % 60), state.message, code);

    {
        const char* log_path = state.log_paths[state.log_path_in_use.load()];
        posix::Fd log(::open(log_path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0666));
        if (log.valid()) {
            for (int waited = 0; waited < 200; ++waited) {
                if (::flock(log.get(), LOCK_EX | LOCK_NB) == 0) break;
                timespec pause{0, 10 * 1000 * 1000};
                ::nanosleep(&pause, nullptr);
            }
            [[maybe_unused]] const ssize_t n = ::write(log.get(), line, line_size);
        }
    }
    for (std::size_t done = 0; done < state.page_size;) {
        const ssize_t n = ::write(STDOUT_FILENO, state.page + done, state.page_size - done);
        if (n <= 0) break;
        done += static_cast<std::size_t>(n);
    }
    ::_exit(0);
}

}  // namespace

FaultGuard::FaultGuard(std::string_view log_path, std::string_view log_message, std::string_view page) {
    copy_text(state.log_paths[0], sizeof state.log_paths[0], log_path);
    state.log_path_in_use.store(0);
    copy_text(state.message, sizeof state.message, log_message);
    copy_text(state.page, sizeof state.page, page);
    state.page_size = std::strlen(state.page);

    // An own stack lets the handler run even when the fault is a stack overflow.
    stack_t stack{};
    stack.ss_sp = alternate_stack;
    stack.ss_size = sizeof alternate_stack;
    stack_t old_stack{};
    if (::sigaltstack(&stack, &old_stack) == 0 && old_stack.ss_sp != alternate_stack) state.previous_stack = old_stack;

    struct sigaction action {};
    action.sa_handler = on_fault;
    action.sa_flags = SA_ONSTACK;
    ::sigfillset(&action.sa_mask);
    for (std::size_t i = 0; i < signal_count; ++i) {
        struct sigaction old {};
        if (::sigaction(guarded_signals[i], &action, &old) == 0 && !is_own_action(old)) state.previous[i] = old;
    }
    state.armed.store(true);
}

// Nothing to undo here: the handlers stay, and pass a signal on (see above).
FaultGuard::~FaultGuard() { state.armed.store(false); }

void FaultGuard::set_log_path(std::string_view log_path) {
    // The handler may run at any point here: it keeps reading the old path
    // until the switch, which is one atomic store.
    const int next = 1 - state.log_path_in_use.load();
    copy_text(state.log_paths[next], sizeof state.log_paths[next], log_path);
    state.log_path_in_use.store(next);
}

}  // namespace qg::platform
