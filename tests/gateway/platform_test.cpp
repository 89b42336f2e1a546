#include "platform.h"

#include <sys/stat.h>

#include <gtest/gtest.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "temp_dir.h"

namespace qg::platform {
namespace {

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
        test::TempDir dir;
        if (!c.on_disk.empty()) test::write_file(dir.file(c.on_disk), "");
        const auto found = find_file_any_case(dir.file(c.asked));
        ASSERT_EQ(found.has_value(), c.found) << c.on_disk;
        if (found) {
            EXPECT_EQ(*found, dir.file(c.on_disk));
            delete_file(*found);  // deleting removes the file that was found
            EXPECT_FALSE(file_exists(dir.file(c.on_disk)));
        } else {
            EXPECT_EQ(last_error(), ENOENT);  // the failed check's code, for the time-out entry
        }
    }
}

TEST(Platform, EnvironmentLookupPrefersExactName) {
    ::setenv("QG_TEST_VALUE", "exact", 1);
    ::setenv("qg_test_value", "lower", 1);
    ::setenv("QG_TEST_ONLY_UPPER", "upper", 1);
    EXPECT_EQ(environment_value("QG_TEST_VALUE"), "exact");
    EXPECT_EQ(environment_value("qg_test_value"), "lower");
    EXPECT_EQ(environment_value("qg_test_only_upper"), "upper");
    EXPECT_FALSE(environment_value("QG_TEST_NOT_SET"));
    bool seen = false;
    for (const auto& entry : environment()) seen = seen || entry == "QG_TEST_VALUE=exact";
    EXPECT_TRUE(seen);
    ::unsetenv("QG_TEST_VALUE");
    ::unsetenv("qg_test_value");
    ::unsetenv("QG_TEST_ONLY_UPPER");
}

TEST(Platform, ConcurrentLogLinesStayWholeAndComplete) {
    test::TempDir dir;
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

    std::istringstream in(test::read_file(log));
    std::string line;
    int count = 0;
    while (std::getline(in, line)) {
        ++count;
        ASSERT_EQ(line.size(), 301u);
        EXPECT_EQ(line.find_first_not_of(line[0]), 300u);
    }
    EXPECT_EQ(count, writers * lines_each);
}

TEST(Platform, WriteNewFileReplacesContent) {
    test::TempDir dir;
    const std::string path = dir.file("req.TMP");
    ASSERT_TRUE(write_new_file(path, {"longer ", "content"}));
    ASSERT_TRUE(write_new_file(path, {"short"}));
    EXPECT_EQ(test::read_file(path), "short");
    EXPECT_FALSE(write_new_file(dir.file("missing/req.TMP"), {"x"}));
}

TEST(Platform, NewFilesAreForOwnerAndGroupOnly) {
    test::TempDir dir;
    const mode_t old_mask = ::umask(022);
    const auto made = make_temp_name(dir.path(), "cgi");
    const bool written = write_new_file(dir.file("req.TMP"), {"x"});
    const bool profile = Profile(dir.file("qg.ini")).write_text("zrcgi", "Timeout", "50");
    ::umask(old_mask);
    ASSERT_TRUE(made && written && profile);
    for (const std::string& path : {*made, dir.file("req.TMP"), dir.file("qg.ini")}) {
        struct stat st {};
        ASSERT_EQ(::stat(path.c_str(), &st), 0) << path;
        EXPECT_EQ(st.st_mode & 0777, 0640u) << path;  // 0660 less the umask
    }
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
        test::TempDir dir;
        DirectoryWatch watch(dir.path());
        ASSERT_TRUE(watch.active());
        std::thread writer([&] {
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
            test::write_file(dir.file(c.created), "");
        });
        const std::uint32_t start = tick_ms();
        watch.wait(dir.file("qg_1A.ret"), c.pause_ms);
        const std::uint32_t waited = tick_ms() - start;
        writer.join();
        if (c.wakes_early) {
            EXPECT_LT(waited, c.pause_ms / 2) << c.created;  // loose: the file came after 20 ms
        } else {
            EXPECT_GE(waited, c.pause_ms) << c.created;
        }
    }
}

TEST(Platform, DirectoryWatchWithoutNotificationSleeps) {
    test::TempDir dir;
    DirectoryWatch watch(dir.file("missing/"));
    EXPECT_FALSE(watch.active());
    const std::uint32_t start = tick_ms();
    watch.wait(dir.file("missing/qg_1.ret"), 50);
    EXPECT_GE(tick_ms() - start, 50u);
}

TEST(Platform, TickCounterMovesForward) {
    const std::uint32_t start = tick_ms();
    sleep_ms(5);
    EXPECT_GE(static_cast<std::uint32_t>(tick_ms() - start), 5u);
}

}  // namespace
}  // namespace qg::platform
