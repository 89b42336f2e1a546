#include "fastcgi/serial_handoff.h"

#include <vector>

#include "busy.h"
#include "cycle.h"
#include "fastcgi/answer.h"
#include "platform.h"
#include "relay.h"
#include "request_file.h"
#include "texts.h"

namespace qg::fastcgi {

std::optional<std::string> hand_off(std::uint16_t id, Incoming incoming, const Settings& settings,
                                    const std::function<bool()>& given_up, std::uint32_t check_ms) {
    Answer answer(id);
    const auto add = [&answer](std::string_view bytes) { answer.add(bytes); };
    const std::string& log_path = settings.log_path.empty() ? std::string(text::log_file_name) : settings.log_path;
    try {
        std::string text;
        add_environment(text, incoming.environment);
        std::vector<std::string>().swap(incoming.environment);
        finish_variables(text);
        const std::string& dir = settings.work_dir;
        platform::FileId output_id;
        const auto output_path = names_fit(dir) ? platform::make_temp_name(dir, text::output_prefix, &output_id)
                                                : platform::Result<std::string>(platform::Error{});
        if (!output_path) {
            log_error(log_path, text::log_not_passed, output_path.error());
            write_error_page(add, text::title_not_passed, text::page_not_passed);
            return answer.take();
        }
        prepend_output_file(text, *output_path);
        // Watching starts before the request exists, so no answer is missed.
        platform::DirectoryWatch watch(dir);
        const BodyPieces body = body_pieces(incoming.body);
        const auto made = platform::make_request_file(dir, settings.prefix, {text, body.text, body.line_end});
        // Nothing reads the body or the text again: a waiting request keeps
        // only its names.
        std::string().swap(text);
        std::string().swap(incoming.body);
        if (!made) {
            delete_when_free(*output_path);
            log_error(log_path, text::log_not_passed, made.error());
            write_error_page(add, text::title_not_passed, text::page_not_passed);
            return answer.take();
        }
        const std::string request_path = platform::request_path_case(*made);
        const std::string signal_path = signal_name_for(request_path);

        SignalSearch search;
        const Waited waited =
            wait_for_signal(watch, signal_path, settings.timeout_ms, settings.poll_ms, search, given_up, check_ms);
        if (waited == Waited::ended) {
            // A signal file that is already there is the gateway's to
            // delete; one that arrives later is the application's.
            if (const auto signal = platform::find_file_any_case(signal_path)) delete_when_free(*signal);
            delete_when_free(request_path);
            delete_when_free(*output_path);
            return std::nullopt;
        }
        if (waited == Waited::timed_out) log_error(log_path, text::log_timed_out, search.last_check);
        delete_when_free(waited == Waited::answered ? search.found : signal_path);
        delete_when_free(request_path);
        if (waited == Waited::answered)
            relay_output_file(*output_path, log_path, add, StatusLine::as_written, output_id);
        else
            write_error_page(add, text::title_timed_out, text::page_timed_out);
        delete_when_free(*output_path);
    } catch (...) {
        // As in the CGI program, the page follows what was relayed.
        log_exception(log_path);
        answer.add(exception_page());
    }
    return answer.take();
}

}  // namespace qg::fastcgi
