#include "cycle.h"

#include <algorithm>
#include <optional>

#include "ascii.h"
#include "body.h"
#include "busy.h"
#include "request_file.h"
#include "texts.h"

namespace qg {
namespace {

constexpr std::uint32_t first_run_timeout_ms = 30000;
constexpr std::uint32_t default_poll_ms = 150;
constexpr std::size_t max_template = 9;
// A body without a length is read to its end, but never beyond the largest
// length a CONTENT_LENGTH may claim.
constexpr std::uint64_t max_body = 0x7FFFFFFF;
// A temporary name adds at most a separator, three prefix characters, four
// hexadecimal digits and ".TMP" to the directory.
constexpr std::size_t temp_name_suffix = 3 + 4 + 4;

// Ends a run that could not hand its request over: remove what was made (which
// may free the room the log line needs), log, answer with the error page.
void request_not_passed(const Run& run, const platform::Error& error, std::initializer_list<const std::string*> made) {
    for (const std::string* path : made) delete_when_free(*path);
    log_error(run.log_path(), text::log_not_passed, error);
    write_error_page(run.out(), text::title_not_passed, text::page_not_passed);
}

// Ends a run that the web server asked to stop: its files go, nothing more is
// written. A signal file that is already there is the gateway's to delete;
// one that arrives later is the application's.
void ended_by_server(std::initializer_list<const std::string*> made, const std::string* signal_path = nullptr) {
    if (signal_path != nullptr)
        if (const auto found = platform::find_file_any_case(*signal_path)) delete_when_free(*found);
    for (const std::string* path : made) delete_when_free(*path);
}

// Without change notification a directory search for the signal file in an
// unusual letter case (neither its usual spellings nor one the watch named)
// comes at most this often: a busy directory changes at every poll, each
// search reads all of it, and hundreds of gateways may poll at once beyond
// the account's inotify instances.
constexpr std::uint32_t polling_search_ms = 5000;

}  // namespace

Waited wait_for_signal(platform::DirectoryWatch& watch, const std::string& signal_path, std::uint32_t timeout_ms,
                       std::uint32_t poll_ms, SignalSearch& search, const std::function<bool()>& ended,
                       std::uint32_t check_ms) {
    using News = platform::DirectoryWatch::News;
    const std::uint32_t start = platform::tick_ms();
    const std::uint32_t search_every = watch.active() ? poll_ms : std::max(poll_ms, polling_search_ms);
    // The request was made just now, with no signal file in a usual spelling
    // left under its number: the first search is due one interval on.
    bool search_due = false;
    bool look_up_due = !watch.active();
    std::uint32_t last_search = start;
    std::string named;
    // One exact look-up; a failed one is what a time-out's log line records.
    const auto there = [&search](const std::string& path) {
        search.last_check = platform::look_up(path);
        return !search.last_check.failed();
    };
    for (;;) {
        if (ended ? ended() : platform::termination_requested()) return Waited::ended;
        if (there(signal_path)) {
            search.found = signal_path;
            return Waited::answered;
        }
        if (!named.empty() && there(named)) {
            search.found = std::move(named);
            return Waited::answered;
        }
        named.clear();
        if (look_up_due) {
            look_up_due = false;
            if (auto signal = platform::find_file_usual_case(signal_path)) {
                search.found = std::move(*signal);
                return Waited::answered;
            }
        }
        std::uint32_t pause = std::min(poll_ms, check_ms);
        if (search_due) {
            const std::uint32_t now = platform::tick_ms();
            const std::uint32_t since = now - last_search;
            if (since >= search_every) {
                last_search = now;
                search_due = false;
                if (auto signal = platform::find_file_any_case(signal_path)) {
                    search.found = std::move(*signal);
                    return Waited::answered;
                }
            } else {
                pause = std::min(pause, search_every - since);  // the search is due then
            }
        }
        const std::uint32_t elapsed = platform::tick_ms() - start;  // wraps harmlessly
        if (elapsed > timeout_ms) return Waited::timed_out;
        if (watch.wait(signal_path, pause, &named) == News::lost) search_due = look_up_due = true;
    }
}

namespace {

// A request whose body comes chunked has no CONTENT_LENGTH; the web server
// passes the decoded body on standard input and says so in this variable.
bool chunked_body() {
    const auto encoding = platform::environment_value("HTTP_TRANSFER_ENCODING");
    if (!encoding) return false;
    std::string lower(*encoding);
    std::transform(lower.begin(), lower.end(), lower.begin(), ascii::lower);
    return lower.find("chunked") != std::string::npos;
}

}  // namespace

std::uint32_t decide_timeout(std::int64_t timeout_setting, bool first_run) {
    if (timeout_setting == 0) return first_run ? first_run_timeout_ms : no_time_limit;
    if (timeout_setting < 0 || timeout_setting >= std::int64_t{no_time_limit} / 1000 + 1) return no_time_limit;
    return static_cast<std::uint32_t>(timeout_setting * 1000);
}

std::uint32_t poll_interval(std::int64_t poll_setting) {
    if (poll_setting < 0) return default_poll_ms;
    return static_cast<std::uint32_t>(std::min<std::int64_t>(poll_setting, 0xFFFFFFFF));
}

std::string request_prefix(std::string_view template_setting) {
    std::string prefix(template_setting.substr(0, max_template));
    std::transform(prefix.begin(), prefix.end(), prefix.begin(), ascii::lower);
    return prefix;
}

bool names_fit(std::string_view work_dir) {
    const bool has_separator = platform::ends_with_separator(work_dir);
    return work_dir.size() + (has_separator ? 0 : 1) + temp_name_suffix <= max_file_name;
}

std::string signal_name_for(std::string_view request_path) {
    // Only the file name's extension is replaced, never a ".tmp" in a
    // directory name.
    const std::size_t name_start = platform::file_name_start(request_path);
    const auto dot = request_path.rfind('.');
    if (dot == std::string_view::npos || dot < name_start) return std::string(request_path) + ".ret";
    return std::string(request_path.substr(0, dot)) + ".ret";
}

std::uint64_t parse_content_length(std::string_view text) {
    constexpr std::uint64_t limit = 0x7FFFFFFF;
    std::size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    std::uint64_t value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = value * 10 + static_cast<std::uint64_t>(text[i] - '0');
        if (value > limit) return 0;
    }
    return negative ? 0 : value;
}

Run::Run(platform::FaultGuard& guard, Sink out, std::function<void()> end)
    : guard_(guard), out_(std::move(out)), end_(std::move(end)), log_path_(text::log_file_name) {}

void Run::set_work_dir(std::string_view work_dir) {
    log_path_ = std::string(work_dir) + std::string(text::log_file_name);
    guard_.set_log_path(log_path_);
}

void run_guarded(const std::function<void(Run&)>& work, const Sink& out, const std::function<void()>& end) {
    // Neither arming the guard nor the catch-all needs memory, so a run that
    // has none left still ends with the log entry and the page.
    platform::FaultGuard guard(text::log_file_name, text::log_exception, exception_page());
    Run run(guard, out, end);
    try {
        work(run);
    } catch (...) {
        log_exception(run.log_path());
        out(exception_page());
    }
}

void request_cycle(Run& run) {
    using namespace std::string_view_literals;
    const std::string settings = platform::settings_path();
    const auto section = text::settings_section;
    if (settings.empty()) {
        // Without its settings the gateway would wait in a directory the
        // application never reads and write settings where nobody looks.
        // The log goes where the default work directory would put it.
        run.set_work_dir(platform::temp_dir());
        log_error(run.log_path(), text::log_no_settings, {});
        write_error_page(run.out(), text::title_no_settings, text::page_no_settings);
        return;
    }

    platform::Profile profile(settings);
    std::string work_dir = profile.read_text(section, text::key_path, ""sv);
    if (work_dir.empty()) work_dir = platform::temp_dir();
    run.set_work_dir(work_dir);

    // Opt-in exact requests: every variable whole, the body byte for byte.
    const Values values = profile.read_int(section, text::key_full_values, 0) != 0 ? Values::full : Values::cut;
    const BodyForm body_form =
        profile.read_int(section, text::key_binary_body, 0) != 0 ? BodyForm::binary : BodyForm::text;
    const auto body_reader = [body_form] {
        return body_form == BodyForm::binary ? platform::binary_stdin() : platform::text_mode_stdin();
    };

    std::string request;
    add_environment(request, platform::environment(), values);
    finish_variables(request);
    Body body;
    if (const auto content_length = platform::environment_value(text::content_length))
        body = Body::read(parse_content_length(*content_length), body_reader());
    else if (chunked_body())
        body = Body::read(max_body, body_reader());
    if (platform::termination_requested()) return;  // nothing made yet

    const std::int64_t timeout_setting = profile.read_int(section, text::key_timeout, 0);
    const std::uint32_t poll_ms = poll_interval(profile.read_int(section, text::key_poll_time, default_poll_ms));
    const std::string prefix = request_prefix(profile.read_text(section, text::key_template, text::default_template));

    // Decided from the same read as the values above: a settings file that
    // another run writes meanwhile must not turn this run's limit into none.
    const bool first_run = timeout_setting == 0 && !profile.found();
    if (first_run) {
        // Later runs find these and wait 50 seconds; a failed write only means
        // the next run is a first run again.
        profile.write_text(section, text::key_timeout, "50");
        profile.write_text(section, text::key_poll_time, "150");
    }
    const std::uint32_t timeout_ms = decide_timeout(timeout_setting, first_run);

    if (!names_fit(work_dir)) {
        request_not_passed(run, {}, {});
        return;
    }
    platform::FileId output_id;
    const auto output_path = platform::make_temp_name(work_dir, text::output_prefix, &output_id);
    if (!output_path) {
        request_not_passed(run, output_path.error(), {});
        return;
    }
    prepend_output_file(request, *output_path);

    // Watching starts before the request exists, so no answer is missed.
    platform::DirectoryWatch watch(work_dir);
    const auto made_request = [&] {
        const BodyPieces body_text = body_pieces(body.bytes(), body_form);
        return platform::make_request_file(work_dir, prefix, {request, body_text.text, body_text.line_end});
    }();
    if (!made_request) {
        request_not_passed(run, made_request.error(), {&*output_path});
        return;
    }
    // Nothing reads the body or the request text again: their memory goes
    // back to the system now rather than staying resident through the wait.
    body = Body();
    std::string().swap(request);
    const std::string request_path = platform::request_path_case(*made_request);
    const std::string signal_path = signal_name_for(request_path);

    platform::lower_priority();
    SignalSearch search;
    const Waited waited = wait_for_signal(watch, signal_path, timeout_ms, poll_ms, search);
    if (waited == Waited::ended) {
        ended_by_server({&request_path, &*output_path}, &signal_path);
        return;
    }
    if (waited == Waited::timed_out) log_error(run.log_path(), text::log_timed_out, search.last_check);

    // Every file goes by the busy rule: an application may still hold its
    // signal file open for a moment, and on Windows a scanner that holds a
    // file without delete sharing would leave it behind, its number taken
    // and, for the request file, its claim renewed for ever.
    delete_when_free(waited == Waited::answered ? search.found : signal_path);
    delete_when_free(request_path);

    if (waited == Waited::answered) {
        // Behind a FastCGI wrapper the web server reads the answer as CGI
        // headers, so the application's status line must become one.
        const auto status_line =
            platform::environment_value(text::fastcgi_role) ? StatusLine::as_header : StatusLine::as_written;
        relay_output_file(*output_path, run.log_path(), run.out(), status_line, output_id);
        delete_when_free(*output_path);
    } else {
        delete_when_free(*output_path);
        write_error_page(run.out(), text::title_timed_out, text::page_timed_out);
    }
    // The answer is complete: let the web server have it now. Releasing the
    // directory watch, which follows, can take milliseconds.
    run.end_output();
}

void serve_request() {
    platform::prepare_process();
    run_guarded(
        request_cycle, [](std::string_view bytes) { platform::stdout_write(bytes); }, platform::stdout_close);
}

}  // namespace qg
