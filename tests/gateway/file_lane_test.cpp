// The responder's file lane: every job runs once, one at a time, off the
// loop thread, urgent ones in the order given and the others in the order
// given, each passed by few urgent ones; each is finished once on the loop
// thread, also when jobs are added while others are being finished; the
// loop ends when the last job is done. And the making of a request's files
// off the loop thread keeps what stopped it, for the log line written later
// on the loop thread.
#include "fastcgi/file_lane.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <mutex>
#include <thread>
#include <vector>

#include "fastcgi/jobs.h"
#include "scratch_dir.h"

namespace {

struct Record {
    std::thread::id loop_thread = std::this_thread::get_id();
    std::mutex mutex;
    std::vector<int> ran;  // guarded by mutex
    std::atomic<int> running{0};
    std::atomic<int> most_running{0};
    std::atomic<int> off_loop{0};
    std::vector<int> finished;  // loop thread only
    int added = 0;
    int limit = 0;
    int fan_out = 0;
    int later_every = 0;                // jobs n-1, 2n-1, ... are not urgent (0: none)
    std::atomic<bool> gate_open{true};  // job 0 waits for it
    qg::fastcgi::FileLane* lane = nullptr;
};

void add_job(Record& r);

struct CountingJob final : qg::fastcgi::LaneJob {
    CountingJob(Record& r, int n)
        : record(r), number(n), is_urgent(r.later_every == 0 || n % r.later_every != r.later_every - 1) {}
    bool urgent() const override { return is_urgent; }
    void run() noexcept override {
        while (number == 0 && !record.gate_open) std::this_thread::yield();
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
    bool is_urgent;
};

void add_job(Record& r) {
    if (r.added == r.limit) return;
    r.lane->add(std::make_unique<CountingJob>(r, r.added++));
}

TEST(FileLane, EveryJobRunsOnceInItsTurnOneAtATimeAndIsFinishedOnTheLoop) {
    struct Case {
        const char* name;
        int first;    // jobs added before the loop runs
        int fan_out;  // jobs each finish adds
        int limit;
        int later_every;
    };
    const Case cases[] = {
        {"a queue given at once", 500, 0, 500, 0},
        {"jobs added as others finish", 1, 2, 1500, 0},
        {"both", 40, 1, 600, 0},
        {"urgent jobs and others given at once", 500, 0, 500, 3},
        {"urgent jobs and others added as others finish", 1, 2, 1500, 4},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        uv_loop_t loop;
        ASSERT_EQ(uv_loop_init(&loop), 0);
        Record r;
        r.limit = c.limit;
        r.fan_out = c.fan_out;
        r.later_every = c.later_every;
        {
            qg::fastcgi::FileLane lane(&loop);
            r.lane = &lane;
            // Job 0 holds the pool thread until the first jobs are all given.
            r.gate_open = false;
            for (int i = 0; i < c.first; ++i) add_job(r);
            r.gate_open = true;
            // The lane's work keeps the loop running until the last job is back.
            uv_run(&loop, UV_RUN_DEFAULT);
            lane.close();
            uv_run(&loop, UV_RUN_DEFAULT);
        }
        EXPECT_EQ(uv_loop_close(&loop), 0) << "a handle of the lane is left open";
        std::vector<int> urgent, later;
        for (int i = 0; i < c.limit; ++i)
            (c.later_every != 0 && i % c.later_every == c.later_every - 1 ? later : urgent).push_back(i);
        std::vector<int> ran_urgent, ran_later;
        for (const int n : r.ran)
            (c.later_every != 0 && n % c.later_every == c.later_every - 1 ? ran_later : ran_urgent).push_back(n);
        EXPECT_EQ(ran_urgent, urgent);
        EXPECT_EQ(ran_later, later);
        if (c.later_every != 0 && c.fan_out == 0) {
            // Given at once, the two kinds took turns while both waited (job
            // 0, urgent, may have started before the others came).
            std::vector<int> turns{0};
            for (std::size_t i = 0; i < later.size(); ++i) turns.insert(turns.end(), {later[i], urgent[i + 1]});
            EXPECT_EQ(std::vector<int>(r.ran.begin(), r.ran.begin() + static_cast<long>(turns.size())), turns);
        }
        std::sort(r.finished.begin(), r.finished.end());
        std::vector<int> all(c.limit);
        for (int i = 0; i < c.limit; ++i) all[i] = i;
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

TEST(MakeJob, AFailedMakingKeepsWhatStoppedIt) {
    const quillgate::testing::TempDir dir;
    struct Case {
        const char* name;
        std::string work_dir;
        qg::platform::ErrorKind kind;
    };
    const std::vector<Case> cases = {
        {"missing directory", dir.file("missing/"), qg::platform::ErrorKind::not_found},
        // No call failed: the names would not fit.
        {"names too long", dir.path() + std::string(130, 'a') + "/", qg::platform::ErrorKind::none},
    };
    for (const auto& c : cases) {
        qg::fastcgi::MakeJob job;
        job.settings.work_dir = c.work_dir;
        job.settings.prefix = "qg_";
        job.run();
        EXPECT_TRUE(job.failed) << c.name;
        EXPECT_EQ(job.error.kind, c.kind) << c.name;
        EXPECT_EQ(job.error.code != 0, c.kind != qg::platform::ErrorKind::none) << c.name;
    }
}

}  // namespace
