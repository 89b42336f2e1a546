// The fault guard on Windows: an unhandled-exception filter and the C
// runtime's signal handlers turn a fault inside the request cycle (an access
// violation, a division by zero, an illegal instruction, a stack overflow, an
// abort) into the log line, the error page and exit status 0.
//
// The filter runs on the thread that faulted, possibly with a corrupted heap,
// so what it writes is prepared in advance in fixed buffers, and it calls only
// kernel functions (no heap, no C runtime).
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <csignal>
#include <cstring>

#include "guard_text.h"
#include "platform.h"

namespace qg::platform {
namespace {

struct GuardState {
    char log_path[4096];
    char message[512];
    char page[8192];
    DWORD page_size;
    LPTOP_LEVEL_EXCEPTION_FILTER previous_filter;
    void (*previous_signal[4])(int);
    bool armed;
};

GuardState state{};

using guard_text::copy_text;

void write_bytes(HANDLE h, const char* data, DWORD size) {
    while (size > 0) {
        DWORD written = 0;
        if (!::WriteFile(h, data, size, &written, nullptr) || written == 0) return;
        data += written;
        size -= written;
    }
}

[[noreturn]] void answer_and_exit() {
    const DWORD code = ::GetLastError();
    SYSTEMTIME now{};
    ::GetLocalTime(&now);

    char line[guard_text::log_line_capacity];
    const std::size_t line_size = guard_text::format_log_line(line, now.wDay, now.wMonth, now.wYear, now.wHour,
                                                              now.wMinute, state.message, static_cast<long>(code));

    // The log as the gateway always opens it: read sharing only, waiting up
    // to about two seconds for another writer.
    for (int waited = 0; waited < 200; ++waited) {
        const HANDLE log = ::CreateFileA(state.log_path, GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                                         FILE_ATTRIBUTE_NORMAL, nullptr);
        if (log != INVALID_HANDLE_VALUE) {
            LARGE_INTEGER zero{};
            ::SetFilePointerEx(log, zero, nullptr, FILE_END);
            write_bytes(log, line, static_cast<DWORD>(line_size));
            ::CloseHandle(log);
            break;
        }
        const DWORD error = ::GetLastError();
        if (error != ERROR_SHARING_VIOLATION && error != ERROR_LOCK_VIOLATION) break;
        ::Sleep(10);
    }
    write_bytes(::GetStdHandle(STD_OUTPUT_HANDLE), state.page, state.page_size);
    // Straight out: no runtime clean-up that could fault again.
    ::TerminateProcess(::GetCurrentProcess(), 0);
    ::ExitProcess(0);
}

LONG WINAPI on_fault(EXCEPTION_POINTERS*) { answer_and_exit(); }

// The C runtime turns some faults into signals before any filter sees them
// (the mingw-w64 runtime does so for a division by zero), and abort() raises
// SIGABRT before it ends the process with status 3.
constexpr int guarded_signals[4] = {SIGABRT, SIGFPE, SIGILL, SIGSEGV};

void on_signal(int) { answer_and_exit(); }

}  // namespace

FaultGuard::FaultGuard(std::string_view log_path, std::string_view log_message, std::string_view page) {
    copy_text(state.log_path, sizeof state.log_path, log_path);
    copy_text(state.message, sizeof state.message, log_message);
    copy_text(state.page, sizeof state.page, page);
    state.page_size = static_cast<DWORD>(std::strlen(state.page));

    // Room on the stack for the filter even after a stack overflow.
    ULONG guarantee = 64 * 1024;
    ::SetThreadStackGuarantee(&guarantee);
    state.previous_filter = ::SetUnhandledExceptionFilter(on_fault);
    for (int i = 0; i < 4; ++i) state.previous_signal[i] = std::signal(guarded_signals[i], on_signal);
    state.armed = true;
}

FaultGuard::~FaultGuard() {
    if (!state.armed) return;
    ::SetUnhandledExceptionFilter(state.previous_filter);
    for (int i = 0; i < 4; ++i) std::signal(guarded_signals[i], state.previous_signal[i]);
    state.armed = false;
}

void FaultGuard::set_log_path(std::string_view log_path) {
    // The cycle is single-threaded and the filter runs on its thread, so the
    // path never changes under it.
    copy_text(state.log_path, sizeof state.log_path, log_path);
}

}  // namespace qg::platform
