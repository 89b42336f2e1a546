// Identifier texts, the Unix rights mapping and the UTF-8 conversions.
#include <gtest/gtest.h>

#include "sid.h"
#include "unix_mapping.h"
#include "utf.h"

namespace permwell {
namespace {

TEST(Sid, TextRoundTripsAndRejectsOtherForms) {
    for (const char* text : {"S-1-1-0", "S-1-22-1-4711", "S-1-22-2-0", "S-1-5-21-1-2-3-4294967295", "S-1-9"}) {
        const auto parsed = Sid::parse(text);
        ASSERT_TRUE(parsed) << text;
        EXPECT_EQ(parsed->text(), text);
    }
    for (const char* text : {"", "S-1", "S-1-", "S-2-1-0", "S-1-1-", "S-1-1--0", "S-1-1-x", "S-1-1-4294967296",
                             "Everyone", "S-1-1-0 "}) {
        EXPECT_FALSE(Sid::parse(text)) << text;
    }
    EXPECT_EQ(Sid::parse("S-1-22-1-5")->byteLength(), 16u);
}

TEST(UnixMapping, MasksToRights) {
    const std::pair<std::uint32_t, std::uint8_t> cases[] = {
        {0, 0},          {0x1, kPermRead},  {0x80000000, kPermRead}, {0x2, kPermWrite},
        {0x40000000, kPermWrite}, {0x20, kPermExecute}, {0x20000000, kPermExecute},
        {0x10000000, kPermRead | kPermWrite | kPermExecute},
        {0x1F01FF, kPermRead | kPermWrite | kPermExecute}, {0x120000, 0}};
    for (const auto& [mask, perms] : cases) {
        EXPECT_EQ(permsFromMask(mask), perms) << std::hex << mask;
    }
    EXPECT_EQ(maskFromPerms(kPermRead), 1179785u);
    EXPECT_EQ(maskFromPerms(kPermRead | kPermWrite | kPermExecute), 2032127u);
    EXPECT_EQ(maskFromPerms(0), 0u);
    for (std::uint8_t perms = 0; perms < 8; ++perms) {
        EXPECT_EQ(permsFromMask(maskFromPerms(perms)), perms);
    }
}

TEST(UnixMapping, IdentifiersToAccounts) {
    EXPECT_EQ(unixAccountOf(unixUserSid(7))->kind, UnixAccountKind::User);
    EXPECT_EQ(unixAccountOf(unixGroupSid(7))->id, 7u);
    EXPECT_EQ(unixAccountOf(Sid::everyone())->kind, UnixAccountKind::Everyone);
    for (const char* text : {"S-1-22-3-7", "S-1-22-1", "S-1-5-32-544", "S-1-1-1"}) {
        EXPECT_FALSE(unixAccountOf(*Sid::parse(text))) << text;
    }
}

TEST(Utf, ConversionsAndCuts) {
    EXPECT_EQ(utf8ToUtf16("a\xC3\xA9\xF0\x9F\x98\x80"), std::u16string(u"a\u00E9\U0001F600"));
    for (const char* bad : {"\x80", "\xC3", "\xC0\x80", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xE2\x82"}) {
        EXPECT_FALSE(utf8ToUtf16(bad)) << bad;
    }
    EXPECT_EQ(utf8ToUtf16Lossy("a\xFF"), std::u16string(u"a\uFFFD"));
    EXPECT_EQ(utf16ToUtf8(u"\U0001F600\u00E9"), "\xF0\x9F\x98\x80\xC3\xA9");
    EXPECT_EQ(utf16ToUtf8(std::u16string(1, u'\xD800')), "\xEF\xBF\xBD");
    EXPECT_EQ(utf8PrefixLength("ab\xC3\xA9", 3), 2u);
    EXPECT_EQ(utf8PrefixLength("ab\xC3\xA9", 4), 4u);
    EXPECT_EQ(utf8PrefixLength("\xF0\x9F\x98\x80z", 3), 0u);
}

}  // namespace
}  // namespace permwell
