// Fault injection into whole request cycles: the built gateway runs with the
// preload library that fails its N-th file, inotify or memory call, for every
// N until a run makes fewer than N calls. Every run must exit with status 0,
// answer with the application's response or exactly one error page, leave
// none of its files behind (unless the failure path is one that keeps them),
// and write only whole log lines.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "application.h"
#include "fault_report.h"
#include "gateway_process.h"
#include "log_format.h"
#include "relay.h"
#include "texts.h"

namespace qg::test {
namespace {

namespace fs = std::filesystem;

// Who answers the request: nobody; the preload library, at the same point of
// every run, so that each N fails the same call; or an application thread of
// this test, as a real application would, at whatever moment it sees the
// request (so the gateway's wait, and the calls after it, vary from run to run).
enum class Answerer { none, library, application };

struct Scenario {
    const char* name;
    bool first_run;  // no settings file: the run writes one, work dir from TMPDIR
    Answerer answerer;
    const char* output;         // what the application writes into the output file
    const char* kinds;          // the calls that count
    bool short_transfer;        // the N-th read or write moves part of its bytes instead of failing
    std::size_t body_size = 7;  // bytes of form body sent
};

std::ostream& operator<<(std::ostream& os, const Scenario& s) { return os << s.name; }

constexpr const char* all_kinds = "open,read,write,rename,unlink,inotify,malloc";
constexpr const char* http_answer = "HTTP/1.0 200 OK\r\nContent-Type: text/plain\r\n\r\nanswer";

const Scenario scenarios[] = {
    {"answered", false, Answerer::library, http_answer, all_kinds, false},
    {"answered_without_header", false, Answerer::library, "<p>answer</p>", all_kinds, false},
    {"answered_by_application", false, Answerer::application, http_answer, all_kinds, false},
    {"first_run", true, Answerer::library, http_answer, all_kinds, false},
    {"short_transfers", false, Answerer::library, http_answer, "read,write", true},
    {"short_transfers_without_header", false, Answerer::library, "<p>answer</p>", "read,write", true},
    // Each run waits a second; memory and the settings reads are covered above.
    {"timed_out", false, Answerer::none, "", "open,write,rename,unlink,inotify", false},
    // A body that takes several reads and several blocks of memory.
    {"large_body", false, Answerer::library, http_answer, "read,write,malloc", false, 300000},
};

std::string page(std::string_view title, std::string_view message) { return error_page(title, message); }

const std::set<std::string> error_pages = {
    page(text::title_timed_out, text::page_timed_out),   page(text::title_unreadable, text::page_unreadable),
    page(text::title_no_output, text::page_no_output),   page(text::title_exception, text::page_exception),
    page(text::title_not_passed, text::page_not_passed),
};

const std::set<std::string> log_messages_known = {std::string(text::log_timed_out), std::string(text::log_unreadable),
                                                  std::string(text::log_exception), std::string(text::log_not_passed)};

// A zeroed page that the preload library maps and fills.
class ReportFile {
public:
    explicit ReportFile(std::string path) : path_(std::move(path)) {}
    void reset() const { write_file(path_, std::string(4096, '\0')); }
    fault::Report read() const {
        fault::Report report;
        const std::string bytes = read_file(path_);
        if (bytes.size() >= sizeof report) std::memcpy(&report, bytes.data(), sizeof report);
        return report;
    }
    const std::string& path() const { return path_; }

private:
    std::string path_;
};

class FaultSweep : public ::testing::TestWithParam<Scenario> {};

TEST_P(FaultSweep, EveryFailingCallEndsInAnAnswerOrOnePage) {
    const Scenario& s = GetParam();
    const auto started = std::chrono::steady_clock::now();
    GatewaySandbox box(std::nullopt);
    // The gateway logs into its current directory until it knows the work
    // directory: keep that inside the sandbox too.
    struct InDirectory {
        fs::path previous = fs::current_path();
        explicit InDirectory(const std::string& dir) { fs::current_path(dir); }
        ~InDirectory() { fs::current_path(previous); }
    } in_sandbox(box.root());
    const std::string settings =
        box.settings_for(s.answerer != Answerer::none ? "Timeout=20\r\nPollTime=5\r\n" : "Timeout=1\r\nPollTime=5\r\n");
    const ReportFile report(box.root() + "fault.report");
    const std::string answer = std::string_view(s.output).starts_with("HTTP")
                                   ? std::string(s.output)
                                   : std::string(text::default_header) + s.output;
    const std::string body = s.body_size == 7 ? "a=1&b=2" : "f=" + std::string(s.body_size - 2, 'z');
    const std::string expected_clean = s.answerer != Answerer::none ? answer : page(text::title_timed_out, text::page_timed_out);

    std::map<std::string, std::size_t> log_seen;  // bytes of each log already checked
    int waited_without_limit = 0;
    std::uint64_t n = 1;
    for (;; ++n) {
        ASSERT_LT(n, 5000u) << "the sweep does not end";
        SCOPED_TRACE("failing call " + std::to_string(n));
        if (s.first_run) {
            fs::remove(box.settings_file());
        } else {
            write_file(box.settings_file(), settings);
        }
        report.reset();

        std::vector<std::string> env = {"REQUEST_METHOD=POST",
                                        "CONTENT_LENGTH=" + std::to_string(body.size()),
                                        "QUERY_STRING=x=1&y=2",
                                        "HTTP_USER_AGENT=sweep/1.0",
                                        "TMPDIR=" + box.work(),
                                        "LD_PRELOAD=" QG_FAULT_SHIM,
                                        "QG_FAULT_AT=" + std::to_string(n),
                                        std::string("QG_FAULT_KINDS=") + s.kinds,
                                        "QG_FAULT_REPORT=" + report.path(),
                                        s.short_transfer ? "QG_FAULT_SHORT=1" : "QG_FAULT_SHORT=0"};
        const std::string request_copy = box.root() + "request.copy";
        fs::remove(request_copy);
        if (s.answerer == Answerer::library) {
            env.push_back(std::string("QG_FAULT_ANSWER=") + s.output);
            env.push_back("QG_FAULT_REQUEST_COPY=" + request_copy);
        }
        GatewayResult result;
        std::optional<std::string> passed_request;  // what the application was given, if anything
        bool ended_waiting = false;
        {
            std::optional<Application> app;
            if (s.answerer == Answerer::application) {
                app.emplace(box.work(), "qg_", [&](const std::string& request) {
                    passed_request = request;
                    return Answer{s.output};
                });
            }
            const std::string tag = "run" + std::to_string(n);
            Child gateway = box.start(env, body, tag);
            // Without the Timeout setting (its read failed while the settings
            // file exists) the gateway waits without limit, as for Timeout=0;
            // an unanswered run in that state is ended here.
            const auto began = std::chrono::steady_clock::now();
            while (gateway.running()) {
                const bool long_wait = std::chrono::steady_clock::now() - began > std::chrono::seconds(3);
                if (long_wait && s.answerer == Answerer::none && report.read().failed_path == box.settings_file()) {
                    gateway.kill(SIGKILL);
                    ended_waiting = true;
                    break;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
            result = box.finish(gateway, tag);
        }
        if (s.answerer == Answerer::library && fs::exists(request_copy)) passed_request = read_file(request_copy);
        const fault::Report r = report.read();
        if (ended_waiting) {
            ++waited_without_limit;
            for (const auto& name : box.work_files()) fs::remove(box.work() + name);
            continue;
        }
        const bool injected = r.failed_kind != 0;
        const std::string what =
            injected ? std::string(fault::kind_names[r.failed_kind - 1]) + " " + r.failed_path : "nothing";
        SCOPED_TRACE("failed: " + what);

        EXPECT_TRUE(result.exited);
        EXPECT_EQ(result.status, 0);

        // What reached the browser. A failed write to standard output loses
        // that piece of it, so then only the rest is checked.
        const bool is_page = error_pages.count(result.output) != 0;
        const bool stdout_failed = injected && !s.short_transfer &&
                                   r.failed_kind - 1 == static_cast<int>(fault::Kind::write) && r.failed_fd == 1;
        if (!injected || s.short_transfer) {
            EXPECT_EQ(result.output, expected_clean);
        } else if (!stdout_failed) {
            EXPECT_TRUE(result.output == answer || is_page) << "output:\n" << result.output;
        }

        // A request reaches the application with its body whole; only a
        // failed read of standard input ends the body early, as its end would.
        const bool stdin_failed = injected && r.failed_kind - 1 == static_cast<int>(fault::Kind::read) && r.failed_fd == 0;
        if (passed_request && !stdin_failed) {
            EXPECT_TRUE(passed_request->ends_with("\r\n#@$ FORM VARIABLES $@#\r\n" + body + "\r\n"))
                << "request passed on ends with:\n"
                << passed_request->substr(passed_request->size() - std::min<std::size_t>(passed_request->size(), 200));
        }

        // The gateway's own files go, except on the exception path, which
        // keeps what it had made, and except a file whose deletion failed.
        const bool exception_page = result.output == page(text::title_exception, text::page_exception);
        const bool unlink_failed = injected && r.failed_kind - 1 == static_cast<int>(fault::Kind::unlink);
        const auto left = box.work_files();
        if (!exception_page) {
            std::string names;
            for (const auto& name : left) names += name + " ";
            EXPECT_LE(left.size(), unlink_failed ? 1u : 0u) << "left: " << names;
        }
        for (const auto& name : left) fs::remove(box.work() + name);
        for (const auto& entry : fs::directory_iterator(box.root())) {
            EXPECT_FALSE(entry.path().filename().string().starts_with("qg.ini."))
                << "settings file's temporary copy left: " << entry.path();
        }

        // Whole log lines only, each a known message, in the work directory
        // or, before that is known, in the current one.
        for (const std::string& path : {box.work() + "zrCGIErr.txt", box.root() + "zrCGIErr.txt"}) {
            const std::string log = read_file(path);
            std::size_t& seen = log_seen[path];
            ASSERT_GE(log.size(), seen);
            const std::string added = log.substr(seen);
            seen = log.size();
            EXPECT_TRUE(added.empty() || added.ends_with("\r\n")) << "partial log line: " << added;
            for (const auto& message : log_messages(added))
                EXPECT_TRUE(log_messages_known.count(message) != 0) << "log line: " << message;
        }

        if (!injected) break;                      // the run made fewer than n calls: every call has failed once
        if (::testing::Test::HasFailure()) break;  // one failing call is enough to look at
    }
    const auto seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::printf("[ sweep    ] %s: %llu runs (%d waited without limit), %.1f s\n", s.name,
                static_cast<unsigned long long>(n), waited_without_limit, seconds);
    EXPECT_GT(n, 1u) << "no call was counted: is the preload library active?";
}

INSTANTIATE_TEST_SUITE_P(Gateway, FaultSweep, ::testing::ValuesIn(scenarios),
                         [](const ::testing::TestParamInfo<Scenario>& param) { return std::string(param.param.name); });

}  // namespace
}  // namespace qg::test
