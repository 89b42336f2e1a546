// Permwell.dll and permwell.exe on a real Windows (or Wine) file system and
// account database. What Wine shows of the file's DACL is its own mapping of
// the Unix mode bits; see docs/windows.md.
#include <windows.h>

#include <gtest/gtest.h>

#include <cstring>

#include "permwell.h"
#include "support.h"

namespace permwell::testing {
namespace {

// Every binary of the build lands in one folder.
std::string beside_this_program(const char* name) {
    char path[MAX_PATH];
    const DWORD length = GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string text(path, length);
    return text.substr(0, text.find_last_of('\\') + 1) + name;
}

bool is_access_line(const std::string& line) {
    const auto semicolon = line.rfind(';');
    if (semicolon == std::string::npos || semicolon == 0 || !line.ends_with("\r\n")) return false;
    const std::string number = line.substr(semicolon + 1, line.size() - semicolon - 3);
    return !number.empty() && number.find_first_not_of("-0123456789") == std::string::npos;
}

TEST(Win32Exports, ListingOfAFile) {
    const TempDir dir;
    const std::string file = dir.file("f.txt", 0644, "x");
    std::vector<char> buffer(PERMWELL_READ_BUFFER_SIZE);
    std::int32_t length = -1;
    ASSERT_EQ(ReadAccessRights(file.c_str(), buffer.data(), &length), 1);
    const std::string text(buffer.data());
    EXPECT_EQ(length, static_cast<std::int32_t>(text.size()));
    for (std::size_t start = 0; start < text.size();) {
        const std::size_t end = text.find("\r\n", start) + 2;
        EXPECT_TRUE(is_access_line(text.substr(start, end - start))) << text;
        start = end;
    }
    EXPECT_NE(text.find("NT AUTHORITY\\SYSTEM;"), std::string::npos) << text;
    EXPECT_NE(text.find("\r\nEveryone;"), std::string::npos) << text;

    char untouched[16] = "untouched";
    std::int32_t kept = 77;
    EXPECT_EQ(ReadAccessRights((dir.path() / "missing").string().c_str(), untouched, &kept), 0);
    EXPECT_STREQ(untouched, "untouched");
    EXPECT_EQ(kept, 77);
}

TEST(Win32Exports, Granting) {
    const TempDir dir;
    const std::string file = dir.file("f.txt", 0644, "x");
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(SetAccessRights(file.c_str(), "no-such-account-here", 0x120089), 0);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Error 1332:LookupAccountName\n");
    EXPECT_EQ(SetAccessRights(file.c_str(), "Users", 0x120089), 1);
    EXPECT_EQ(SetAccessRights((dir.path() / "missing").string().c_str(), "Users", 0x120089), 0);
}

// Wine answers "Administrators" for any user: 16 bytes of text.
TEST(Win32Exports, GroupsWithinTheCapacity) {
    const std::string user = current_user();
    ASSERT_FALSE(user.empty());
    struct Case {
        std::uint32_t capacity;
        int result;
        const char* text;
        std::uint32_t length;
    };
    for (const Case& c : {Case{64, 1, "Administrators\r\n", 16}, Case{17, 1, "Administrators\r\n", 16},
                          Case{16, 0, "", 16}}) {
        char buffer[64] = "untouched";
        std::uint32_t length = c.capacity;
        EXPECT_EQ(GetUserGroups(user.c_str(), buffer, &length), c.result) << c.capacity;
        EXPECT_STREQ(buffer, c.text) << c.capacity;
        EXPECT_EQ(length, c.length) << c.capacity;
    }
    // A name of 128 UTF-16 units does not fit the conversion buffer.
    char buffer[64] = "untouched";
    std::uint32_t length = sizeof buffer;
    EXPECT_EQ(GetUserGroups(std::string(128, 'u').c_str(), buffer, &length), 0);
    EXPECT_STREQ(buffer, "untouched");
    EXPECT_EQ(length, sizeof buffer);
}

// A host built with MSVC finds the copy assignment under MSVC's name; the
// x64 calling convention is the same, so calling it through that name works.
TEST(Win32Exports, CopyAssignmentUnderItsMsvcName) {
    const HMODULE dll = GetModuleHandleA("Permwell.dll");
    ASSERT_NE(dll, nullptr);
    using Assign = CPermwell* (*)(CPermwell*, const CPermwell*);
    const auto assign =
        reinterpret_cast<Assign>(reinterpret_cast<void*>(GetProcAddress(dll, "??4CPermwell@@QEAAAEAV0@AEBV0@@Z")));
    ASSERT_NE(assign, nullptr);
    CPermwell target, source;
    EXPECT_EQ(assign(&target, &source), &target);
    EXPECT_EQ(reinterpret_cast<void*>(GetProcAddress(dll, MAKEINTRESOURCEA(2))), reinterpret_cast<void*>(assign));
    EXPECT_EQ(DllMain(nullptr, DLL_THREAD_ATTACH, nullptr), 1);
}

struct HostCase {
    const char* name;
    std::vector<std::string> args;  // FILE stands for a fresh file, USER for the current user
    int exit_code;
    const char* out;  // exact standard output, or null when only the exit code is checked
};

class Win32HostTest : public ::testing::TestWithParam<HostCase> {};

TEST_P(Win32HostTest, Commands) {
    const TempDir dir;
    std::vector<std::string> argv = {beside_this_program("permwell.exe")};
    for (std::string arg : GetParam().args) {
        if (arg == "FILE") arg = dir.file("f.txt", 0644, "x");
        if (arg == "USER") arg = current_user();
        argv.push_back(arg);
    }
    const ProcessResult result = run(argv);
    EXPECT_EQ(result.exit_code, GetParam().exit_code) << result.err;
    if (GetParam().out != nullptr) {
        EXPECT_EQ(result.out, GetParam().out);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Commands, Win32HostTest,
    ::testing::Values(
        HostCase{"GrantUnknownAccount", {"grant", "FILE", "no-such-account-here", "r"}, 1,
                 "Error 1332:LookupAccountName\n"},
        HostCase{"GrantUsers", {"grant", "FILE", "Users", "rx"}, 0, ""},
        HostCase{"Groups", {"groups", "USER"}, 0, "Administrators\r\n"},
        HostCase{"LibraryNotFound", {"--library", "C:\\no\\Permwell.dll", "list", "FILE"}, 1, ""}),
    [](const auto& param) { return param.param.name; });

// The listing goes to standard output byte for byte: CR LF stays CR LF.
TEST(Win32Host, ListPrintsTheLibrarysText) {
    const TempDir dir;
    const std::string file = dir.file("f.txt", 0644, "x");
    std::vector<char> buffer(PERMWELL_READ_BUFFER_SIZE);
    std::int32_t length = 0;
    ASSERT_EQ(ReadAccessRights(file.c_str(), buffer.data(), &length), 1);
    const ProcessResult result = run({beside_this_program("permwell.exe"), "list", file});
    EXPECT_EQ(result.exit_code, 0) << result.err;
    EXPECT_EQ(result.out, std::string(buffer.data(), static_cast<std::size_t>(length)));
}

}  // namespace
}  // namespace permwell::testing
