// The process on Windows: stop requests and the waits they end, the clock,
// scheduling, the program's own path and the environment.
#include "platform.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <climits>
#include <cstdio>
#include <cwchar>
#include <memory>

#include "ascii.h"
#include "win32/kernel.h"

namespace qg::platform {

HANDLE termination_event = nullptr;

namespace {

BOOL WINAPI on_console_event(DWORD type) {
    switch (type) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT: ::SetEvent(termination_event); return TRUE;
        case CTRL_CLOSE_EVENT:
            // Windows ends the process when this handler returns: give the
            // cycle a moment to remove its files first.
            ::SetEvent(termination_event);
            ::Sleep(4000);
            return TRUE;
        default: return FALSE;
    }
}

struct EnvironmentBlockFree {
    void operator()(wchar_t* block) const { ::FreeEnvironmentStringsW(block); }
};

}  // namespace

void prepare_process() {
    // Bytes written reach the web server untranslated and at once.
    ::_setmode(::_fileno(stdout), _O_BINARY);
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    // No message boxes in a server process: a failure is answered with the
    // error page, never with a dialog that waits for a user.
    ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
    // A request to end (Ctrl+C, Ctrl+Break, the console closing) only marks
    // the run as ended; the cycle then removes its files and exits quietly.
    termination_event = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (termination_event != nullptr) ::SetConsoleCtrlHandler(on_console_event, TRUE);
}

bool termination_requested() {
    return termination_event != nullptr && ::WaitForSingleObject(termination_event, 0) == WAIT_OBJECT_0;
}

std::string program_path() {
    // The whole path, however long; the buffer grows until it fits.
    std::string path(MAX_PATH, '\0');
    for (;;) {
        const DWORD n = ::GetModuleFileNameA(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (n == 0) return {};
        if (n < path.size()) {
            path.resize(n);
            return path;
        }
        path.resize(path.size() * 2);
    }
}

std::vector<std::string> environment() {
    // The wide block, converted with the ANSI code page: the ANSI function
    // would give the OEM code page's bytes (an "e" with acute accent as 0x82,
    // not 0xE9), which is not the text the web server meant.
    std::vector<std::string> entries;
    const std::unique_ptr<wchar_t, EnvironmentBlockFree> block(::GetEnvironmentStringsW());
    for (const wchar_t* e = block.get(); e != nullptr && *e != L'\0';) {
        const std::size_t length = std::wcslen(e);
        // An entry that cannot be converted is left out, as the request
        // text leaves out any entry it cannot take.
        if (auto entry = to_ansi(e, length)) entries.push_back(std::move(*entry));
        e += length + 1;
    }
    return entries;
}

std::optional<std::string> environment_value(std::string_view name) {
    // Names ignore letter case in a Windows environment; the walk keeps the
    // same preference as elsewhere for an exact match.
    std::optional<std::string> other_case;
    for (const std::string& entry : environment()) {
        const auto eq = entry.find('=', 1);  // "=C:=C:\" entries start with '='
        if (eq == std::string::npos) continue;
        const std::string_view entry_name = std::string_view(entry).substr(0, eq);
        if (entry_name == name) return entry.substr(eq + 1);
        if (!other_case && ascii::equal_any_case(entry_name, name)) other_case = entry.substr(eq + 1);
    }
    return other_case;
}

std::uint32_t tick_ms() { return ::GetTickCount(); }

void sleep_ms(std::uint32_t ms) {
    // Ends early when the gateway is asked to end.
    if (termination_event == nullptr || ms == 0)
        ::Sleep(ms);
    else
        ::WaitForSingleObject(termination_event, ms);
}

void lower_priority() { ::SetThreadPriority(::GetCurrentThread(), THREAD_PRIORITY_BELOW_NORMAL); }

}  // namespace qg::platform
