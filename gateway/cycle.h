// The request cycle: from the CGI environment to the relayed response or the
// error page, inside one catch-all guard.
#pragma once

#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "platform.h"
#include "relay.h"

namespace qg {

// A time-out of this many milliseconds never passes.
inline constexpr std::uint32_t no_time_limit = 0xFFFFFFFFu;
// Longest full path of a request, output or signal file.
inline constexpr std::size_t max_file_name = 127;

// Milliseconds to wait for the application. `timeout_setting` is the Timeout
// key in seconds; `first_run` says there is no settings file yet.
std::uint32_t decide_timeout(std::int64_t timeout_setting, bool first_run);

// Poll interval from the PollTime key; a negative value reads as 150.
std::uint32_t poll_interval(std::int64_t poll_setting);

// Request-file prefix from the Template key: at most 9 characters, lower case.
std::string request_prefix(std::string_view template_setting);

// Whether temporary names made in `work_dir` fit their 127-character limit.
bool names_fit(std::string_view work_dir);

// The signal file of a request file: its ".TMP" extension becomes ".ret".
std::string signal_name_for(std::string_view request_path);

// CONTENT_LENGTH as a byte count: leading white space, an optional sign, then
// digits up to the first other character. Negative, non-numeric and values
// beyond 2^31 - 1 give 0, which reads nothing.
std::uint64_t parse_content_length(std::string_view text);

// How a wait for the application's answer ended.
enum class Waited { answered, timed_out, ended };

// What a wait for the signal file found on the way.
struct SignalSearch {
    std::string found;           // the path of the signal file, once answered
    platform::Error last_check;  // what the last failed look-up met: a time-out's log line records it
};

// Checks for the signal file until it appears, the time-out passes or the
// wait is ended (`ended` says so; by default, the web server asking the
// gateway to end); between two checks it waits for a change in the work
// directory, at most one poll interval, and at most `check_ms` between two
// calls of `ended`. A check is one look-up of the exact name, and of a name in
// another letter case that the watch reported. When the watch cannot tell
// (events lost, or, with no watch, a directory changed since it was last
// read) the usual spellings of the name are looked up, and the directory is
// searched at most once per poll interval (once in five seconds without a
// watch), so waiting costs the same however many files the directory holds.
Waited wait_for_signal(platform::DirectoryWatch& watch, const std::string& signal_path, std::uint32_t timeout_ms,
                       std::uint32_t poll_ms, SignalSearch& search, const std::function<bool()>& ended = {},
                       std::uint32_t check_ms = no_time_limit);

// One run of the gateway as seen by the guarded work: where the response and
// error pages go, and where the error log lies.
class Run {
public:
    Run(platform::FaultGuard& guard, Sink out, std::function<void()> end = {});

    const Sink& out() const { return out_; }
    // Called once the whole answer is written, before the run cleans up.
    void end_output() const {
        if (end_) end_();
    }
    const std::string& log_path() const { return log_path_; }
    // Moves the error log into the work directory once it is known.
    void set_work_dir(std::string_view work_dir);

private:
    platform::FaultGuard& guard_;
    Sink out_;
    std::function<void()> end_;
    std::string log_path_;
};

// Runs `work` inside the catch-all guard: an exception or a fault ends it with
// the log entry and the error page, and the process still exits with status 0.
// `end`, when given, ends the answer once it is complete.
void run_guarded(const std::function<void(Run&)>& work, const Sink& out, const std::function<void()>& end = {});

// The gateway's whole request cycle.
void request_cycle(Run& run);

// Entry point of the program: prepares the process and runs the cycle guarded,
// answering on standard output.
void serve_request();

}  // namespace qg
