#include "fastcgi/jobs.h"

#include "busy.h"
#include "cycle.h"
#include "platform.h"
#include "relay.h"
#include "request_file.h"
#include "texts.h"

namespace qg::fastcgi {

void MakeJob::run() noexcept {
    try {
        const Settings& s = settings;
        if (!names_fit(s.work_dir)) {
            failed = true;
            return;
        }
        auto output = platform::make_temp_name(s.work_dir, text::output_prefix);
        if (!output) {
            failed = true;
            error = output.error();
            return;
        }
        output_path = std::move(*output);
        prepend_output_file(text, *output_path);
        const BodyPieces pieces = body_pieces(body);
        const auto made = platform::make_request_file(s.work_dir, s.prefix, {text, pieces.text, pieces.line_end});
        // Nothing reads the body or the text again: a waiting request keeps
        // only its names.
        std::string().swap(text);
        std::string().swap(body);
        if (!made) {
            platform::delete_file(*output_path);
            failed = true;
            error = made.error();
            return;
        }
        request_path = platform::request_path_case(*made);
    } catch (...) {
        exception = true;
    }
}

void MakeJob::finish() { responder->request_made(*this); }

namespace {

// The clean-up and relay of an answered request (on the loop thread).
void relay(RelayJob& job) {
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
        log_exception(p.log_path);
        job.answer.add(exception_page());
    }
}

struct DeleteJob final : LaneJob {
    explicit DeleteJob(std::string p) : path(std::move(p)) {}
    bool urgent() const override { return false; }
    void run() noexcept override {
        try {
            platform::delete_file(path);
        } catch (...) {
            // Left for the packaged ageing rule, as any file a crash leaves.
        }
    }
    std::string path;
};

}  // namespace

std::unique_ptr<LaneJob> delete_job(std::string path) { return std::make_unique<DeleteJob>(std::move(path)); }

void make_here(std::unique_ptr<MakeJob> job) {
    job->run();
    job->finish();
}

void relay_here(std::unique_ptr<RelayJob> job) {
    relay(*job);
    job->responder->request_relayed(*job);
}

}  // namespace qg::fastcgi
