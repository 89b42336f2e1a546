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

namespace {

// Recurses until the stack is exhausted; the volatile buffer keeps each frame.
int exhaust_stack(long depth) {
    if (depth > 1000000000L) return 0;  // never reached: the stack ends long before
    volatile char frame[4096];
    frame[0] = static_cast<char>(depth);
    return exhaust_stack(depth + 1) + frame[0];
}

// Fails in the way `mode` names; returns for an unknown mode.
void fail(const std::string& mode) {
    if (mode == "segv") {
        // An unmapped address other than null, so the write reaches the
        // hardware even in builds that check null pointers first.
        volatile std::uintptr_t address = 16;
        *reinterpret_cast<volatile int*>(address) = 1;
    } else if (mode == "abort") {
        std::abort();
    } else if (mode == "throw") {
        throw std::runtime_error("failure");
    } else if (mode == "divide") {
        // Both operands unknown, so a real division instruction faults.
        volatile int seven = 7;
        volatile int zero = 0;
        volatile int result = seven / zero;
        (void)result;
    } else if (mode == "trap") {
        __builtin_trap();
    } else if (mode == "overflow") {
        exhaust_stack(0);
    } else if (mode == "fpe") {
        std::raise(SIGFPE);
    } else if (mode == "bus") {
#ifdef SIGBUS
        std::raise(SIGBUS);
#endif
    } else if (mode == "ill") {
        std::raise(SIGILL);
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) return 2;
    std::string mode = argv[1];
    const std::string work_dir = argv[2];
    const auto out = [](std::string_view bytes) { qg::platform::stdout_write(bytes); };
    qg::platform::prepare_process();
    // "again-X": a guarded cycle that ends normally comes first.
    // "after-X": the failure comes after the guarded cycle has ended.
    const bool again = mode.starts_with("again-");
    const bool after = mode.starts_with("after-");
    if (again || after) mode = mode.substr(6);
    if (again) qg::run_guarded([](qg::Run&) {}, out);
    qg::run_guarded(
        [&](qg::Run& run) {
            run.set_work_dir(work_dir);
            run.out()("partial response");
            if (!after) fail(mode);
        },
        out);
    if (after) fail(mode);
    return 0;
}
