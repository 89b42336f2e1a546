// The fault guard, seen from outside: a child process faults inside the
// guarded cycle and still logs, answers with the page and exits with 0.
#include <gtest/gtest.h>

#include <ctime>
#include <string>
#include <vector>

#include "child_process.h"
#include "gateway_process.h"
#include "log_format.h"
#include "relay.h"
#include "file_io.h"
#include "scratch_dir.h"
#include "test_env.h"
#include "texts.h"

namespace qg {
namespace {

using quillgate::testing::read_file;
using quillgate::testing::TempDir;

TEST(FaultGuard, EveryFaultEndsWithLogPageAndStatusZero) {
    // The sanitizer runtime of the asan build must leave the guard's handlers
    // in place.
    test::set_env("ASAN_OPTIONS", "allow_user_segv_handler=1:handle_abort=0");
#ifdef _WIN32
    // A real division by zero: the mingw-w64 runtime turns it into SIGFPE
    // before any unhandled-exception filter sees it.
    const std::vector<std::string> modes = {"segv", "abort", "throw", "divide", "trap", "overflow"};
#else
    // Signals raised directly: the sanitizer build would report a real
    // division by zero itself and end the probe before the guard runs.
    const std::vector<std::string> modes = {"segv", "abort", "throw", "fpe", "bus", "ill", "trap"};
#endif
    for (const std::string& mode : modes) {
        TempDir dir;
        const std::string out = dir.file("out");
        test::Child probe(test::built_program(QG_FAULT_PROBE), test::ChildOptions{{mode, dir.path()}, {}, "", out});
        const auto exit = probe.wait();
        ASSERT_TRUE(exit.exited) << mode;
        EXPECT_EQ(exit.status, 0) << mode;
        EXPECT_EQ(read_file(out), "partial response" + error_page(text::title_exception, text::page_exception)) << mode;
        const std::string log = read_file(dir.file("zrCGIErr.txt"));
        EXPECT_EQ(test::log_messages(log), std::vector<std::string>{std::string(text::log_exception)}) << mode;
        EXPECT_TRUE(log.size() > 2 && log.substr(log.size() - 2) == "\r\n") << mode;
    }
}

#ifndef _WIN32
// A POSIX rule in TZ with no zone file of that name: the line written after a
// fault is in local time, as every other line is.
TEST(FaultGuard, LineAfterAFaultFollowsATzRule) {
    test::set_env("ASAN_OPTIONS", "allow_user_segv_handler=1:handle_abort=0");
    const auto stamp = [](std::time_t utc) {
        utc += 9 * 3600;  // JST-9: nine hours east
        std::tm parts{};
        ::gmtime_r(&utc, &parts);
        char text[32];
        std::strftime(text, sizeof text, "%d/%m/%Y %H:%M", &parts);
        return std::string(text);
    };
    TempDir dir;
    const std::string out = dir.file("out");
    const std::time_t before = std::time(nullptr);
    test::Child probe(test::built_program(QG_FAULT_PROBE),
                      test::ChildOptions{{"segv", dir.path()}, std::vector<std::string>{"TZ=JST-9"}, "", out});
    ASSERT_TRUE(probe.wait().exited);
    const std::time_t after = std::time(nullptr);
    const std::string line = read_file(dir.file("zrCGIErr.txt")).substr(0, 16);
    EXPECT_TRUE(line == stamp(before) || line == stamp(after)) << line << " is not " << stamp(before);
}

TEST(FaultGuard, ALaterGuardCatchesAndAnEndedOneLetsTheSignalThrough) {
    // An ended guard leaves its handlers in place (the gateway exits right
    // after), so they must hand a signal on to what was there before.
    test::set_env("ASAN_OPTIONS", "allow_user_segv_handler=1:handle_abort=0");
    for (const std::string mode : {"segv", "abort", "ill"}) {
        for (const bool guarded : {true, false}) {
            TempDir dir;
            const std::string out = dir.file("out");
            test::Child probe(test::built_program(QG_FAULT_PROBE),
                              test::ChildOptions{{(guarded ? "again-" : "after-") + mode, dir.path()}, {}, "", out});
            const auto exit = probe.wait();
            const std::string log = read_file(dir.file("zrCGIErr.txt"));
            if (guarded) {
                EXPECT_TRUE(exit.exited && exit.status == 0) << mode;
                EXPECT_EQ(read_file(out), "partial response" + error_page(text::title_exception, text::page_exception))
                    << mode;
                EXPECT_EQ(test::log_messages(log), std::vector<std::string>{std::string(text::log_exception)}) << mode;
            } else {
                // Ended by the signal, or by a sanitizer's own handler with its status.
                EXPECT_FALSE(exit.exited && exit.status == 0) << mode << ": the signal was swallowed";
                EXPECT_EQ(read_file(out), "partial response") << mode;
                EXPECT_EQ(log, "") << mode;
            }
        }
    }
}
#endif

}  // namespace
}  // namespace qg
