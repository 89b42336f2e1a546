// Eight threads call all three exports at once, each with its own buffers:
// every call gives the same answer it gives alone.
#include <gtest/gtest.h>

#include <string>
#include <thread>
#include <vector>

#include "permwell.h"
#include "support.h"

namespace permwell::testing {
namespace {

constexpr int thread_count = 8;
constexpr int round_count = 200;

struct Answers {
    std::string listing;
    std::string groups;
    int granted = 0;

    bool operator==(const Answers&) const = default;
};

// One round: grant on the thread's own file, list the shared file, list the user's groups.
Answers one_round(const std::string& shared, const std::string& own, const std::string& user,
                 std::vector<char>& buffer) {
    Answers answers;
    answers.granted = SetAccessRights(own.c_str(), grantable_account(user).c_str(), 0x120089);
    std::int32_t length = 0;
    if (ReadAccessRights(shared.c_str(), buffer.data(), &length) == 1) {
        answers.listing.assign(buffer.data(), static_cast<std::size_t>(length));
    }
    auto capacity = static_cast<std::uint32_t>(buffer.size());
    if (GetUserGroups(user.c_str(), buffer.data(), &capacity) == 1) {
        answers.groups.assign(buffer.data(), capacity);
    }
    return answers;
}

TEST(Threads, ConcurrentCallsGiveTheSameResults) {
    const std::string user = current_user();
    ASSERT_FALSE(user.empty());
    const TempDir dir;
    const std::string shared = dir.file("shared", 0640);
    std::vector<char> buffer(PERMWELL_READ_BUFFER_SIZE);
    const Answers expected = one_round(shared, dir.file("baseline", 0600), user, buffer);
    ASSERT_EQ(expected.granted, 1);
    ASSERT_FALSE(expected.listing.empty());
    ASSERT_FALSE(expected.groups.empty());

    std::vector<int> mismatches(thread_count, 0);
    std::vector<std::thread> threads;
    for (int t = 0; t < thread_count; ++t) {
        const std::string own = dir.file("own" + std::to_string(t), 0600);
        threads.emplace_back([&, t, own] {
            std::vector<char> local(PERMWELL_READ_BUFFER_SIZE);
            for (int round = 0; round < round_count; ++round) {
                if (!(one_round(shared, own, user, local) == expected)) ++mismatches[static_cast<std::size_t>(t)];
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    EXPECT_EQ(mismatches, std::vector<int>(thread_count, 0));
}

}  // namespace
}  // namespace permwell::testing
