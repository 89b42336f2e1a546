#include "fastcgi/connection.h"

#include <algorithm>

#include "ascii.h"
#include "cycle.h"
#include "texts.h"

namespace qg::fastcgi {
namespace {

// A body without a length is read to its end, but never beyond the largest
// length a CONTENT_LENGTH may claim.
constexpr std::uint64_t max_body = 0x7FFFFFFF;

// The value of a parameter; an exact match of the name wins over one in
// another letter case, as the CGI program's environment lookup does.
std::optional<std::string_view> parameter(const std::vector<std::string>& environment, std::string_view name) {
    std::optional<std::string_view> other_case;
    for (const std::string& entry : environment) {
        const std::string_view e(entry);
        const auto eq = e.find('=');
        if (eq == std::string_view::npos) continue;
        if (e.substr(0, eq) == name) return e.substr(eq + 1);
        if (!other_case && ascii::equal_any_case(e.substr(0, eq), name)) other_case = e.substr(eq + 1);
    }
    return other_case;
}

// GET_VALUES: the responder takes many connections and multiplexes them.
void answer_get_values(std::string_view content, std::string& out) {
    const auto asked = decode_pairs(content);
    std::string values;
    if (asked) {
        for (const auto& [name, ignored] : *asked) {
            if (name == "FCGI_MAX_CONNS" || name == "FCGI_MAX_REQS")
                append_pair(values, name, "4096");
            else if (name == "FCGI_MPXS_CONNS")
                append_pair(values, name, "1");
        }
    }
    append_records(out, Type::get_values_result, 0, values);
}

}  // namespace

void TextModeBody::put(char c) {
    if (body_.size() < wanted_) body_ += c;
}

void TextModeBody::feed(std::string_view raw) {
    for (const char c : raw) {
        if (ended_ || body_.size() >= wanted_) return;
        if (pending_cr_) {
            pending_cr_ = false;
            if (c == '\n') {
                put('\n');
                continue;
            }
            put('\r');
        }
        if (c == '\x1A') {
            ended_ = true;
            return;
        }
        if (c == '\r') {
            pending_cr_ = true;
            continue;
        }
        put(c);
    }
}

std::string TextModeBody::finish() {
    if (pending_cr_) put('\r');
    pending_cr_ = false;
    ended_ = true;
    return std::move(body_);
}

std::uint64_t wanted_body(const std::vector<std::string>& environment) {
    if (const auto length = parameter(environment, text::content_length)) return parse_content_length(*length);
    if (const auto encoding = parameter(environment, "HTTP_TRANSFER_ENCODING")) {
        std::string lower(*encoding);
        std::transform(lower.begin(), lower.end(), lower.begin(), ascii::lower);
        if (lower.find("chunked") != std::string::npos) return max_body;
    }
    return 0;
}

bool Connection::receive(std::string_view bytes, std::string& out) {
    reader_.feed(bytes);
    while (const auto r = reader_.next())
        if (!record(*r, out)) return false;
    return !reader_.broken();
}

bool Connection::params_ended(Receiving& request) {
    const auto pairs = decode_pairs(request.params);
    if (!pairs) return false;
    std::string().swap(request.params);
    request.environment.reserve(pairs->size());
    for (const auto& [name, value] : *pairs) request.environment.push_back(name + "=" + value);
    request.params_done = true;
    request.body.emplace(wanted_body(request.environment));
    request.body->feed(request.early_stdin);
    std::string().swap(request.early_stdin);
    return true;
}

bool Connection::record(const Record& r, std::string& out) {
    const auto type = static_cast<Type>(r.type);
    if (r.request_id == 0) {
        if (type == Type::get_values)
            answer_get_values(r.content, out);
        else
            append_unknown_type(out, r.type);
        return true;
    }
    const std::uint16_t id = r.request_id;
    if (type == Type::begin_request) {
        const auto begin = parse_begin_request(r.content);
        // A BEGIN_REQUEST for an id in use is ignored, as the protocol says.
        if (!begin || receiving_.count(id) != 0 || handed_.count(id) != 0) return true;
        if (begin->role != role_responder) {
            append_end_request(out, id, 0, ProtocolStatus::unknown_role);
            return true;
        }
        receiving_[id].keep_conn = (begin->flags & flag_keep_conn) != 0;
        return true;
    }
    if (type == Type::abort_request) {
        if (receiving_.erase(id) != 0)
            append_end_request(out, id, 0, ProtocolStatus::request_complete);
        else if (handed_.count(id) != 0)
            handler_.aborted(id);
        return true;
    }
    const auto found = receiving_.find(id);
    if (found == receiving_.end()) return true;  // not an active request: ignored
    Receiving& request = found->second;
    if (type == Type::params && !request.params_done) {
        if (!r.content.empty()) {
            if (request.params.size() + r.content.size() > max_params) return false;
            request.params += r.content;
            return true;
        }
        return params_ended(request);
    }
    if (type == Type::stdin_stream) {
        if (!r.content.empty()) {
            if (request.params_done)
                request.body->feed(r.content);
            else if (request.early_stdin.size() + r.content.size() <= max_body)
                request.early_stdin += r.content;
            return true;
        }
        if (!request.params_done && !params_ended(request)) return false;
        Incoming incoming{std::move(request.environment), request.body->finish(), request.keep_conn};
        receiving_.erase(found);
        handed_.insert(id);
        handler_.request(id, std::move(incoming));
    }
    return true;
}

void Connection::finished(std::uint16_t id, std::string& out) {
    if (handed_.erase(id) == 0) return;
    append_records(out, Type::stdout_stream, id, {});
    append_end_request(out, id, 0, ProtocolStatus::request_complete);
}

}  // namespace qg::fastcgi
