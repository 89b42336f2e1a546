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
    EXPECT_EQ(getUserGroups(platform, "alice", buffer.data(), &length), GetParam().result);
    EXPECT_EQ(std::string(buffer.data()), GetParam().text);
    EXPECT_EQ(length, GetParam().length);
}

const std::string kUntouched(63, 'X');
const LocalGroups kUsers{kNerrSuccess, {u"Users"}};
const LocalGroups kThree{kNerrSuccess, {u"Users", u"Staff", u"Ops"}};

INSTANTIATE_TEST_SUITE_P(
    Capacities, GroupsTest,
    ::testing::Values(
        GroupsCase{"UsersFitsInEight", kUsers, 8, 1, "Users\r\n", 7},
        GroupsCase{"UsersRefusedInSeven", kUsers, 7, 0, "", 7},
        GroupsCase{"SecondLineRefusedLengthIsWholeText", kThree, 14, 0, "Users\r\n", 19},
        GroupsCase{"ExactFit", kThree, 20, 1, "Users\r\nStaff\r\nOps\r\n", 19},
        GroupsCase{"ZeroCapacityWritesNothing", kUsers, 0, 0, kUntouched, 7},
        GroupsCase{"NoGroups", {kNerrSuccess, {}}, 64, 1, "", 0},
        GroupsCase{"OtherStatusWithoutEntries", {5, {}}, 64, 1, "", 0},
        GroupsCase{"OtherStatusWithEntries", {234, {u"Users"}}, 64, 1, "Users\r\n", 7},
        GroupsCase{"UserNotFound", {kNerrUserNotFound, {u"Users"}}, 64, 0, kUntouched, 64},
        GroupsCase{"InvalidComputer", {kNerrInvalidComputer, {}}, 64, 0, kUntouched, 64},
        GroupsCase{"NonAsciiName", {kNerrSuccess, {u"Gr\u00FCn"}}, 64, 1, "Gr\xC3\xBCn\r\n", 7}),
    [](const auto& param) { return param.param.name; });

struct NameCase {
    std::string user;
    int result;
};

class UserNameTest : public ::testing::TestWithParam<NameCase> {};

TEST_P(UserNameTest, NamesBeyondTheWideBufferOrInvalidFail) {
    FakePlatform platform;
    platform.groups = kUsers;
    char buffer[32] = "untouched";
    std::uint32_t length = sizeof buffer;
    EXPECT_EQ(getUserGroups(platform, GetParam().user.c_str(), buffer, &length), GetParam().result);
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
        platform.groups.names.push_back(utf8ToUtf16Lossy(name));
        expected += name + "\r\n";
    }
    std::vector<char> buffer(expected.size() + 1);
    auto length = static_cast<std::uint32_t>(buffer.size());
    ASSERT_EQ(getUserGroups(platform, "alice", buffer.data(), &length), 1);
    EXPECT_EQ(std::string(buffer.data()), expected);
}

TEST(GroupsTest, LongGroupNameIsCutToTheNameBuffer) {
    FakePlatform platform;
    platform.groups.names = {std::u16string(100, u'x') + std::u16string(100, u'\u00E9')};
    std::vector<char> buffer(512);
    auto length = static_cast<std::uint32_t>(buffer.size());
    ASSERT_EQ(getUserGroups(platform, "alice", buffer.data(), &length), 1);
    // 100 + 2 * 77 = 254 bytes: the next two-byte character would pass 255.
    EXPECT_EQ(std::string(buffer.data()), std::string(100, 'x') + repeat("\xC3\xA9", 77) + "\r\n");
}

TEST(GroupsTest, NullArgumentsTouchNothing) {
    FakePlatform platform;
    platform.groups = kUsers;
    char buffer[16] = "untouched";
    std::uint32_t length = sizeof buffer;
    EXPECT_EQ(getUserGroups(platform, nullptr, buffer, &length), 0);
    EXPECT_EQ(getUserGroups(platform, "alice", nullptr, &length), 0);
    EXPECT_EQ(getUserGroups(platform, "alice", buffer, nullptr), 0);
    EXPECT_STREQ(buffer, "untouched");
    EXPECT_EQ(length, sizeof buffer);
}

}  // namespace
}  // namespace permwell::testing
