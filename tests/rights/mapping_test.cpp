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
    EXPECT_EQ(Sid::parse("S-1-22-1-5")->byte_length(), 16u);
}

TEST(UnixMapping, MasksToRights) {
    const std::pair<std::uint32_t, std::uint8_t> cases[] = {
        {0, 0},          {0x1, perm_read},  {0x80000000, perm_read}, {0x2, perm_write},
        {0x40000000, perm_write}, {0x20, perm_execute}, {0x20000000, perm_execute},
        {0x10000000, perm_read | perm_write | perm_execute},
        {0x1F01FF, perm_read | perm_write | perm_execute}, {0x120000, 0}};
    for (const auto& [mask, perms] : cases) {
        EXPECT_EQ(perms_from_mask(mask), perms) << std::hex << mask;
    }
    EXPECT_EQ(mask_from_perms(perm_read), 1179785u);
    EXPECT_EQ(mask_from_perms(perm_read | perm_write | perm_execute), 2032127u);
    EXPECT_EQ(mask_from_perms(0), 0u);
    for (std::uint8_t perms = 0; perms < 8; ++perms) {
        EXPECT_EQ(perms_from_mask(mask_from_perms(perms)), perms);
    }
}

TEST(UnixMapping, IdentifiersToAccounts) {
    EXPECT_EQ(unix_account_of(unix_user_sid(7))->kind, UnixAccountKind::user);
    EXPECT_EQ(unix_account_of(unix_group_sid(7))->id, 7u);
    EXPECT_EQ(unix_account_of(Sid::everyone())->kind, UnixAccountKind::everyone);
    for (const char* text : {"S-1-22-3-7", "S-1-22-1", "S-1-5-32-544", "S-1-1-1"}) {
        EXPECT_FALSE(unix_account_of(*Sid::parse(text))) << text;
    }
}

TEST(Utf, ConversionsAndCuts) {
    EXPECT_EQ(utf8_to_utf16("a\xC3\xA9\xF0\x9F\x98\x80"), std::u16string(u"a\u00E9\U0001F600"));
    for (const char* bad : {"\x80", "\xC3", "\xC0\x80", "\xED\xA0\x80", "\xF4\x90\x80\x80", "\xE2\x82"}) {
        EXPECT_FALSE(utf8_to_utf16(bad)) << bad;
    }
    EXPECT_EQ(utf8_to_utf16_lossy("a\xFF"), std::u16string(u"a\uFFFD"));
    EXPECT_EQ(utf16_to_utf8(u"\U0001F600\u00E9"), "\xF0\x9F\x98\x80\xC3\xA9");
    EXPECT_EQ(utf16_to_utf8(std::u16string(1, u'\xD800')), "\xEF\xBF\xBD");
    EXPECT_EQ(utf8_prefix_length("ab\xC3\xA9", 3), 2u);
    EXPECT_EQ(utf8_prefix_length("ab\xC3\xA9", 4), 4u);
    EXPECT_EQ(utf8_prefix_length("\xF0\x9F\x98\x80z", 3), 0u);
}

}  // namespace
}  // namespace permwell
