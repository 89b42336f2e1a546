// One lane of work on libuv's thread pool for the responder's files: making
// a request's files and deleting its output file while other requests are
// about.
#pragma once

#include <uv.h>

#include <deque>
#include <memory>
#include <mutex>
#include <vector>

namespace qg::fastcgi {

// A job of the lane: run on a pool thread, then finished on the loop thread.
// An urgent job is one something waits for (the making of a request's
// files, which the application waits for); the others (deletes) can wait.
struct LaneJob {
    virtual ~LaneJob() = default;
    virtual void run() noexcept = 0;
    virtual void finish() {}
    virtual bool urgent() const { return true; }
};

// Jobs done one after another, by one pool thread at a time, which runs the
// queue until it is empty: urgent jobs in the order given, and the others in
// the order given; while both kinds wait they take turns, an urgent one
// first, so a request's files never wait behind a run of deletes, and the
// deletes keep up with the requests. Making or deleting a file
// takes the directory's lock in the kernel, so jobs on one work directory
// cannot run side by side anyway: several pool threads at it only spin on
// that lock, taking the CPU from the application and the web server. Each
// job is handed back to the loop thread as soon as it is done, while the
// pool thread goes on with the next. All calls are made on the loop thread.
class FileLane {
public:
    explicit FileLane(uv_loop_t* loop);
    ~FileLane();
    FileLane(const FileLane&) = delete;
    FileLane& operator=(const FileLane&) = delete;

    void add(std::unique_ptr<LaneJob> job);
    // Closes the lane's handle once its last job is done; a job added after
    // that is run and finished at once.
    void close();

private:
    static void drain(uv_work_t* work);
    static void drained(uv_work_t* work, int status);
    static void on_done(uv_async_t* async);
    void start();
    void finish_done();
    void close_if_idle();

    uv_loop_t* loop_;
    uv_work_t work_{};
    uv_async_t done_signal_{};
    std::mutex mutex_;
    std::deque<std::unique_ptr<LaneJob>> urgent_;  // guarded by mutex_
    std::deque<std::unique_ptr<LaneJob>> later_;   // guarded by mutex_
    bool urgent_last_ = false;                     // pool thread
    std::vector<std::unique_ptr<LaneJob>> done_;   // guarded by mutex_
    bool draining_ = false;                        // guarded by mutex_: a pool thread has the queue
    bool in_pool_ = false;                         // work_ is queued or running
    bool restart_ = false;                         // work_ goes to the pool again once it is back
    bool closing_ = false;
    bool closed_ = false;
};

}  // namespace qg::fastcgi
