#include "fastcgi/file_lane.h"

namespace qg::fastcgi {

FileLane::FileLane(uv_loop_t* loop) : loop_(loop) {
    work_.data = this;
    done_signal_.data = this;
    uv_async_init(loop_, &done_signal_, on_done);
    // The handle alone does not keep the loop running: the queued work does.
    uv_unref(reinterpret_cast<uv_handle_t*>(&done_signal_));
}

FileLane::~FileLane() = default;

void FileLane::add(std::unique_ptr<LaneJob> job) {
    if (closed_) {
        job->run();
        job->finish();
        return;
    }
    {
        std::lock_guard lock(mutex_);
        (job->urgent() ? urgent_ : later_).push_back(std::move(job));
        if (draining_) return;
        draining_ = true;
    }
    // The last run's end is not back on the loop thread yet: the queue goes
    // to the pool again from there.
    if (in_pool_)
        restart_ = true;
    else
        start();
}

void FileLane::start() {
    if (uv_queue_work(loop_, &work_, drain, drained) == 0) {
        in_pool_ = true;
        return;
    }
    // The pool refused the work: the queue is run here and now.
    drain(&work_);
    finish_done();
}

void FileLane::drain(uv_work_t* work) {
    auto& lane = *static_cast<FileLane*>(work->data);
    for (;;) {
        std::unique_ptr<LaneJob> job;
        {
            std::lock_guard lock(lane.mutex_);
            if (lane.urgent_.empty() && lane.later_.empty()) {
                lane.draining_ = false;
                return;
            }
            const bool take_urgent = !lane.urgent_.empty() && (lane.later_.empty() || !lane.urgent_last_);
            auto& from = take_urgent ? lane.urgent_ : lane.later_;
            lane.urgent_last_ = take_urgent;
            job = std::move(from.front());
            from.pop_front();
        }
        job->run();
        {
            std::lock_guard lock(lane.mutex_);
            lane.done_.push_back(std::move(job));
        }
        uv_async_send(&lane.done_signal_);
    }
}

void FileLane::drained(uv_work_t* work, int) {
    auto& lane = *static_cast<FileLane*>(work->data);
    lane.in_pool_ = false;
    lane.finish_done();
    // Finishing may have sent the queue to the pool again already; then the
    // end of that run restarts it if need be: work_ is never queued twice.
    if (lane.restart_ && !lane.in_pool_) {
        lane.restart_ = false;
        lane.start();
    }
    lane.close_if_idle();
}

void FileLane::on_done(uv_async_t* async) { static_cast<FileLane*>(async->data)->finish_done(); }

void FileLane::finish_done() {
    std::vector<std::unique_ptr<LaneJob>> done;
    {
        std::lock_guard lock(mutex_);
        done.swap(done_);
    }
    for (auto& job : done) job->finish();
}

void FileLane::close() {
    closing_ = true;
    close_if_idle();
}

void FileLane::close_if_idle() {
    if (!closing_ || closed_ || in_pool_ || restart_) return;
    closed_ = true;
    uv_close(reinterpret_cast<uv_handle_t*>(&done_signal_), nullptr);
}

}  // namespace qg::fastcgi
