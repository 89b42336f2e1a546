// The Windows platform file's path handling in a double-byte code page.

#include <gtest/gtest.h>

#include <string>
#include <vector>

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

}  // namespace
