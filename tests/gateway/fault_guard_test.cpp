// The fault guard, seen from outside: a child process faults inside the
// guarded cycle and still logs, answers with the page and exits with 0.
#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <sys/wait.h>

#include "log_format.h"
#include "relay.h"
#include "temp_dir.h"
#include "texts.h"

namespace qg {
namespace {

TEST(FaultGuard, EveryFaultEndsWithLogPageAndStatusZero) {
    for (const std::string mode : {"segv", "abort", "throw", "fpe", "bus", "ill"}) {
        test::TempDir dir;
        const std::string out = dir.file("out");
        // The sanitizer runtime of the asan build must leave the guard's
        // handlers in place.
        const std::string command = "ASAN_OPTIONS=allow_user_segv_handler=1:handle_abort=0 " + std::string(QG_FAULT_PROBE) +
                                    " " + mode + " " + dir.path() + " >" + out + " 2>/dev/null";
        const int status = std::system(command.c_str());
        ASSERT_TRUE(WIFEXITED(status)) << mode;
        EXPECT_EQ(WEXITSTATUS(status), 0) << mode;
        EXPECT_EQ(test::read_file(out),
                  "partial response" + error_page(text::title_exception, text::page_exception))
            << mode;
        const std::string log = test::read_file(dir.file("zrCGIErr.txt"));
        EXPECT_EQ(test::log_messages(log), std::vector<std::string>{std::string(text::log_exception)}) << mode;
        EXPECT_TRUE(log.size() > 2 && log.substr(log.size() - 2) == "\r\n") << mode;
    }
}

}  // namespace
}  // namespace qg
