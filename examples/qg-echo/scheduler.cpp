#include "scheduler.h"

namespace qgecho {

Scheduler::Scheduler(std::size_t workers) {
    workers_.reserve(workers);
    for (std::size_t i = 0; i < workers; ++i) {
        workers_.emplace_back([this](const std::stop_token& stop) { work(stop); });
    }
}

Scheduler::~Scheduler() {
    for (auto& worker : workers_) {
        worker.request_stop();
    }
    wake_.notify_all();
    workers_.clear();  // joins
}

void Scheduler::submit(Clock::time_point due, Job job) {
    {
        const std::lock_guard lock(mutex_);
        queue_.emplace(due, std::move(job));
        ++submitted_;
    }
    // One worker is enough to look at the new job: it takes it when due, or
    // waits for the earliest due time. Waking all of them for every request
    // only made them fight for the lock.
    wake_.notify_one();
}

void Scheduler::work(const std::stop_token& stop) {
    std::unique_lock lock(mutex_);
    while (!stop.stop_requested()) {
        if (queue_.empty()) {
            wake_.wait(lock, stop, [this] { return !queue_.empty(); });
            continue;
        }
        const auto due = queue_.begin()->first;
        if (Clock::now() < due) {
            // Wait for the due time, or for a new job that may be due earlier.
            const unsigned long seen = submitted_;
            wake_.wait_until(lock, stop, due, [this, seen] { return submitted_ != seen; });
            continue;
        }
        Job job = std::move(queue_.begin()->second);
        queue_.erase(queue_.begin());
        // The next job may have had no one waiting for its due time (the
        // worker that waited for it may have been woken for this one).
        if (!queue_.empty()) wake_.notify_one();
        lock.unlock();
        job();
        lock.lock();
    }
}

}  // namespace qgecho
