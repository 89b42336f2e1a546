// qg-echo: a sample application for the Quillgate gateway. It answers every
// request file in a work directory with an HTML page echoing the request.

#include <sys/signalfd.h>
#include <unistd.h>

#include <csignal>
#include <cstring>
#include <iostream>
#include <optional>
#include <string>
#include <string_view>

#include "log.h"
#include "scheduler.h"
#include "unique_fd.h"
#include "watcher.h"
#include "workdir.h"

namespace {

constexpr std::size_t kWorkers = 8;

constexpr std::string_view kUsage =
    "Usage: qg-echo [--workdir DIR] [--prefix PFX]\n"
    "\n"
    "Answers the Quillgate gateway's requests in DIR with an HTML page that echoes\n"
    "the method, the path, the variables and the form body.\n"
    "\n"
    "  --workdir DIR  work directory shared with the gateway (its Path setting);\n"
    "                 default: the current directory\n"
    "  --prefix PFX   request-file prefix (the gateway's Template setting); only the\n"
    "                 first three characters count, in any letter case; default qg_\n"
    "  --help         show this text\n"
    "\n"
    "Query parameters steer an answer: qg_sleep=MS answers late, qg_status=N with\n"
    "qg_location=URL answers with its own status line, qg_bytes=N answers with N\n"
    "bytes, qg_empty=1 answers with an empty output file.\n"
    "Runs until SIGINT or SIGTERM.\n";

struct Options {
    std::string workdir = ".";
    std::string prefix = "qg_";
};

std::optional<Options> parse_options(int argc, char** argv, int* exit_code) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::cout << kUsage;
            *exit_code = 0;
            return std::nullopt;
        }
        if ((arg == "--workdir" || arg == "--prefix") && i + 1 < argc) {
            (arg == "--workdir" ? options.workdir : options.prefix) = argv[++i];
            continue;
        }
        std::cerr << "qg-echo: unknown or incomplete option: " << arg << "\n" << kUsage;
        *exit_code = 2;
        return std::nullopt;
    }
    if (options.prefix.empty() || options.workdir.empty()) {
        std::cerr << "qg-echo: --prefix and --workdir must not be empty\n";
        *exit_code = 2;
        return std::nullopt;
    }
    return options;
}

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
    const auto options = parse_options(argc, argv, &exit_code);
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
