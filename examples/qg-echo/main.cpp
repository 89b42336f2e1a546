// qg-echo: a sample application for the Quillgate gateway. It answers every
// request in a work directory with an HTML page echoing the request. Finding,
// claiming, reading and answering requests is the application library's job;
// several qg-echo processes may serve one work directory.

#include <quillgate/app.h>

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <iostream>
#include <thread>

#include "log.h"
#include "options.h"
#include "serve.h"

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
    const int status = qgecho::serve(dir, *options, stopping);
    if (!stopping) {
        ::kill(::getpid(), SIGTERM);  // the stopper thread takes it
    }
    stopper.join();
    qga_close(dir);
    qgecho::log_line("stopped");
    return status;
}
