// The Windows platform layer's own rules: how request files are named, the
// busy rule for a signal file another process holds, the code page of the
// environment.
#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "busy.h"
#include "platform.h"
#include "file_io.h"
#include "scratch_dir.h"
#include "win32/path_text.h"
#include "win32/request_names.h"

namespace qg {
namespace {

using quillgate::testing::read_file;
using quillgate::testing::TempDir;
using quillgate::testing::write_file;

TEST(Win32RequestFile, NumbersInUseAreSkipped) {
    struct Case {
        std::string name;
        std::uint16_t first;
        std::vector<std::string> present;  // files already in the work directory
        std::string made;
        bool separator = true;  // whether the directory text ends with one
    };
    const std::vector<Case> cases = {
        {"free number", 0x1A, {}, "qg_1A.TMP"},
        {"signal files in any case, a request file", 0x1A,
         {"qg_1A.ret", "QG_1B.RET", "Qg_1c.Ret", "qg_1D.TMP"}, "qg_1E.TMP"},
        {"another prefix's signal file", 0x1A, {"ab_1A.ret", "qg_1A.txt"}, "qg_1A.TMP"},
        {"0 is skipped after 0xFFFF", 0xFFFF, {"qg_FFFF.ret"}, "qg_1.TMP"},
        {"directory without separator", 0x2B, {}, "qg_2B.TMP", false},
    };
    for (const auto& c : cases) {
        TempDir dir;
        for (const auto& name : c.present) write_file(dir.file(name), "old");
        std::string dir_text = dir.path();
        if (!c.separator) dir_text.pop_back();

        const auto made = win32::make_request_file_from(c.first, dir_text, "qg_request", {"head&", "", "body\r\n"});
        ASSERT_TRUE(made) << c.name << ": error " << made.error().code;
        EXPECT_EQ(*made, dir.file(c.made)) << c.name;
        EXPECT_EQ(read_file(*made), "head&body\r\n") << c.name;
        for (const auto& name : c.present) EXPECT_EQ(read_file(dir.file(name)), "old") << c.name;
    }
}

TEST(Win32RequestFile, ClockDrawnNamesAndFailure) {
    TempDir dir;
    const auto made = platform::make_request_file(dir.path(), "qg_", {"a=1"});
    ASSERT_TRUE(made);
    const std::string name = made->substr(dir.path().size());
    EXPECT_TRUE(std::regex_match(name, std::regex("qg_[1-9A-F][0-9A-F]{0,3}\\.TMP"))) << name;
    EXPECT_EQ(read_file(*made), "a=1");
    // The next search starts after the number made: a responder keeps many.
    const auto next = platform::make_request_file(dir.path(), "qg_", {"b=2"});
    ASSERT_TRUE(next);
    const auto number = [&](const std::string& path) {
        return std::stoul(path.substr(dir.path().size() + 3, path.size() - dir.path().size() - 7), nullptr, 16);
    };
    EXPECT_EQ(number(*next), number(*made) % 0xFFFF + 1) << *made << " " << *next;

    const auto missing = platform::make_request_file(dir.file("missing\\"), "qg_", {"a=1"});
    EXPECT_FALSE(missing);
    EXPECT_EQ(missing.error().kind, platform::ErrorKind::not_found);
}

// A file held open by another handle that does not share deleting, as an
// application that has not yet closed its signal file holds it.
class HeldFile {
public:
    HeldFile(const std::string& path, DWORD sharing)
        : h_(::CreateFileA(path.c_str(), GENERIC_READ, sharing, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL,
                           nullptr)) {}
    HeldFile(const HeldFile&) = delete;
    HeldFile& operator=(const HeldFile&) = delete;
    ~HeldFile() {
        if (valid()) ::CloseHandle(h_);
    }
    bool valid() const { return h_ != INVALID_HANDLE_VALUE; }

private:
    HANDLE h_;
};

TEST(Win32SignalFile, DeleteWaitsWhileHeldWithoutDeleteSharing) {
    struct Case {
        std::string name;
        DWORD sharing;
        bool released_soon;  // closed after 50 ms, well within the busy rule's wait
        bool deleted;
    };
    const std::vector<Case> cases = {
        {"held, delete shared", FILE_SHARE_READ | FILE_SHARE_DELETE, false, true},
        {"held, released after 50 ms", FILE_SHARE_READ, true, true},
        {"held for good", FILE_SHARE_READ, false, false},
    };
    for (const auto& c : cases) {
        TempDir dir;
        const std::string path = dir.file("qg_1A.ret");
        write_file(path, "");
        auto held = std::make_unique<HeldFile>(path, c.sharing);
        ASSERT_TRUE(held->valid()) << c.name;
        std::thread releaser;
        if (c.released_soon) {
            releaser = std::thread([&held] {
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
                held.reset();
            });
        }
        EXPECT_EQ(delete_when_free(path), c.deleted) << c.name;
        if (releaser.joinable()) releaser.join();
        held.reset();
        EXPECT_EQ(platform::file_exists(path), !c.deleted) << c.name;
    }
    // A file that is not there is gone already.
    TempDir dir;
    EXPECT_TRUE(delete_when_free(dir.file("qg_1B.ret")));
}

TEST(Win32Environment, ConvertedWithTheAnsiCodePage) {
    if (::GetACP() != 1252) GTEST_SKIP() << "the expected bytes are those of code page 1252, not " << ::GetACP();
    // "café" and an "e" with acute accent, which code page 437 (the OEM one)
    // would give as 0x82; a character 1252 lacks comes as "?".
    ASSERT_TRUE(::SetEnvironmentVariableW(L"QG_TEST_ACCENT", L"caf\u00e9 \u0101\u4e2d"));
    EXPECT_EQ(platform::environment_value("QG_TEST_ACCENT"), "caf\xe9 ??");
    ::SetEnvironmentVariableW(L"QG_TEST_ACCENT", nullptr);
}

}  // namespace
TEST(GatewayWin32, PathsAreWalkedByCharacter) {
    // The work directory U+8868 in code page 932 ends in the byte of a
    // backslash, which is not a separator there.
    constexpr UINT shift_jis = 932;
    struct Case {
        std::string_view path;
        std::size_t start;
    };
    const Case cases[] = {
        {"C:\\w\\qg_1.TMP", 5}, {"C:\\\x95\x5C", 3}, {"C:\\\x95\x5C\\", 6}, {"qg_1.TMP", 0}, {"", 0},
    };
    for (const auto& c : cases) EXPECT_EQ(qg::win32::file_name_start(c.path, shift_jis), c.start) << c.path;
    EXPECT_EQ(qg::win32::file_name_start("C:\\\x95\x5C", 1252), 5U);
}

}  // namespace qg
