// The exports on directory accounts: run by directory/with-directory, which
// serves the accounts from a private slapd through nslcd and hands over the
// program that stops, freezes and restarts them (PERMWELL_DIRECTORY_CONTROL).
// The tests run in the order written: the outage tests come last.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <sstream>
#include <thread>

#include "permwell.h"
#include "support.h"

namespace permwell::testing {
namespace {

void control(const std::string& request) {
    const char* program = std::getenv("PERMWELL_DIRECTORY_CONTROL");
    ASSERT_NE(program, nullptr) << "run through tests/rights/directory/with-directory";
    ASSERT_EQ(std::system((std::string(program) + " " + request).c_str()), 0) << request;
}

struct Groups {
    int result = -1;
    std::string text;
    std::uint32_t length = 0;
};

Groups groups_of(const std::string& user, std::uint32_t capacity = 1u << 20) {
    std::vector<char> buffer(capacity + 1, 'X');
    buffer[capacity] = '\0';
    Groups groups;
    groups.length = capacity;
    groups.result = GetUserGroups(user.c_str(), buffer.data(), &groups.length);
    groups.text = buffer.data();
    return groups;
}

// The groups once the directory answers again: nslcd retries a lost server
// after reconnect_retrytime, so for a moment after slapd is back lookups
// still fail. Bounded at 30 seconds.
Groups groups_once_back(const std::string& user) {
    Groups groups;
    for (int attempt = 0; attempt < 150 && groups.result != 1; ++attempt) {
        if (attempt > 0) std::this_thread::sleep_for(std::chrono::milliseconds(200));
        groups = groups_of(user);
    }
    return groups;
}

// `id -Gn` as group lines, for the same user in the same namespace.
std::string id_groups(const std::string& user) {
    const ProcessResult id = run({"id", "-Gn", user});
    EXPECT_EQ(id.exit_code, 0) << id.err;
    std::istringstream names(id.out);
    std::string text;
    for (std::string name; names >> name;) text += name + "\r\n";
    return text;
}

std::string listing(const std::string& path) {
    std::vector<char> buffer(PERMWELL_READ_BUFFER_SIZE);
    std::int32_t length = -1;
    EXPECT_EQ(ReadAccessRights(path.c_str(), buffer.data(), &length), 1) << path;
    return buffer.data();
}

// Nested groups come through nslcd's nss_nested_groups: dir-outer holds the
// group dir-staff, not dir-alice herself.
TEST(DirectoryGroups, NestedGroupsAndQualifiedNames) {
    const Groups alice = groups_of("dir-alice");
    ASSERT_EQ(alice.result, 1);
    EXPECT_EQ(alice.text, "dir-alice\r\ndir-staff\r\ndir-devs\r\ndir-outer\r\n");
    EXPECT_EQ(alice.text, id_groups("dir-alice"));
    // A primary group without a record is listed by its identifier.
    EXPECT_EQ(groups_of("dir-carol").text, "S-1-22-2-79999\r\ndir-devs\r\n");
    for (const char* name : {"EXAMPLE\\dir-alice", "dir-alice@example.test", "example.test\\dir-alice",
                             "dir-alice@EXAMPLE", "permwell-host\\dir-alice", "Unix User\\dir-alice"}) {
        EXPECT_EQ(groups_of(name).text, alice.text) << name;
    }
    for (const char* name : {"OTHER\\dir-alice", "dir-alice@other.test", "EXAMPLE\\nobody-here", "dir-staff"}) {
        const Groups none = groups_of(name, 64);
        EXPECT_EQ(none.result, 0) << name;
        EXPECT_EQ(none.length, 64u) << name;
        EXPECT_EQ(none.text, std::string(64, 'X')) << name;
    }
}

// The user in 10,000 groups, with nslcd's enumeration refused (every group
// looked up by its id) and allowed (named in one pass): the same text as
// `id -Gn`, which looks up every id by itself.
TEST(DirectoryGroups, TenThousandGroupsWithAndWithoutEnumeration) {
    for (const char* enumeration : {"off", "on"}) {
        control(std::string("enumeration ") + enumeration);
        const Groups wide = groups_of("dir-wide");
        ASSERT_EQ(wide.result, 1) << enumeration;
        EXPECT_EQ(std::count(wide.text.begin(), wide.text.end(), '\n'), 10001) << enumeration;
        EXPECT_EQ(wide.text, id_groups("dir-wide")) << enumeration;
    }
}

// Too small a buffer: the complete lines that fit, and the whole text's
// length, so that a buffer one byte longer holds it.
TEST(DirectoryGroups, BufferTooSmallForTenThousandGroups) {
    const Groups all = groups_of("dir-wide");
    ASSERT_EQ(all.result, 1);
    const std::string& whole = all.text;
    for (const std::uint32_t capacity : {1000u, static_cast<std::uint32_t>(whole.size())}) {
        const Groups cut = groups_of("dir-wide", capacity);
        EXPECT_EQ(cut.result, 0);
        EXPECT_EQ(cut.length, whole.size());
        ASSERT_LT(cut.text.size(), capacity);
        EXPECT_TRUE(whole.starts_with(cut.text));
        EXPECT_TRUE(cut.text.ends_with("\r\n"));
        EXPECT_GT(cut.text.size() + 30, capacity);  // no room for the next line
    }
}

TEST(DirectoryRights, ListsDirectoryUsersAndGroupsByName) {
    const TempDir dir;
    const std::string file = dir.file("f", 0640);
    std::string entries = "u:70001:r,u:70002:rw,g:71000:rx,g:71001:r";
    std::string expected =
        "Unix User\\root;1180063\r\nUnix User\\dir-alice;1179785\r\nUnix User\\dir-bob;1180063\r\n"
        "Unix Group\\root;1179785\r\nUnix Group\\dir-staff;1179817\r\nUnix Group\\dir-outer;1179785\r\n";
    for (int i = 0; i < 100; ++i) {
        entries += ",g:" + std::to_string(80000 + i) + ":r";
        char name[32];
        std::snprintf(name, sizeof name, "wide-%05d", i);
        expected += std::string("Unix Group\\") + name + ";1179785\r\n";
    }
    set_acl(file, entries);
    EXPECT_EQ(listing(file), expected + "Everyone;0\r\n");
}

struct GrantCase {
    const char* name;
    const char* account;
    const char* entry;  // the getfacl line the grant makes; nullptr: the grant fails
};

class DirectoryGrantTest : public ::testing::TestWithParam<GrantCase> {};

TEST_P(DirectoryGrantTest, EachNameFormReachesItsAccount) {
    const TempDir dir;
    const std::string file = dir.file("f", 0640);
    set_acl(file, "u:70001:r");
    const std::string before = get_acl(file);
    ::testing::internal::CaptureStdout();
    const int result = SetAccessRights(file.c_str(), GetParam().account, 0x120116);
    const std::string out = ::testing::internal::GetCapturedStdout();
    if (GetParam().entry == nullptr) {
        EXPECT_EQ(result, 0);
        EXPECT_EQ(out, "Error 1332:LookupAccountName\n");
        EXPECT_EQ(get_acl(file), before);
        return;
    }
    ASSERT_EQ(result, 1) << out;
    const std::string after = get_acl(file);
    EXPECT_NE(after.find(std::string(GetParam().entry) + "\n"), std::string::npos) << after;
    EXPECT_NE(after.find("user:70001:r--\n"), std::string::npos) << after;
}

INSTANTIATE_TEST_SUITE_P(
    Names, DirectoryGrantTest,
    ::testing::Values(GrantCase{"Bare", "dir-bob", "user:70002:-w-"},
                      GrantCase{"NetbiosDomain", "EXAMPLE\\dir-bob", "user:70002:-w-"},
                      GrantCase{"DnsDomain", "example.test\\dir-bob", "user:70002:-w-"},
                      GrantCase{"AtDnsDomain", "dir-bob@example.test", "user:70002:-w-"},
                      GrantCase{"AtNetbiosDomain", "dir-bob@example", "user:70002:-w-"},
                      GrantCase{"UnixUser", "Unix User\\dir-bob", "user:70002:-w-"},
                      GrantCase{"UnixGroup", "Unix Group\\dir-staff", "group:71000:-w-"},
                      GrantCase{"BareGroupWithoutUser", "dir-both", "group:71003:-w-"},
                      GrantCase{"QualifiedGroup", "EXAMPLE\\dir-outer", "group:71001:-w-"},
                      GrantCase{"OtherDomain", "OTHER\\dir-bob", nullptr},
                      GrantCase{"AtOtherDomain", "dir-bob@other.test", nullptr},
                      GrantCase{"UnknownInDomain", "EXAMPLE\\nobody-here", nullptr}),
    [](const auto& param) { return param.param.name; });

// With slapd stopped nslcd cannot answer (glibc reports ENOENT): every call
// that needs a directory name fails and changes nothing, a grant to a local
// account keeps the directory entries as they were, and everything works
// again once slapd is back.
TEST(DirectoryOutage, StoppedDirectoryFailsCleanlyAndRecovers) {
    const TempDir dir;
    const std::string file = dir.file("f", 0640);
    set_acl(file, "u:70001:r,g:71000:rw");
    control("stop");
    const std::string before = get_acl(file);

    ::testing::internal::CaptureStdout();
    EXPECT_EQ(SetAccessRights(file.c_str(), "dir-bob", 0x120089), 0);
    EXPECT_EQ(::testing::internal::GetCapturedStdout(), "Error 1332:LookupAccountName\n");
    EXPECT_EQ(get_acl(file), before);

    const Groups groups = groups_of("dir-alice", 64);
    EXPECT_EQ(groups.result, 0);
    EXPECT_EQ(groups.length, 64u);
    EXPECT_EQ(groups.text, std::string(64, 'X'));

    // Names that cannot be read are listed by identifier, never by another name.
    EXPECT_EQ(listing(file), "Unix User\\root;1180063\r\nS-1-22-1-70001;1179785\r\nUnix Group\\root;1179785\r\n"
                             "S-1-22-2-71000;1180063\r\nEveryone;0\r\n");
    ASSERT_EQ(SetAccessRights(file.c_str(), "Unix Group\\root", 0x1F01FF), 1);
    EXPECT_EQ(get_acl(file), "user::rw-\nuser:70001:r--\ngroup::rwx\ngroup:71000:rw-\nmask::rwx\nother::---\n\n");

    control("start");
    EXPECT_EQ(groups_once_back("dir-alice").result, 1);
    ASSERT_EQ(SetAccessRights(file.c_str(), "dir-bob", 0x120089), 1);
    EXPECT_NE(get_acl(file).find("user:70002:r--\n"), std::string::npos);
    EXPECT_NE(listing(file).find("Unix User\\dir-alice;1179785\r\n"), std::string::npos);
}

// A frozen slapd: nslcd gives up after its timelimit and bind_timelimit
// (2 seconds each here), so the call fails instead of hanging, and works again
// once slapd goes on (nslcd retries after reconnect_retrytime).
TEST(DirectoryOutage, HungDirectoryIsBoundedByNslcdsTimeLimits) {
    control("hang");
    const auto start = std::chrono::steady_clock::now();
    const Groups groups = groups_of("dir-alice", 64);
    const auto waited = std::chrono::steady_clock::now() - start;
    control("resume");
    EXPECT_EQ(groups.result, 0);
    EXPECT_EQ(groups.text, std::string(64, 'X'));
    EXPECT_LT(waited, std::chrono::seconds(30));
    const Groups again = groups_once_back("dir-alice");
    EXPECT_EQ(again.result, 1);
    EXPECT_EQ(again.text, "dir-alice\r\ndir-staff\r\ndir-devs\r\ndir-outer\r\n");
}

}  // namespace
}  // namespace permwell::testing
