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
    // Every worker may be waiting for a later job; the new one may be earlier.
    wake_.notify_all();
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
        lock.unlock();
        job();
        lock.lock();
    }
}

}  // namespace qgecho
