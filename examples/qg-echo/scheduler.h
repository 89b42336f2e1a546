#pragma once
// A small worker pool whose jobs carry a due time: a request that asks to be
// answered late waits in the queue, not in a worker, so slow requests never
// hold up the others.

#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <functional>
#include <map>
#include <mutex>
#include <thread>
#include <vector>

namespace qgecho {

class Scheduler {
public:
    using Clock = std::chrono::steady_clock;
    using Job = std::function<void()>;

    explicit Scheduler(std::size_t workers);
    Scheduler(const Scheduler&) = delete;
    Scheduler& operator=(const Scheduler&) = delete;
    // Stops the workers after their current job; jobs not yet due are dropped.
    ~Scheduler();

    void submit(Clock::time_point due, Job job);

private:
    void work(const std::stop_token& stop);

    std::mutex mutex_;
    std::condition_variable_any wake_;
    std::multimap<Clock::time_point, Job> queue_;
    unsigned long submitted_ = 0;        // lets a waiting worker notice new jobs
    std::vector<std::jthread> workers_;  // last member: joined before the rest is destroyed
};

}  // namespace qgecho
