// Listing and granting with the platform double: formats, order of entries,
// matching by name, and every failure row.
#include <gtest/gtest.h>

#include <cstring>

#include "access_rights.h"
#include "fake_platform.h"
#include "user_groups.h"
#include "permwell.h"

namespace permwell::testing {
namespace {

FakePlatform domain_platform() {
    FakePlatform platform;
    platform.accounts = {{"alice", sid(1)}, {"DOM\\alice", sid(1)}, {"dom\\ALICE", sid(1)}, {"DOM\\bob", sid(2)}};
    platform.trustees = {{sid(1).text(), "DOM\\alice"}, {sid(2).text(), "DOM\\bob"}, {sid(3).text(), "DOM\\carol"},
                         {Sid::everyone().text(), "Everyone"}};
    return platform;
}

struct ListCase {
    const char* name;
    FileDacl dacl;
    std::string text;
};

class ListTest : public ::testing::TestWithParam<ListCase> {};

TEST_P(ListTest, WritesOneAccessLinePerEntry) {
    FakePlatform platform = domain_platform();
    platform.files["f"] = GetParam().dacl;
    std::vector<char> buffer(4096, 'X');
    std::int32_t length = -1;
    ASSERT_EQ(read_access_rights(platform, "f", buffer.data(), &length), 1);
    EXPECT_EQ(std::string(buffer.data()), GetParam().text);
    EXPECT_EQ(length, static_cast<std::int32_t>(GetParam().text.size()));
}

const std::string long_name(300, 'n');

INSTANTIATE_TEST_SUITE_P(
    Dacls, ListTest,
    ::testing::Values(
        ListCase{"SignedMasks", {DaclState::present, {allow(1, 0x80000000), allow(2, 0x1F01FF)}},
                 "DOM\\alice;-2147483648\r\nDOM\\bob;2032127\r\n"},
        ListCase{"SameTrusteeTwiceInOrder", {DaclState::present, {deny(1, 1), allow(2, 2), allow(1, 3)}},
                 "DOM\\alice;1\r\nDOM\\bob;2\r\nDOM\\alice;3\r\n"},
        ListCase{"UnnamedIdentifierAsText", {DaclState::present, {allow(77, 4)}}, "S-1-5-21-77;4\r\n"},
        ListCase{"EmptyDacl", {DaclState::present, {}}, ""},
        ListCase{"NoDaclGrantsEveryone", {DaclState::absent, {allow(1, 1)}}, "Everyone;2032127\r\n"},
        ListCase{"NullDaclGrantsEveryone", {DaclState::null, {}}, "Everyone;2032127\r\n"}),
    [](const auto& param) { return param.param.name; });

TEST(ListTest, LongTrusteeNameIsCutSoTheLineKeepsItsEnding) {
    std::string accented(150, 'x');
    for (int i = 0; i < 60; ++i) accented += "\xC3\xA9";  // two-byte characters straddle the cut
    const std::pair<std::string, std::size_t> cases[] = {{long_name, 241}, {accented, 240}};
    for (const auto& [name, kept] : cases) {
        FakePlatform platform = domain_platform();
        platform.trustees[sid(9).text()] = name;
        platform.files["f"] = {DaclState::present, {allow(9, 0x80000000)}};
        std::vector<char> buffer(4096);
        std::int32_t length = 0;
        ASSERT_EQ(read_access_rights(platform, "f", buffer.data(), &length), 1);
        EXPECT_EQ(std::string(buffer.data()), name.substr(0, kept) + ";-2147483648\r\n");
    }
}

// The largest DACL a descriptor buffer can hold, with the longest lines, fills
// the documented buffer size exactly; one entry more is refused.
TEST(ListTest, DocumentedBufferSizeHoldsTheLargestListing) {
    for (std::size_t count : {std::size_t{4095}, std::size_t{4096}}) {
        FakePlatform platform = domain_platform();
        const Sid tiny{9, {}};  // the smallest identifier: 8 bytes
        platform.trustees[tiny.text()] = long_name;
        platform.files["f"] = {DaclState::present,
                               std::vector<Ace>(count, Ace{AceType::access_allowed, 0, 0x80000000, tiny, {}})};
        std::vector<char> buffer(PERMWELL_READ_BUFFER_SIZE);
        std::int32_t length = 0;
        const int result = read_access_rights(platform, "f", buffer.data(), &length);
        EXPECT_EQ(result, count == 4095 ? 1 : 0);
        if (result == 1) {
            EXPECT_EQ(length, PERMWELL_READ_BUFFER_SIZE - 1);
        }
    }
}

struct ListFailure {
    const char* name;
    void (*arrange)(FakePlatform&);
    bool buffer_emptied;
};

class ListFailureTest : public ::testing::TestWithParam<ListFailure> {};

TEST_P(ListFailureTest, ReturnsZeroAndKeepsTheLength) {
    FakePlatform platform = domain_platform();
    platform.files["f"] = {DaclState::present, {allow(1, 1), allow(2, 2)}};
    GetParam().arrange(platform);
    char buffer[64] = "untouched";
    std::int32_t length = 77;
    EXPECT_EQ(read_access_rights(platform, "f", buffer, &length), 0);
    EXPECT_STREQ(buffer, GetParam().buffer_emptied ? "" : "untouched");
    EXPECT_EQ(length, 77);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, ListFailureTest,
    ::testing::Values(
        ListFailure{"NoUserName", [](FakePlatform& p) { p.user.reset(); }, false},
        ListFailure{"UserNameTooLong",
                    [](FakePlatform& p) {
                        p.user = std::string(250, 'a');
                        p.accounts[*p.user] = sid(1);
                    },
                    false},
        ListFailure{"UserDoesNotResolve", [](FakePlatform& p) { p.user = "ghost"; }, false},
        ListFailure{"MissingFile", [](FakePlatform& p) { p.files.clear(); }, false},
        ListFailure{"TrusteeNameUnavailable", [](FakePlatform& p) { p.unnamable.insert(sid(2).text()); }, true}),
    [](const auto& param) { return param.param.name; });

struct GrantCase {
    const char* name;
    FileDacl dacl;
    const char* account;
    std::vector<Ace> written;
};

class GrantTest : public ::testing::TestWithParam<GrantCase> {};

TEST_P(GrantTest, RemovesEntriesNamedLikeTheAccountAndAppendsOne) {
    FakePlatform platform = domain_platform();
    platform.files["f"] = GetParam().dacl;
    ASSERT_EQ(set_access_rights(platform, "f", GetParam().account, 0x42), 1);
    ASSERT_EQ(platform.writes.size(), 1u);
    EXPECT_EQ(platform.writes[0].first, "f");
    EXPECT_EQ(platform.writes[0].second, GetParam().written);
    // The list's inheritance settings go back as they were read.
    EXPECT_EQ(platform.written_controls.at(0), GetParam().dacl.control);
}

const FileDacl mixed{DaclState::present, {allow(2, 1), deny(1, 2), allow(3, 3), allow(1, 4), deny(2, 5)}, 0x1400};

INSTANTIATE_TEST_SUITE_P(
    Dacls, GrantTest,
    ::testing::Values(
        GrantCase{"EveryMatchRemovedOthersKeptInOrder", mixed, "DOM\\alice",
                  {allow(2, 1), allow(3, 3), deny(2, 5), allow(1, 0x42)}},
        GrantCase{"NoDacl", {DaclState::absent, {}, 0x1000}, "DOM\\bob", {allow(2, 0x42)}},
        GrantCase{"NullDacl", {DaclState::null, {}}, "DOM\\bob", {allow(2, 0x42)}},
        GrantCase{"EmptyDacl", {DaclState::present, {}}, "DOM\\bob", {allow(2, 0x42)}}),
    [](const auto& param) { return param.param.name; });

// Matching is byte for byte: another letter case or a missing domain removes
// nothing, and the account ends with its old entries plus the new one.
TEST(GrantTest, UnmatchedNamesKeepEveryEntry) {
    for (const char* account : {"dom\\ALICE", "alice"}) {
        FakePlatform platform = domain_platform();
        platform.files["f"] = mixed;
        ASSERT_EQ(set_access_rights(platform, "f", account, 0x42), 1);
        std::vector<Ace> expected = mixed.entries;
        expected.push_back(allow(1, 0x42));
        EXPECT_EQ(platform.writes.at(0).second, expected) << account;
    }
}

struct GrantFailure {
    const char* name;
    void (*arrange)(FakePlatform&);
    const char* account;
    std::string message;
};

class GrantFailureTest : public ::testing::TestWithParam<GrantFailure> {};

TEST_P(GrantFailureTest, ReturnsZeroAndWritesNothing) {
    FakePlatform platform = domain_platform();
    platform.files["f"] = mixed;
    GetParam().arrange(platform);
    ::testing::internal::CaptureStdout();
    EXPECT_EQ(set_access_rights(platform, "f", GetParam().account, 1), 0);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), GetParam().message);
    EXPECT_TRUE(platform.writes.empty());
}

INSTANTIATE_TEST_SUITE_P(
    Rows, GrantFailureTest,
    ::testing::Values(
        GrantFailure{"UnknownAccount", [](FakePlatform&) {}, "ghost", "Error 1332:LookupAccountName\n"},
        GrantFailure{"LookupCodeIsPrinted", [](FakePlatform& p) { p.lookup_error = 1789; }, "ghost",
                     "Error 1789:LookupAccountName\n"},
        GrantFailure{"MissingFile", [](FakePlatform& p) { p.files.clear(); }, "DOM\\bob", ""},
        GrantFailure{"TrusteeNameUnavailable", [](FakePlatform& p) { p.unnamable.insert(sid(3).text()); },
                     "DOM\\bob", ""},
        GrantFailure{"WriteRefused", [](FakePlatform& p) { p.write_fails = true; }, "DOM\\bob", ""},
        GrantFailure{"NullAccount", [](FakePlatform&) {}, nullptr, ""}),
    [](const auto& param) { return param.param.name; });

TEST(NullArguments, ListingTouchesNothing) {
    FakePlatform platform = domain_platform();
    platform.files["f"] = mixed;
    char buffer[16] = "untouched";
    std::int32_t length = 5;
    EXPECT_EQ(read_access_rights(platform, nullptr, buffer, &length), 0);
    EXPECT_EQ(read_access_rights(platform, "f", nullptr, &length), 0);
    EXPECT_EQ(read_access_rights(platform, "f", buffer, nullptr), 0);
    EXPECT_EQ(set_access_rights(platform, nullptr, "DOM\\bob", 1), 0);
    EXPECT_STREQ(buffer, "untouched");
    EXPECT_EQ(length, 5);
    EXPECT_TRUE(platform.writes.empty());
}

// A failure inside the platform (memory exhausted) is the result 0, never an
// exception that would terminate the host.
TEST(OutOfMemory, EveryCallReturnsZero) {
    FakePlatform platform = domain_platform();
    platform.files["f"] = mixed;
    platform.groups = {nerr_success, {u"Users"}};
    platform.out_of_memory = true;
    char buffer[64] = "untouched";
    std::int32_t length = 5;
    std::uint32_t capacity = sizeof buffer;
    EXPECT_EQ(read_access_rights(platform, "f", buffer, &length), 0);
    EXPECT_EQ(set_access_rights(platform, "f", "DOM\\bob", 1), 0);
    EXPECT_EQ(get_user_groups(platform, "alice", buffer, &capacity), 0);
    EXPECT_STREQ(buffer, "untouched");
    EXPECT_EQ(length, 5);
    EXPECT_EQ(capacity, sizeof buffer);
    EXPECT_TRUE(platform.writes.empty());
}

}  // namespace
}  // namespace permwell::testing
