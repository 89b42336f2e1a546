// The responder's file lane: every job runs once, in the order given, one at
// a time, off the loop thread, and is finished once on the loop thread, also
// when jobs are added while others are being finished; the loop ends when
// the last job is done.
#include "fastcgi/file_lane.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

namespace {

struct Record {
    std::thread::id loop_thread = std::this_thread::get_id();
    std::mutex mutex;
    std::vector<int> ran;        // guarded by mutex
    std::atomic<int> running{0};
    std::atomic<int> most_running{0};
    std::atomic<int> off_loop{0};
    std::vector<int> finished;   // loop thread only
    int added = 0;
    int limit = 0;
    int fan_out = 0;
    qg::fastcgi::FileLane* lane = nullptr;
};

void add_job(Record& r);

struct CountingJob final : qg::fastcgi::LaneJob {
    CountingJob(Record& r, int n) : record(r), number(n) {}
    void run() noexcept override {
        const int now = ++record.running;
        for (int seen = record.most_running; now > seen && !record.most_running.compare_exchange_weak(seen, now);) {
        }
        if (std::this_thread::get_id() != record.loop_thread) ++record.off_loop;
        {
            std::lock_guard lock(record.mutex);
            record.ran.push_back(number);
        }
        if (record.fan_out == 0) std::this_thread::sleep_for(std::chrono::microseconds(number % 7 * 10));
        --record.running;
    }
    void finish() override {
        EXPECT_EQ(std::this_thread::get_id(), record.loop_thread);
        record.finished.push_back(number);
        // New work arrives while the lane hands back the old, with pauses in
        // between that let the pool thread run dry and stop.
        for (int i = 0; i < record.fan_out; ++i) {
            add_job(record);
            std::this_thread::sleep_for(std::chrono::microseconds(number % 2 * 400));
        }
    }
    Record& record;
    int number;
};

void add_job(Record& r) {
    if (r.added == r.limit) return;
    r.lane->add(std::make_unique<CountingJob>(r, r.added++));
}

TEST(FileLane, EveryJobRunsOnceInOrderOneAtATimeAndIsFinishedOnTheLoop) {
    struct Case {
        const char* name;
        int first;    // jobs added before the loop runs
        int fan_out;  // jobs each finish adds
        int limit;
    };
    const Case cases[] = {
        {"a queue given at once", 500, 0, 500},
        {"jobs added as others finish", 1, 2, 1500},
        {"both", 40, 1, 600},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        uv_loop_t loop;
        ASSERT_EQ(uv_loop_init(&loop), 0);
        Record r;
        r.limit = c.limit;
        r.fan_out = c.fan_out;
        {
            qg::fastcgi::FileLane lane(&loop);
            r.lane = &lane;
            for (int i = 0; i < c.first; ++i) add_job(r);
            // The lane's work keeps the loop running until the last job is back.
            uv_run(&loop, UV_RUN_DEFAULT);
            lane.close();
            uv_run(&loop, UV_RUN_DEFAULT);
        }
        EXPECT_EQ(uv_loop_close(&loop), 0) << "a handle of the lane is left open";
        std::vector<int> all(c.limit);
        for (int i = 0; i < c.limit; ++i) all[i] = i;
        EXPECT_EQ(r.ran, all);
        EXPECT_EQ(r.finished, all);
        EXPECT_EQ(r.most_running.load(), 1);
        EXPECT_EQ(r.off_loop.load(), c.limit);
    }
}

TEST(FileLane, AJobAfterTheCloseIsDoneAtOnce) {
    uv_loop_t loop;
    ASSERT_EQ(uv_loop_init(&loop), 0);
    Record r;
    r.limit = 2;
    {
        qg::fastcgi::FileLane lane(&loop);
        r.lane = &lane;
        add_job(r);
        lane.close();  // with a job in the pool: closes once it is back
        uv_run(&loop, UV_RUN_DEFAULT);
        add_job(r);
        EXPECT_EQ(r.finished, (std::vector<int>{0, 1}));
    }
    EXPECT_EQ(r.off_loop.load(), 1);
    EXPECT_EQ(uv_loop_close(&loop), 0);
}

}  // namespace
