#include "serve.h"

#include <string>

#include "answer.h"
#include "log.h"
#include "scheduler.h"

namespace qgecho {
namespace {

constexpr std::size_t kWorkers = 8;

// The request as qg-echo's renderer knows it, copied out of the library's
// handle so the handle can go with the answer.
Request to_request(const qga_request* req) {
    Request request;
    request.output_path = qga_output_path(req);
    const std::size_t count = qga_param_count(req);
    for (std::size_t i = 0; i < count; ++i) {
        const char* name = nullptr;
        const char* value = nullptr;
        std::size_t length = 0;
        if (qga_param_at(req, i, &name, &value, &length) == QGA_OK) {
            request.variables.emplace_back(name, std::string(value, length));
        }
    }
    std::size_t length = 0;
    const char* body = qga_body(req, &length);
    request.body.assign(body, length);
    request.has_body = length > 0;
    return request;
}

void respond(qga_request* req, const Request& request, const Behaviour& behaviour) {
    const std::string name = qga_request_name(req);
    const std::string answer = render_answer(request, behaviour);
    switch (qga_answer(req, answer.data(), answer.size())) {
        case QGA_OK: log_line("answered " + name); break;
        case QGA_GONE: log_line("abandoned " + name + ": " + qga_last_error()); break;
        default: log_line("failed " + name + ": " + qga_last_error()); break;
    }
    qga_release(req);
}

// Requests the library will not read (over its size limit, or not in the
// request format) are reported, not left to time out unseen.
void log_skipped(qga_dir* dir) {
    char line[512];
    while (qga_skipped(dir, line, sizeof line) != 0) log_line(std::string("not read: ") + line);
}

}  // namespace

int serve(qga_dir* dir, const Options& options, const std::atomic<bool>& stopping) {
    Scheduler scheduler(kWorkers);
    log_line("watching " + options.workdir + " for " + options.prefix.substr(0, 3) + "*.TMP");
    while (!stopping) {
        qga_request* req = nullptr;
        // A wait of a second at a time, so that files the library skipped
        // are logged soon even while no request comes.
        const int rc = qga_accept(dir, 1000, &req);
        log_skipped(dir);
        if (rc == QGA_TIMEOUT) continue;
        if (rc != QGA_OK) {
            log_line(std::string("cannot take requests: ") + qga_last_error());
            return 1;
        }
        auto request = to_request(req);
        const Behaviour behaviour = behaviour_for(request);
        // The handle goes with the job, which releases it.
        scheduler.submit(Scheduler::Clock::now() + behaviour.delay,
                         [req, request = std::move(request), behaviour] { respond(req, request, behaviour); });
    }
    return 0;
}

}  // namespace qgecho
