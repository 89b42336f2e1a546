#include "platform.h"

#include <gtest/gtest.h>

#include <chrono>
#include <set>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ascii.h"
#include "file_io.h"
#include "scratch_dir.h"
#include "test_env.h"

namespace qg::platform {
namespace {

using quillgate::testing::read_file;
using quillgate::testing::TempDir;
using quillgate::testing::write_file;

TEST(Platform, FindsSignalFileInAnyCase) {
    struct Case {
        std::string on_disk;  // empty: no file
        std::string asked;
        bool found;
    };
    const std::vector<Case> cases = {
        {"qg_1A.ret", "qg_1A.ret", true},
        {"QG_1A.RET", "qg_1A.ret", true},
        {"qg_1a.Ret", "qg_1A.ret", true},
        {"qg_1A.ret2", "qg_1A.ret", false},
        {"", "qg_1A.ret", false},
    };
    for (const auto& c : cases) {
        TempDir dir;
        if (!c.on_disk.empty()) write_file(dir.file(c.on_disk), "");
        const auto found = find_file_any_case(dir.file(c.asked));
        ASSERT_EQ(found.has_value(), c.found) << c.on_disk;
        if (found) {
            EXPECT_EQ(*found, dir.file(c.on_disk));
            delete_file(*found);  // deleting removes the file that was found
            EXPECT_FALSE(file_exists(dir.file(c.on_disk)));
        } else {
            // The failed check's code, for the time-out entry.
            EXPECT_EQ(look_up(dir.file(c.asked)).kind, ErrorKind::not_found);
        }
    }
}

TEST(Platform, EnvironmentLookupIgnoresCaseAndPrefersExactName) {
    test::set_env("QG_TEST_ONLY_UPPER", "upper");
    EXPECT_EQ(environment_value("qg_test_only_upper"), "upper");
    EXPECT_FALSE(environment_value("QG_TEST_NOT_SET"));
    bool seen = false;
    for (const auto& entry : environment()) seen = seen || entry == "QG_TEST_ONLY_UPPER=upper";
    EXPECT_TRUE(seen);
    test::unset_env("QG_TEST_ONLY_UPPER");
    EXPECT_FALSE(environment_value("QG_TEST_ONLY_UPPER"));

    // Only where names differing in case are distinct variables (not on
    // Windows) can both exist at once.
    test::set_env("QG_TEST_VALUE", "exact");
    test::set_env("qg_test_value", "lower");
    if (environment_value("QG_TEST_VALUE") == "exact") {
        EXPECT_EQ(environment_value("qg_test_value"), "lower");
    } else {
        EXPECT_EQ(environment_value("QG_TEST_VALUE"), "lower");  // one variable, set twice
    }
    test::unset_env("QG_TEST_VALUE");
    test::unset_env("qg_test_value");
}

TEST(Platform, ConcurrentLogLinesStayWholeAndComplete) {
    TempDir dir;
    const std::string log = dir.file("zrCGIErr.txt");
    constexpr int writers = 8;
    constexpr int lines_each = 50;
    std::vector<std::thread> threads;
    for (int w = 0; w < writers; ++w) {
        threads.emplace_back([&, w] {
            const std::string line = std::string(300, static_cast<char>('a' + w)) + "\r\n";
            for (int i = 0; i < lines_each; ++i) EXPECT_TRUE(append_log(log, line));
        });
    }
    for (auto& t : threads) t.join();

    std::istringstream in(read_file(log));
    std::string line;
    int count = 0;
    while (std::getline(in, line)) {
        ++count;
        ASSERT_EQ(line.size(), 301u);
        EXPECT_EQ(line.find_first_not_of(line[0]), 300u);
    }
    EXPECT_EQ(count, writers * lines_each);
}

TEST(Platform, RequestFileIsMadeWithItsContent) {
    TempDir dir;
    const auto made = make_request_file(dir.path(), "qg_", {"head ", "", "body"});
    ASSERT_TRUE(made);
    ASSERT_EQ(made->rfind(dir.path() + "qg_", 0), 0u) << *made;
    EXPECT_TRUE(ascii::equal_any_case(made->substr(made->size() - 4), ".TMP")) << *made;
    EXPECT_EQ(read_file(*made), "head body");
    const auto missing = make_request_file(dir.file("missing") + dir.path().back(), "qg_", {"x"});
    EXPECT_FALSE(missing);
    EXPECT_EQ(missing.error().kind, ErrorKind::not_found);
}

// Milliseconds since `start` by the test's own clock. Windows counts ticks
// and timeouts in steps of up to 16 ms, so a pause can end up to one step
// before its nominal length: lower bounds allow one step.
constexpr std::uint32_t timer_step_ms = 16;
std::uint32_t ms_since(std::chrono::steady_clock::time_point start) {
    return static_cast<std::uint32_t>(
        std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start).count());
}

TEST(Platform, DirectoryWatchWakesOnlyForItsFile) {
    struct Case {
        std::string created;  // made by another thread while the watch waits
        std::uint32_t pause_ms;
        bool wakes_early;
    };
    const std::vector<Case> cases = {
        {"QG_1A.RET", 20000, true},   // the signal file, in another letter case
        {"qg_1A.ret", 20000, true},
        {"qg_2B.ret", 400, false},    // another request's file: sleeps on
    };
    for (const auto& c : cases) {
        TempDir dir;
        DirectoryWatch watch(dir.path());
        ASSERT_TRUE(watch.active());
        std::thread writer([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            write_file(dir.file(c.created), "");
        });
        const auto start = std::chrono::steady_clock::now();
        watch.wait(dir.file("qg_1A.ret"), c.pause_ms);
        const std::uint32_t waited = ms_since(start);
        writer.join();
        if (c.wakes_early) {
            EXPECT_LT(waited, c.pause_ms / 2) << c.created;  // loose: the file came after 20 ms
        } else {
            EXPECT_GE(waited, c.pause_ms - timer_step_ms) << c.created;
        }
    }
}

TEST(Platform, DirectoryWatchWithoutNotificationSleeps) {
    TempDir dir;
    DirectoryWatch watch(dir.file("missing/"));
    EXPECT_FALSE(watch.active());
    const auto start = std::chrono::steady_clock::now();
    watch.wait(dir.file("missing/qg_1.ret"), 50);
    EXPECT_GE(ms_since(start), 50u - timer_step_ms);
}

TEST(Platform, TempNamesAreDistinctFilesInTheDirectory) {
    TempDir dir;
    std::set<std::string> names;
    for (int i = 0; i < 20; ++i) {
        const auto name = make_temp_name(dir.path(), "cgi");
        ASSERT_TRUE(name);
        // Windows makes lower-case hexadecimal under Wine, upper case on
        // Windows itself: the prefix and the extension are what is fixed.
        ASSERT_EQ(name->rfind(dir.path() + "cgi", 0), 0u) << *name;
        EXPECT_TRUE(name->size() - name->rfind('.') == 4 && read_file(*name).empty()) << *name;
        EXPECT_TRUE(file_exists(*name));
        names.insert(*name);
    }
    EXPECT_EQ(names.size(), 20u);
    const auto missing = make_temp_name(dir.file("missing") + dir.path().back(), "cgi");
    EXPECT_FALSE(missing);
    EXPECT_EQ(missing.error().kind, ErrorKind::not_found);
}

TEST(Platform, TickCounterMovesForward) {
    // Windows counts in steps of 10 to 16 ms: only a loose lower bound holds.
    const std::uint32_t start = tick_ms();
    sleep_ms(100);
    EXPECT_GE(static_cast<std::uint32_t>(tick_ms() - start), 50u);
}

}  // namespace
}  // namespace qg::platform
