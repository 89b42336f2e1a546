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

void expectSame(const std::vector<Account>& actual, const std::vector<Account>& expected) {
    ASSERT_EQ(actual.size(), expected.size());
    for (std::size_t i = 0; i < actual.size(); ++i) {
        EXPECT_EQ(actual[i].found, expected[i].found) << i;
        EXPECT_EQ(actual[i].name, expected[i].name) << i;
    }
}

// carol's 600 groups, a gid with two records (the first one names it), a gid
// without any, a record too large to read, and one id twice.
std::vector<gid_t> mixedIds() {
    std::vector<gid_t> ids = {1003, 1100, 4242, kCrowdGid, 1101, 1100};
    for (int i = kCarolGroups - 1; i >= 0; --i) ids.push_back(static_cast<gid_t>(2000 + i));
    return ids;
}

TEST(GroupNaming, EnumerationAndLookupsPerIdAgree) {
    const std::vector<gid_t> ids = mixedIds();
    const std::vector<Account> perId = posix::groupsById(ids, GroupNaming::PerId);
    EXPECT_EQ(perId[1].name, "staff");
    EXPECT_NE(perId[2].found, Found::Yes);
    EXPECT_EQ(perId[3].found, Found::TooLarge);
    EXPECT_EQ(perId[6].name, carolGroupName(kCarolGroups - 1));
    expectSame(posix::groupsById(ids, GroupNaming::Enumeration), perId);
    expectSame(posix::groupsById(ids, GroupNaming::Automatic), perId);
    // A short list that the enumeration ends early, and an empty one.
    const std::vector<gid_t> few = {1101, 1003};
    expectSame(posix::groupsById(few, GroupNaming::Enumeration), posix::groupsById(few, GroupNaming::PerId));
    EXPECT_TRUE(posix::groupsById({}, GroupNaming::Enumeration).empty());
}

// The enumeration's position is shared by the whole process: passes that run
// at once see fewer records each, and the lookups per id make up for it.
TEST(GroupNaming, ConcurrentEnumerationsGiveTheWholeAnswer) {
    const std::vector<gid_t> ids = mixedIds();
    const std::vector<Account> perId = posix::groupsById(ids, GroupNaming::PerId);
    std::vector<std::vector<Account>> results(4);
    std::vector<std::thread> threads;
    for (auto& result : results) {
        threads.emplace_back([&] { result = posix::groupsById(ids, GroupNaming::Enumeration); });
    }
    for (auto& thread : threads) thread.join();
    for (const auto& result : results) expectSame(result, perId);
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
        EXPECT_EQ(posix::nameForms(typed), forms) << typed;
    }
}

}  // namespace
}  // namespace permwell::testing
