// The group names of a user's ids: one pass through the enumeration and one
// lookup per id must give the same answer, whatever the ids are.
#include <gtest/gtest.h>

#include <thread>

#include "posix_accounts.h"
#include "test_accounts.h"

namespace permwell::testing {
namespace {

using posix::Account;
using posix::Found;
using posix::GroupNaming;

void expect_same(const std::vector<Account>& actual, const std::vector<Account>& expected) {
    ASSERT_EQ(actual.size(), expected.size());
    for (std::size_t i = 0; i < actual.size(); ++i) {
        EXPECT_EQ(actual[i].found, expected[i].found) << i;
        EXPECT_EQ(actual[i].name, expected[i].name) << i;
    }
}

// carol's 600 groups, a gid with two records (the first one names it), a gid
// without any, a record too large to read, and one id twice.
std::vector<gid_t> mixed_ids() {
    std::vector<gid_t> ids = {1003, 1100, 4242, crowd_gid, 1101, 1100};
    for (int i = carol_groups - 1; i >= 0; --i) ids.push_back(static_cast<gid_t>(2000 + i));
    return ids;
}

TEST(GroupNaming, EnumerationAndLookupsPerIdAgree) {
    const std::vector<gid_t> ids = mixed_ids();
    const std::vector<Account> per_id = posix::groups_by_id(ids, GroupNaming::per_id);
    EXPECT_EQ(per_id[1].name, "staff");
    EXPECT_NE(per_id[2].found, Found::yes);
    EXPECT_EQ(per_id[3].found, Found::too_large);
    EXPECT_EQ(per_id[6].name, carol_group_name(carol_groups - 1));
    expect_same(posix::groups_by_id(ids, GroupNaming::enumeration), per_id);
    expect_same(posix::groups_by_id(ids, GroupNaming::automatic), per_id);
    // A short list that the enumeration ends early, and an empty one.
    const std::vector<gid_t> few = {1101, 1003};
    expect_same(posix::groups_by_id(few, GroupNaming::enumeration), posix::groups_by_id(few, GroupNaming::per_id));
    EXPECT_TRUE(posix::groups_by_id({}, GroupNaming::enumeration).empty());
}

// The enumeration's position is shared by the whole process: passes that run
// at once see fewer records each, and the lookups per id make up for it.
TEST(GroupNaming, ConcurrentEnumerationsGiveTheWholeAnswer) {
    const std::vector<gid_t> ids = mixed_ids();
    const std::vector<Account> per_id = posix::groups_by_id(ids, GroupNaming::per_id);
    std::vector<std::vector<Account>> results(4);
    std::vector<std::thread> threads;
    for (auto& result : results) {
        threads.emplace_back([&] { result = posix::groups_by_id(ids, GroupNaming::enumeration); });
    }
    for (auto& thread : threads) thread.join();
    for (const auto& result : results) expect_same(result, per_id);
}

// The host name here is permwell-test-host (nss_main.cpp), without a domain.
TEST(NameForms, QualifiedNamesComeInEveryFormTheDatabaseMayKnow) {
    using Forms = std::vector<std::string>;
    const std::pair<std::string, Forms> cases[] = {
        {"alice", {"alice"}},
        {"OTHER\\alice", {"OTHER\\alice", "alice@OTHER"}},
        {"alice@other.test", {"alice@other.test", "other.test\\alice"}},
        {"Permwell-Test-Host\\alice", {"Permwell-Test-Host\\alice", "alice@Permwell-Test-Host", "alice"}},
        {"a@b@permwell-test-host", {"a@b@permwell-test-host", "permwell-test-host\\a@b", "a@b"}},
        {"\\alice", {"\\alice"}},
        {"alice@", {"alice@"}},
    };
    for (const auto& [typed, forms] : cases) {
        EXPECT_EQ(posix::name_forms(typed), forms) << typed;
    }
}

}  // namespace
}  // namespace permwell::testing
