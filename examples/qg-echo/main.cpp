// qg-echo: a sample application for the Quillgate gateway. It answers every
// request file in a work directory with an HTML page echoing the request.

#include <sys/signalfd.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <iostream>
#include <string>

#include "log.h"
#include "options.h"
#include "scheduler.h"
#include "unique_fd.h"
#include "watcher.h"
#include "workdir.h"

namespace {

constexpr std::size_t kWorkers = 8;

// Routes SIGINT, SIGTERM and SIGHUP to a descriptor the watcher polls. They
// are blocked before any worker starts, so every thread inherits the mask.
// A shell starts background jobs with SIGINT ignored, and an ignored signal
// is discarded rather than queued, so the default action comes back first.
qgecho::UniqueFd stop_signals() {
    sigset_t set;
    sigemptyset(&set);
    for (const int sig : {SIGINT, SIGTERM, SIGHUP}) {
        std::signal(sig, SIG_DFL);
        sigaddset(&set, sig);
    }
    if (pthread_sigmask(SIG_BLOCK, &set, nullptr) != 0) {
        return {};
    }
    return qgecho::UniqueFd(::signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK));
}

}  // namespace

int main(int argc, char** argv) {
    int exit_code = 0;
    const auto options = qgecho::parse_options(argc, argv, &exit_code);
    if (!options) {
        return exit_code;
    }
    std::string error;
    const auto dir = qgecho::WorkDir::open(options->workdir, &error);
    if (!dir) {
        std::cerr << "qg-echo: " << error << "\n";
        return 1;
    }
    const qgecho::UniqueFd stop = stop_signals();
    if (!stop) {
        std::cerr << "qg-echo: cannot set up signal handling: " << std::strerror(errno) << "\n";
        return 1;
    }
    qgecho::Scheduler scheduler(kWorkers);
    qgecho::Watcher watcher(*dir, options->prefix, scheduler);
    qgecho::log_line("watching " + dir->path() + " for " + options->prefix.substr(0, 3) + "*.TMP");
    const bool ok = watcher.run(stop.get());
    qgecho::log_line("stopped");
    return ok ? 0 : 1;
}
