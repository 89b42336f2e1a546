// A test application on the library: THREADS threads take requests from one
// work directory and answer each with its query string. Every outcome is one
// line on standard output ("answered QUERY", "gone QUERY"), so a test can count
// answers across processes. A query holding "hold" is claimed and never
// answered (the process is meant to be killed meanwhile); "sleepN" makes the
// handler take N seconds. QGA_TEST_EXPIRY sets the claim expiry (seconds).
#include <quillgate/app.h>

#include <pthread.h>
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <string>
#include <thread>
#include <vector>

namespace {

std::atomic<bool> stop{false};
qga_dir* dir = nullptr;

void say(const std::string& line) {
    const std::string text = line + "\n";
    [[maybe_unused]] const ssize_t n = ::write(STDOUT_FILENO, text.data(), text.size());
}

void serve() {
    while (!stop) {
        qga_request* req = nullptr;
        const int rc = qga_accept(dir, 1000, &req);
        if (rc == QGA_TIMEOUT) continue;
        if (rc != QGA_OK) {
            say(std::string("error ") + qga_last_error());
            return;
        }
        const char* value = qga_param(req, "QUERY_STRING", nullptr);
        const std::string query = value != nullptr ? value : "";
        say("claimed " + query);
        if (const auto at = query.find("sleep"); at != std::string::npos) {
            const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(std::atoi(query.c_str() + at + 5));
            while (!stop && std::chrono::steady_clock::now() < until)
                std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        if (query.find("hold") != std::string::npos) {
            say("holding " + query);
            while (!stop) std::this_thread::sleep_for(std::chrono::milliseconds(50));
        }
        const std::string answer = "tag=" + query + "\n";
        const int done = qga_answer(req, answer.data(), answer.size());
        say((done == QGA_OK ? "answered " : done == QGA_GONE ? "gone " : "failed ") + query);
        qga_release(req);
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) return 2;
    qga_options options{};
    options.size = sizeof options;
    if (const char* expiry = std::getenv("QGA_TEST_EXPIRY")) options.claim_expiry_s = static_cast<unsigned>(std::atoi(expiry));
    if (qga_open(argv[1], "qg_", &options, &dir) != QGA_OK) {
        say(std::string("error ") + qga_last_error());
        return 1;
    }
    // SIGTERM is taken by one thread, which stops the others.
    sigset_t term;
    sigemptyset(&term);
    sigaddset(&term, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &term, nullptr);
    std::thread stopper([&] {
        int sig = 0;
        sigwait(&term, &sig);
        stop = true;
        qga_interrupt(dir);
    });
    std::vector<std::thread> threads;
    for (int i = 0; i < std::atoi(argv[2]); ++i) threads.emplace_back(serve);
    say("ready");
    for (auto& thread : threads) thread.join();
    stopper.join();
    qga_close(dir);
    return 0;
}
