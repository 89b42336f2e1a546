// Group listing with the platform double: capacities, statuses and names.
#include <gtest/gtest.h>

#include "fake_platform.h"
#include "user_groups.h"

namespace permwell::testing {
namespace {

struct GroupsCase {
    const char* name;
    LocalGroups groups;
    std::uint32_t capacity;
    int result;
    std::string text;     // buffer content afterwards
    std::uint32_t length;  // length afterwards
};

class GroupsTest : public ::testing::TestWithParam<GroupsCase> {};

TEST_P(GroupsTest, FillsTheBufferWithinItsCapacity) {
    FakePlatform platform;
    platform.groups = GetParam().groups;
    std::vector<char> buffer(64, 'X');
    buffer.back() = '\0';
    std::uint32_t length = GetParam().capacity;
    EXPECT_EQ(get_user_groups(platform, "alice", buffer.data(), &length), GetParam().result);
    EXPECT_EQ(std::string(buffer.data()), GetParam().text);
    EXPECT_EQ(length, GetParam().length);
}

const std::string untouched_text(63, 'X');
const LocalGroups users_only{nerr_success, {u"Users"}};
const LocalGroups three_groups{nerr_success, {u"Users", u"Staff", u"Ops"}};

INSTANTIATE_TEST_SUITE_P(
    Capacities, GroupsTest,
    ::testing::Values(
        GroupsCase{"UsersFitsInEight", users_only, 8, 1, "Users\r\n", 7},
        GroupsCase{"UsersRefusedInSeven", users_only, 7, 0, "", 7},
        GroupsCase{"SecondLineRefusedLengthIsWholeText", three_groups, 14, 0, "Users\r\n", 19},
        GroupsCase{"ExactFit", three_groups, 20, 1, "Users\r\nStaff\r\nOps\r\n", 19},
        GroupsCase{"ZeroCapacityWritesNothing", users_only, 0, 0, untouched_text, 7},
        GroupsCase{"NoGroups", {nerr_success, {}}, 64, 1, "", 0},
        GroupsCase{"OtherStatusWithoutEntries", {5, {}}, 64, 1, "", 0},
        GroupsCase{"OtherStatusWithEntries", {234, {u"Users"}}, 64, 1, "Users\r\n", 7},
        GroupsCase{"UserNotFound", {nerr_user_not_found, {u"Users"}}, 64, 0, untouched_text, 64},
        GroupsCase{"InvalidComputer", {nerr_invalid_computer, {}}, 64, 0, untouched_text, 64},
        GroupsCase{"NonAsciiName", {nerr_success, {u"Gr\u00FCn"}}, 64, 1, "Gr\xC3\xBCn\r\n", 7}),
    [](const auto& param) { return param.param.name; });

struct NameCase {
    std::string user;
    int result;
};

class UserNameTest : public ::testing::TestWithParam<NameCase> {};

TEST_P(UserNameTest, NamesBeyondTheWideBufferOrInvalidFail) {
    FakePlatform platform;
    platform.groups = users_only;
    char buffer[32] = "untouched";
    std::uint32_t length = sizeof buffer;
    EXPECT_EQ(get_user_groups(platform, GetParam().user.c_str(), buffer, &length), GetParam().result);
    if (GetParam().result == 0) {
        EXPECT_STREQ(buffer, "untouched");
        EXPECT_EQ(length, sizeof buffer);
    }
}

std::string repeat(const std::string& unit, std::size_t times) {
    std::string out;
    for (std::size_t i = 0; i < times; ++i) out += unit;
    return out;
}

INSTANTIATE_TEST_SUITE_P(
    Names, UserNameTest,
    ::testing::Values(NameCase{std::string(127, 'a'), 1}, NameCase{std::string(128, 'a'), 0},
                      NameCase{repeat("\xF0\x9F\x98\x80", 63) + "a", 1},  // 127 units
                      NameCase{repeat("\xF0\x9F\x98\x80", 64), 0},        // 128 units
                      NameCase{"bad\xC3", 0}, NameCase{"\xC0\xAF", 0}));

// Every group the service reports is listed, however many there are.
TEST(GroupsTest, ManyGroupsAreAllListed) {
    FakePlatform platform;
    std::string expected;
    for (int i = 0; i < 1000; ++i) {
        const std::string name = "group-with-a-rather-long-name-" + std::to_string(i);
        platform.groups.names.push_back(utf8_to_utf16_lossy(name));
        expected += name + "\r\n";
    }
    std::vector<char> buffer(expected.size() + 1);
    auto length = static_cast<std::uint32_t>(buffer.size());
    ASSERT_EQ(get_user_groups(platform, "alice", buffer.data(), &length), 1);
    EXPECT_EQ(std::string(buffer.data()), expected);
}

TEST(GroupsTest, LongGroupNameIsCutToTheNameBuffer) {
    FakePlatform platform;
    platform.groups.names = {std::u16string(100, u'x') + std::u16string(100, u'\u00E9')};
    std::vector<char> buffer(512);
    auto length = static_cast<std::uint32_t>(buffer.size());
    ASSERT_EQ(get_user_groups(platform, "alice", buffer.data(), &length), 1);
    // 100 + 2 * 77 = 254 bytes: the next two-byte character would pass 255.
    EXPECT_EQ(std::string(buffer.data()), std::string(100, 'x') + repeat("\xC3\xA9", 77) + "\r\n");
}

TEST(GroupsTest, NullArgumentsTouchNothing) {
    FakePlatform platform;
    platform.groups = users_only;
    char buffer[16] = "untouched";
    std::uint32_t length = sizeof buffer;
    EXPECT_EQ(get_user_groups(platform, nullptr, buffer, &length), 0);
    EXPECT_EQ(get_user_groups(platform, "alice", nullptr, &length), 0);
    EXPECT_EQ(get_user_groups(platform, "alice", buffer, nullptr), 0);
    EXPECT_STREQ(buffer, "untouched");
    EXPECT_EQ(length, sizeof buffer);
}

}  // namespace
}  // namespace permwell::testing
