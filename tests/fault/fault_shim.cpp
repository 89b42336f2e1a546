// A preload library for the fault-injection tests: it makes the N-th call of
// the file, inotify and memory functions that the gateway uses fail (writev
// counts as a write, mkstemp as an open), counting from the start of main,
// so a test can walk N over every call of one run.
//
// Settings, from the environment of the process:
//   QG_FAULT_AT      N: the call that fails (1 is the first); 0 or unset counts only
//   QG_FAULT_KINDS   which calls count: any of open,read,write,rename,unlink,
//                    inotify,malloc, comma-separated; unset means all
//   QG_FAULT_SHORT   1: the N-th read or write moves half the bytes (at least
//                    one) instead of failing
//   QG_FAULT_REPORT  a file of at least one page that receives a Report (below)
//   QG_FAULT_ANSWER  when set, the library answers the request itself, as the
//                    application would: once the request file is written and
//                    closed, this text goes into the output file and the
//                    signal file is made. Answering at that fixed point, and
//                    not from another process at some moment, keeps the calls
//                    of every run the same, so each N hits the same call.
//   QG_FAULT_REQUEST_COPY  with QG_FAULT_ANSWER: a file that receives a copy
//                    of the request text the application was given
//
// The report lives in a shared mapping of that file, so it is complete even
// when the process ends with _exit or a signal. Nothing here allocates or
// calls back into the functions it replaces: system calls go straight to the
// kernel and memory comes from the C library's own allocator entry points.
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdarg.h>
#include <stdlib.h>
#include <string.h>
#include <sys/mman.h>
#include <sys/syscall.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>

#include "fault_report.h"

extern "C" {
void* __libc_malloc(size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* block, size_t size);
void* __libc_memalign(size_t alignment, size_t size);
}

namespace {

using qg::fault::Kind;
using qg::fault::Report;

struct State {
    bool armed = false;    // true from the start of main
    unsigned kinds = ~0u;  // bit per Kind
    std::uint64_t fail_at = 0;
    bool short_transfer = false;
    Report* report = nullptr;
    Report local{};  // used when no report file is given
    // Answering (QG_FAULT_ANSWER): the request file's descriptor once its
    // first bytes are written, and the names taken from it.
    const char* answer = nullptr;
    const char* copy_path = nullptr;  // made when the request file is first written
    int copy_fd = -1;
    int request_fd = -1;
    bool request_failed = false;  // a write of the request failed: no answer
    bool answered = false;
    char request_path[512] = {};
    char output_path[512] = {};
    // Looked up before counting starts: the lookup itself may allocate.
    int (*real_mkstemp)(char*) = nullptr;
    int (*real_mkostemp)(char*, int) = nullptr;
};
State state;

// Reads a decimal number from the environment without allocating.
std::uint64_t env_number(const char* name) {
    const char* text = getenv(name);
    std::uint64_t value = 0;
    for (; text != nullptr && *text >= '0' && *text <= '9'; ++text)
        value = value * 10 + static_cast<unsigned>(*text - '0');
    return value;
}

unsigned env_kinds() {
    const char* text = getenv("QG_FAULT_KINDS");
    if (text == nullptr) return ~0u;
    unsigned kinds = 0;
    while (*text != '\0') {
        const char* end = strchr(text, ',');
        const std::size_t length = end != nullptr ? static_cast<std::size_t>(end - text) : strlen(text);
        for (unsigned k = 0; k < qg::fault::kind_count; ++k)
            if (strlen(qg::fault::kind_names[k]) == length && strncmp(text, qg::fault::kind_names[k], length) == 0)
                kinds |= 1u << k;
        text += length;
        if (*text == ',') ++text;
    }
    return kinds;
}

long raw_open(const char* path, int flags, mode_t mode = 0) {
    return syscall(SYS_openat, AT_FDCWD, path, flags | O_CLOEXEC, mode);
}

void raw_write_all(int fd, const char* bytes, std::size_t size) {
    while (size > 0) {
        const long n = syscall(SYS_write, fd, bytes, size);
        if (n <= 0) return;
        bytes += n;
        size -= static_cast<std::size_t>(n);
    }
}

// The path of an open descriptor.
void path_of(int fd, char (&target)[512]) {
    char link[32] = "/proc/self/fd/";
    char* end = link + strlen(link);
    char digits[12];
    int n = 0;
    for (unsigned v = static_cast<unsigned>(fd); n == 0 || v != 0; v /= 10) digits[n++] = static_cast<char>('0' + v % 10);
    while (n > 0) *end++ = digits[--n];
    *end = '\0';
    const long length = syscall(SYS_readlinkat, AT_FDCWD, link, target, sizeof target - 1);
    target[length > 0 ? length : 0] = '\0';
}

// Notes bytes that a write put into `fd`: the first write of the request text
// marks its file; every write to it goes into the copy.
void saw_written(int fd, const struct iovec* pieces, int count, long written) {
    if (state.answer == nullptr || state.answered || written <= 0) return;
    static constexpr char head[] = "&OUTPUT+FILE=";
    constexpr std::size_t head_size = sizeof head - 1;
    if (state.request_fd < 0 && count > 0 && pieces[0].iov_len > head_size &&
        memcmp(pieces[0].iov_base, head, head_size) == 0) {
        state.request_fd = fd;
        path_of(fd, state.request_path);
        const char* path = static_cast<const char*>(pieces[0].iov_base) + head_size;
        const std::size_t room = pieces[0].iov_len - head_size;
        std::size_t n = 0;
        while (n < room && n + 1 < sizeof state.output_path && path[n] != '&') ++n;
        memcpy(state.output_path, path, n);
        state.output_path[n] = '\0';
        if (state.copy_path != nullptr)
            state.copy_fd = static_cast<int>(raw_open(state.copy_path, O_WRONLY | O_CREAT | O_TRUNC, 0600));
    }
    if (fd != state.request_fd || state.copy_fd < 0) return;
    for (int i = 0; i < count && written > 0; ++i) {
        const std::size_t n = pieces[i].iov_len < static_cast<std::size_t>(written) ? pieces[i].iov_len
                                                                                    : static_cast<std::size_t>(written);
        raw_write_all(state.copy_fd, static_cast<const char*>(pieces[i].iov_base), n);
        written -= static_cast<long>(n);
    }
}

// The request file has been closed: write the answer, then make the signal
// file, the request file's name with ".ret" in place of its extension.
void answer_request() {
    state.answered = true;
    if (state.request_failed) return;
    const long out = raw_open(state.output_path, O_WRONLY | O_TRUNC);
    if (out < 0) return;
    raw_write_all(static_cast<int>(out), state.answer, strlen(state.answer));
    syscall(SYS_close, out);
    char signal[sizeof state.request_path + 4];
    memcpy(signal, state.request_path, sizeof state.request_path);
    char* dot = strrchr(signal, '.');
    if (dot == nullptr) return;
    memcpy(dot, ".ret", 5);
    const long made = raw_open(signal, O_WRONLY | O_CREAT | O_EXCL, 0600);
    if (made >= 0) syscall(SYS_close, made);
}

void arm() {
    state.real_mkstemp = reinterpret_cast<int (*)(char*)>(dlsym(RTLD_NEXT, "mkstemp"));
    state.real_mkostemp = reinterpret_cast<int (*)(char*, int)>(dlsym(RTLD_NEXT, "mkostemp"));
    state.kinds = env_kinds();
    state.fail_at = env_number("QG_FAULT_AT");
    state.short_transfer = env_number("QG_FAULT_SHORT") == 1;
    state.report = &state.local;
    if (const char* path = getenv("QG_FAULT_REPORT")) {
        const int fd = static_cast<int>(syscall(SYS_openat, AT_FDCWD, path, O_RDWR | O_CLOEXEC));
        if (fd >= 0) {
            void* page = mmap(nullptr, sizeof(Report), PROT_READ | PROT_WRITE, MAP_SHARED, fd, 0);
            syscall(SYS_close, fd);
            if (page != MAP_FAILED) state.report = static_cast<Report*>(page);
        }
    }
    *state.report = Report{};
    state.answer = getenv("QG_FAULT_ANSWER");
    state.copy_path = getenv("QG_FAULT_REQUEST_COPY");
    state.armed = true;
}

void copy_path(char (&target)[sizeof(Report::failed_path)], const char* path) {
    std::size_t i = 0;
    for (; path != nullptr && path[i] != '\0' && i + 1 < sizeof target; ++i) target[i] = path[i];
    target[i] = '\0';
}

// Counts one call of `kind`; true when this is the call that must fail. The
// report names the file: `path`, or the one open on `fd`.
bool strike(Kind kind, const char* path, int fd = -1) {
    if (!state.armed || (state.kinds & (1u << static_cast<unsigned>(kind))) == 0) return false;
    Report& r = *state.report;
    ++r.calls;
    if (r.calls != state.fail_at) return false;
    r.failed_kind = static_cast<int>(kind) + 1;
    r.failed_fd = fd;
    if (fd >= 0) {
        path_of(fd, r.failed_path);
    } else {
        copy_path(r.failed_path, path);
    }
    return true;
}

long fail(int error) {
    errno = error;
    return -1;
}

void* no_memory() {
    errno = ENOMEM;
    return nullptr;
}

using StartMain = int (*)(int (*)(int, char**, char**), int, char**, void (*)(), void (*)(), void (*)(), void*);
int (*real_main)(int, char**, char**) = nullptr;

int armed_main(int argc, char** argv, char** envp) {
    arm();
    return real_main(argc, argv, envp);
}

mode_t mode_argument(int flags, va_list args) {
    return (flags & O_CREAT) != 0 || (flags & O_TMPFILE) == O_TMPFILE ? static_cast<mode_t>(va_arg(args, int)) : 0;
}

}  // namespace

extern "C" {

// Counting starts with main, so the loader and the runtime's start-up are
// left alone.
int __libc_start_main(int (*main)(int, char**, char**), int argc, char** argv, void (*init)(), void (*fini)(),
                      void (*rtld_fini)(), void* stack_end) {
    real_main = main;
    const auto real = reinterpret_cast<StartMain>(dlsym(RTLD_NEXT, "__libc_start_main"));
    return real(armed_main, argc, argv, init, fini, rtld_fini, stack_end);
}

int openat(int dir, const char* path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    const mode_t mode = mode_argument(flags, args);
    va_end(args);
    if (strike(Kind::open, path)) return static_cast<int>(fail(EMFILE));
    return static_cast<int>(syscall(SYS_openat, dir, path, flags, mode));
}

int open(const char* path, int flags, ...) {
    va_list args;
    va_start(args, flags);
    const mode_t mode = mode_argument(flags, args);
    va_end(args);
    if (strike(Kind::open, path)) return static_cast<int>(fail(EMFILE));
    return static_cast<int>(syscall(SYS_openat, AT_FDCWD, path, flags, mode));
}

int open64(const char* path, int flags, ...) __attribute__((alias("open")));
int openat64(int dir, const char* path, int flags, ...) __attribute__((alias("openat")));

int creat(const char* path, mode_t mode) {
    if (strike(Kind::open, path)) return static_cast<int>(fail(EMFILE));
    return static_cast<int>(syscall(SYS_openat, AT_FDCWD, path, O_WRONLY | O_CREAT | O_TRUNC, mode));
}

int mkstemp(char* pattern) {
    if (strike(Kind::open, pattern)) return static_cast<int>(fail(EMFILE));
    return state.real_mkstemp(pattern);
}

int mkostemp(char* pattern, int flags) {
    if (strike(Kind::open, pattern)) return static_cast<int>(fail(EMFILE));
    return state.real_mkostemp(pattern, flags);
}

ssize_t read(int fd, void* buffer, size_t size) {
    if (strike(Kind::read, nullptr, fd)) {
        if (!state.short_transfer) return fail(EIO);
        if (size > 1) size /= 2;
    }
    return syscall(SYS_read, fd, buffer, size);
}

ssize_t write(int fd, const void* buffer, size_t size) {
    if (strike(Kind::write, nullptr, fd)) {
        if (!state.short_transfer) {
            state.request_failed = state.request_failed || fd == state.request_fd;
            return fail(EIO);
        }
        if (size > 1) size /= 2;
    }
    const long n = syscall(SYS_write, fd, buffer, size);
    const iovec piece{const_cast<void*>(buffer), size};
    saw_written(fd, &piece, 1, n);
    return n;
}

ssize_t writev(int fd, const struct iovec* pieces, int count) {
    long n = 0;
    if (strike(Kind::write, nullptr, fd)) {
        if (!state.short_transfer) {
            state.request_failed = state.request_failed || fd == state.request_fd;
            return fail(EIO);
        }
        // Half of the first piece that holds anything.
        int i = 0;
        while (i < count && pieces[i].iov_len == 0) ++i;
        if (i < count) {
            const iovec half{pieces[i].iov_base, pieces[i].iov_len > 1 ? pieces[i].iov_len / 2 : 1};
            n = syscall(SYS_writev, fd, &half, 1);
            saw_written(fd, &half, 1, n);
            return n;
        }
    }
    n = syscall(SYS_writev, fd, pieces, count);
    saw_written(fd, pieces, count, n);
    return n;
}

// Not counted: closing the request file is when the answer is given.
int close(int fd) {
    const int result = static_cast<int>(syscall(SYS_close, fd));
    if (fd == state.request_fd && state.answer != nullptr && !state.answered) answer_request();
    return result;
}

int rename(const char* from, const char* to) {
    if (strike(Kind::rename, from)) return static_cast<int>(fail(EIO));
    return static_cast<int>(syscall(SYS_renameat2, AT_FDCWD, from, AT_FDCWD, to, 0));
}

int renameat(int from_dir, const char* from, int to_dir, const char* to) {
    if (strike(Kind::rename, from)) return static_cast<int>(fail(EIO));
    return static_cast<int>(syscall(SYS_renameat2, from_dir, from, to_dir, to, 0));
}

int renameat2(int from_dir, const char* from, int to_dir, const char* to, unsigned flags) {
    if (strike(Kind::rename, from)) return static_cast<int>(fail(EIO));
    return static_cast<int>(syscall(SYS_renameat2, from_dir, from, to_dir, to, flags));
}

int unlink(const char* path) {
    if (strike(Kind::unlink, path)) return static_cast<int>(fail(EIO));
    return static_cast<int>(syscall(SYS_unlinkat, AT_FDCWD, path, 0));
}

int unlinkat(int dir, const char* path, int flags) {
    if (strike(Kind::unlink, path)) return static_cast<int>(fail(EIO));
    return static_cast<int>(syscall(SYS_unlinkat, dir, path, flags));
}

int inotify_init() {
    if (strike(Kind::inotify, nullptr)) return static_cast<int>(fail(EMFILE));
    return static_cast<int>(syscall(SYS_inotify_init1, 0));
}

int inotify_init1(int flags) {
    if (strike(Kind::inotify, nullptr)) return static_cast<int>(fail(EMFILE));
    return static_cast<int>(syscall(SYS_inotify_init1, flags));
}

int inotify_add_watch(int fd, const char* path, std::uint32_t mask) {
    if (strike(Kind::inotify, path)) return static_cast<int>(fail(ENOSPC));
    return static_cast<int>(syscall(SYS_inotify_add_watch, fd, path, mask));
}

int inotify_rm_watch(int fd, int watch) {
    if (strike(Kind::inotify, nullptr)) return static_cast<int>(fail(EINVAL));
    return static_cast<int>(syscall(SYS_inotify_rm_watch, fd, watch));
}

void* malloc(size_t size) {
    if (strike(Kind::malloc, nullptr)) return no_memory();
    return __libc_malloc(size);
}

void* calloc(size_t count, size_t size) {
    if (strike(Kind::malloc, nullptr)) return no_memory();
    return __libc_calloc(count, size);
}

void* realloc(void* block, size_t size) {
    if (strike(Kind::malloc, nullptr)) return no_memory();
    return __libc_realloc(block, size);
}

void* memalign(size_t alignment, size_t size) {
    if (strike(Kind::malloc, nullptr)) return no_memory();
    return __libc_memalign(alignment, size);
}

void* aligned_alloc(size_t alignment, size_t size) {
    if (strike(Kind::malloc, nullptr)) return no_memory();
    return __libc_memalign(alignment, size);
}

int posix_memalign(void** out, size_t alignment, size_t size) {
    if (strike(Kind::malloc, nullptr)) return ENOMEM;
    void* block = __libc_memalign(alignment, size);
    if (block == nullptr) return ENOMEM;
    *out = block;
    return 0;
}

}  // extern "C"
