// qg-echo for Windows: the same answers as on Linux, through the same
// application library. It stops on Ctrl+C, Ctrl+Break or when its console is
// closed.

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <quillgate/app.h>

#include <atomic>
#include <iostream>

#include "log.h"
#include "options.h"
#include "serve.h"

namespace {

// Shared with the console handler, which Windows runs on a thread of its own.
std::atomic<bool> stopping = false;
qga_dir* dir = nullptr;
HANDLE stopped_event = nullptr;

BOOL WINAPI on_console_event(DWORD type) {
    switch (type) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
            stopping = true;
            qga_interrupt(dir);
            return TRUE;
        case CTRL_CLOSE_EVENT:
            // Windows ends the process when this handler returns (at the
            // latest after 5 seconds): let answers in progress finish first,
            // for up to 4 seconds.
            stopping = true;
            qga_interrupt(dir);
            ::WaitForSingleObject(stopped_event, 4000);
            return TRUE;
        default: return FALSE;
    }
}

}  // namespace

int main(int argc, char** argv) {
    int exit_code = 0;
    const auto options = qgecho::parse_options(argc, argv, &exit_code);
    if (!options) return exit_code;

    if (qga_open(options->workdir.c_str(), options->prefix.c_str(), nullptr, &dir) != QGA_OK) {
        std::cerr << "qg-echo: " << qga_last_error() << "\n";
        return 1;
    }
    stopped_event = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (stopped_event == nullptr || !::SetConsoleCtrlHandler(on_console_event, TRUE)) {
        std::cerr << "qg-echo: cannot set up Ctrl+C handling\n";
        return 1;
    }
    const int status = qgecho::serve(dir, *options, stopping);
    qgecho::log_line("stopped");
    // Set only after the close: the console handler returns once it is set,
    // and Windows then ends the process, which must not happen halfway
    // through the library's clean-up.
    qga_close(dir);
    ::SetEvent(stopped_event);
    return status;
}
