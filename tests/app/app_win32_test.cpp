// The Windows platform file's path handling in a double-byte code page.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include <chrono>
#include <ctime>
#include <filesystem>
#include <fstream>
#include <thread>

#include "platform.h"
#include "scratch_dir.h"
#include "win32_path.h"

namespace {

TEST(AppWin32, SeparatorsAreFoundByCharacterNotByByte) {
    constexpr UINT shift_jis = 932;
    struct Case {
        std::string path;
        bool separator;
    };
    const std::vector<Case> cases = {
        {"C:\\w\\", true},
        {"C:\\w", false},
        {"C:\\\x95\x5C", false},       // the folder U+8868: its trail byte is 0x5C
        {"C:\\\x95\x5C\\", true},
        {"C:\\\x95\x5C\x95\x5C", false},
        {"C:/w/", true},
        {"", false},
    };
    for (const auto& c : cases)
        EXPECT_EQ(qga::platform::win32::ends_with_separator(c.path, shift_jis), c.separator) << c.path;
    // In a single-byte code page 0x5C is always a backslash.
    EXPECT_TRUE(qga::platform::win32::ends_with_separator("C:\\\x95\x5C", 1252));
}

TEST(AppWin32, FileTimesCountFrom1970) {
    // The claim stamp holds a request's modification second: an instance on
    // Linux sharing the directory counts it from 1970, and so must this one.
    quillgate::testing::ScratchDir root("qga-win32-time");
    std::string error;
    auto dir = qga::platform::open_directory(root.path().string(), &error);
    ASSERT_TRUE(dir) << error;
    ASSERT_EQ(dir->create_new("qg_1.TMP", "x", nullptr, &error), qga::platform::CreateStatus::created) << error;
    qga::platform::FileText file;
    ASSERT_EQ(dir->read("qg_1.TMP", 100, &file, &error), qga::platform::ReadStatus::ok) << error;
    const auto now = static_cast<std::int64_t>(std::time(nullptr));
    EXPECT_LT(std::abs(file.modified_s - now), 120) << file.modified_s;
    const auto touched = dir->touch("qg_1.TMP");
    ASSERT_TRUE(touched);
    EXPECT_LT(std::abs(*touched - now), 120) << *touched;
    EXPECT_EQ(dir->modified("qg_1.TMP"), touched);
}

TEST(AppWin32, AFileHeldForAMomentIsWaitedFor) {
    // A scanner opens a fresh file without sharing for a moment: the output
    // is opened, and a file deleted, once it lets go (within 500 ms).
    quillgate::testing::ScratchDir root("qga-win32-busy");
    for (const char* name : {"cgi1A.TMP", "qg_1A.ret"}) std::ofstream(root.path() / name) << "";
    std::string error;
    auto dir = qga::platform::open_directory(root.path().string(), &error);
    ASSERT_TRUE(dir) << error;
    struct Case {
        const char* name;
        bool remove;
    };
    for (const Case c : {Case{"cgi1A.TMP", false}, Case{"qg_1A.ret", true}}) {
        HANDLE held = ::CreateFileA((root.path() / c.name).string().c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
        ASSERT_NE(held, INVALID_HANDLE_VALUE);
        std::thread scanner([held] {
            std::this_thread::sleep_for(std::chrono::milliseconds(200));
            ::CloseHandle(held);
        });
        if (c.remove) {
            EXPECT_TRUE(dir->remove(c.name)) << c.name;
        } else {
            std::unique_ptr<qga::platform::OutputFile> out;
            EXPECT_EQ(dir->open_output(c.name, &out, &error), qga::platform::OpenStatus::ok) << error;
        }
        scanner.join();
    }
}

}  // namespace
