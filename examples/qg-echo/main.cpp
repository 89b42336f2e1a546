// qg-echo: a sample application for the Quillgate gateway. It answers every
// request in a work directory with an HTML page echoing the request. Finding,
// claiming, reading and answering requests is the application library's job;
// several qg-echo processes may serve one work directory.

#include <quillgate/app.h>

#include <pthread.h>
#include <signal.h>

#include <atomic>
#include <iostream>
#include <string>
#include <thread>

#include "answer.h"
#include "log.h"
#include "options.h"
#include "scheduler.h"

namespace {

constexpr std::size_t kWorkers = 8;

// The request as qg-echo's renderer knows it, copied out of the library's
// handle so the handle can go with the answer.
qgecho::Request to_request(const qga_request* req) {
    qgecho::Request request;
    request.output_path = qga_output_path(req);
    const std::size_t count = qga_param_count(req);
    for (std::size_t i = 0; i < count; ++i) {
        const char* name = nullptr;
        const char* value = nullptr;
        std::size_t length = 0;
        if (qga_param_at(req, i, &name, &value, &length) == QGA_OK) request.variables.emplace_back(name, std::string(value, length));
    }
    std::size_t length = 0;
    const char* body = qga_body(req, &length);
    request.body.assign(body, length);
    request.has_body = length > 0;
    return request;
}

void respond(qga_request* req, const qgecho::Request& request, const qgecho::Behaviour& behaviour) {
    const std::string name = qga_request_name(req);
    const std::string answer = qgecho::render_answer(request, behaviour);
    switch (qga_answer(req, answer.data(), answer.size())) {
        case QGA_OK: qgecho::log_line("answered " + name); break;
        case QGA_GONE: qgecho::log_line("abandoned " + name + ": " + qga_last_error()); break;
        default: qgecho::log_line("failed " + name + ": " + qga_last_error()); break;
    }
    qga_release(req);
}

void log_skipped(qga_dir* dir) {
    char line[512];
    while (qga_skipped(dir, line, sizeof line) != 0) qgecho::log_line(std::string("not read: ") + line);
}

}  // namespace

int main(int argc, char** argv) {
    int exit_code = 0;
    const auto options = qgecho::parse_options(argc, argv, &exit_code);
    if (!options) {
        return exit_code;
    }
    // SIGINT, SIGTERM and SIGHUP are blocked before any thread starts, so
    // every thread inherits the mask, and taken by one thread with sigwait.
    // A shell starts background jobs with SIGINT ignored, and an ignored
    // signal is discarded rather than queued, so the default action comes
    // back first.
    sigset_t stop_set;
    sigemptyset(&stop_set);
    for (const int sig : {SIGINT, SIGTERM, SIGHUP}) {
        ::signal(sig, SIG_DFL);
        sigaddset(&stop_set, sig);
    }
    if (pthread_sigmask(SIG_BLOCK, &stop_set, nullptr) != 0) {
        std::cerr << "qg-echo: cannot set up signal handling\n";
        return 1;
    }
    qga_dir* dir = nullptr;
    if (qga_open(options->workdir.c_str(), options->prefix.c_str(), nullptr, &dir) != QGA_OK) {
        std::cerr << "qg-echo: " << qga_last_error() << "\n";
        return 1;
    }
    std::atomic<bool> stopping = false;
    std::thread stopper([&] {
        int sig = 0;
        sigwait(&stop_set, &sig);
        stopping = true;
        qga_interrupt(dir);
    });
    int status = 0;
    {
        qgecho::Scheduler scheduler(kWorkers);
        qgecho::log_line("watching " + options->workdir + " for " + options->prefix.substr(0, 3) + "*.TMP");
        while (!stopping) {
            qga_request* req = nullptr;
            const int rc = qga_accept(dir, -1, &req);
            log_skipped(dir);
            if (rc == QGA_TIMEOUT) continue;
            if (rc != QGA_OK) {
                qgecho::log_line(std::string("cannot take requests: ") + qga_last_error());
                status = 1;
                break;
            }
            auto request = to_request(req);
            const qgecho::Behaviour behaviour = qgecho::behaviour_for(request);
            scheduler.submit(qgecho::Scheduler::Clock::now() + behaviour.delay,
                             [req, request = std::move(request), behaviour] { respond(req, request, behaviour); });
        }
        // The scheduler's destructor lets the workers finish what they are
        // answering; requests still waiting for their due time are given up.
    }
    if (!stopping) {
        ::kill(::getpid(), SIGTERM);  // wakes the stopper thread
    }
    stopper.join();
    qga_close(dir);
    qgecho::log_line("stopped");
    return status;
}
