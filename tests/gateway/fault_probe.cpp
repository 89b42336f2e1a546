// Test-only program: runs the guarded cycle with work that fails in the way
// named by its first argument, with the error log in the directory given as
// the second. The gateway itself has no way to reach such work.
#include <csignal>
#include <cstdint>
#include <cstdlib>
#include <stdexcept>
#include <string>

#include "cycle.h"
#include "platform.h"

int main(int argc, char** argv) {
    if (argc < 3) return 2;
    const std::string mode = argv[1];
    const std::string work_dir = argv[2];
    qg::platform::prepare_process();
    qg::run_guarded(
        [&](qg::Run& run) {
            run.set_work_dir(work_dir);
            run.out()("partial response");
            if (mode == "segv") {
                // An unmapped address other than null, so the write reaches the
                // hardware even in builds that check null pointers first.
                volatile std::uintptr_t address = 16;
                *reinterpret_cast<volatile int*>(address) = 1;
            } else if (mode == "abort") {
                std::abort();
            } else if (mode == "throw") {
                throw std::runtime_error("failure");
            } else if (mode == "fpe") {
                std::raise(SIGFPE);
            } else if (mode == "bus") {
                std::raise(SIGBUS);
            } else if (mode == "ill") {
                std::raise(SIGILL);
            }
        },
        [](std::string_view bytes) { qg::platform::stdout_write(bytes); });
    return 0;
}
