#include "fastcgi/jobs.h"

#include "busy.h"
#include "cycle.h"
#include "platform.h"
#include "relay.h"
#include "request_file.h"
#include "texts.h"

namespace qg::fastcgi {
namespace {

// On a pool thread: the files of a new request, as the CGI program makes them.
void make_files(uv_work_t* work) {
    auto& job = *static_cast<MakeJob*>(work->data);
    try {
        const Settings& s = job.settings;
        if (!names_fit(s.work_dir)) {
            job.failed = true;
            return;
        }
        job.output_path = platform::make_temp_name(s.work_dir, text::output_prefix);
        if (!job.output_path) {
            job.failed = true;
            return;
        }
        prepend_output_file(job.text, *job.output_path);
        const BodyPieces body = body_pieces(job.body);
        const auto made = platform::make_request_file(s.work_dir, s.prefix, {job.text, body.text, body.line_end});
        // Nothing reads the body or the text again: a waiting request keeps
        // only its names.
        std::string().swap(job.text);
        std::string().swap(job.body);
        if (!made) {
            platform::delete_file(*job.output_path);
            job.failed = true;
            return;
        }
        job.request_path = platform::request_path_case(*made);
    } catch (...) {
        job.exception = true;
    }
}

// The clean-up and relay of an answered request (on the loop thread).
void relay(uv_work_t* work) {
    auto& job = *static_cast<RelayJob*>(work->data);
    const Pending& p = *job.pending;
    try {
        // An application may still hold its signal file open for a moment.
        delete_when_free(job.found_signal);
        platform::delete_file(p.request_path);
        // The output file goes once the answer is sent (request_relayed):
        // its delete frees its blocks, the slowest call of the request, and
        // the web server need not wait for it.
        relay_output_file(p.output_path, p.log_path, [&](std::string_view bytes) { job.answer.add(bytes); });
    } catch (...) {
        // As in the CGI program, the page follows what was relayed.
        log_error(p.log_path, text::log_exception);
        job.answer.add(exception_page());
    }
}

void made(uv_work_t* work, int) {
    std::unique_ptr<MakeJob> job(static_cast<MakeJob*>(work->data));
    job->responder->request_made(*job);
}

void relayed(uv_work_t* work, int) {
    std::unique_ptr<RelayJob> job(static_cast<RelayJob*>(work->data));
    job->responder->request_relayed(*job);
}

struct DeleteJob {
    uv_work_t work{};
    std::string path;
};

void delete_now(uv_work_t* work) {
    try {
        platform::delete_file(static_cast<DeleteJob*>(work->data)->path);
    } catch (...) {
        // Left for the packaged ageing rule, as any file a crash leaves.
    }
}

void deleted(uv_work_t* work, int) { std::unique_ptr<DeleteJob>(static_cast<DeleteJob*>(work->data)); }

}  // namespace

void delete_on_pool(uv_loop_t* loop, std::string path) {
    auto job = std::make_unique<DeleteJob>();
    job->path = std::move(path);
    job->work.data = job.get();
    if (uv_queue_work(loop, &job->work, delete_now, deleted) == 0) {
        job.release();
    } else {
        delete_now(&job->work);
    }
}

void queue(uv_loop_t* loop, std::unique_ptr<MakeJob> job, bool here) {
    job->work.data = job.get();
    if (!here && uv_queue_work(loop, &job->work, make_files, made) == 0) {
        job.release();
    } else {
        make_files(&job->work);
        job->responder->request_made(*job);
    }
}

void queue(uv_loop_t* loop, std::unique_ptr<RelayJob> job, bool here) {
    job->work.data = job.get();
    if (!here && uv_queue_work(loop, &job->work, relay, relayed) == 0) {
        job.release();
    } else {
        relay(&job->work);
        job->responder->request_relayed(*job);
    }
}

}  // namespace qg::fastcgi
