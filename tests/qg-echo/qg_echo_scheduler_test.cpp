// qg-echo's worker pool: jobs run by due time, and a job that waits for its due
// time never hides another one from the workers.

#include <gtest/gtest.h>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <string>

#include "scheduler.h"

namespace qgecho {
namespace {

using namespace std::chrono_literals;

// What the jobs did, and a way to wait for it without a fixed sleep.
struct Record {
    std::mutex mutex;
    std::condition_variable changed;
    std::string order;

    void add(char c) {
        const std::lock_guard lock(mutex);
        order += c;
        changed.notify_all();
    }
    // Waits (at most long enough to call it a hang) until `n` jobs have run.
    bool wait_for(std::size_t n) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, 20s, [&] { return order.size() >= n; });
    }
};

TEST(QgEchoScheduler, LaterJobWaitsInTheQueueNotAheadOfEarlierOnes) {
    Record record;
    Scheduler scheduler(2);
    const auto now = Scheduler::Clock::now();
    scheduler.submit(now + 300ms, [&] { record.add('L'); });
    scheduler.submit(now, [&] { record.add('a'); });
    scheduler.submit(now, [&] { record.add('b'); });
    ASSERT_TRUE(record.wait_for(3));
    EXPECT_EQ(record.order.back(), 'L');
}

TEST(QgEchoScheduler, DueJobRunsWhileAnotherJobIsBusy) {
    // The worker that waited for the delayed job may be the one handed the
    // immediate job, which here cannot end before the delayed job has run:
    // the other worker must take the delayed job over.
    for (int round = 0; round < 4; ++round) {
        Record record;
        Scheduler scheduler(2);
        const auto now = Scheduler::Clock::now();
        scheduler.submit(now + 30ms, [&] { record.add('d'); });
        scheduler.submit(now, [&] {
            const bool delayed_ran = record.wait_for(1);
            record.add(delayed_ran ? 'i' : 'X');
        });
        ASSERT_TRUE(record.wait_for(2));
        EXPECT_EQ(record.order, "di") << "round " << round;
    }
}

}  // namespace
}  // namespace qgecho
