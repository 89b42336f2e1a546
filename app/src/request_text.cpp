#include "request_text.h"

namespace qga {
namespace {

constexpr std::string_view crlf = "\r\n";

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool equal_nocase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (lower(a[i]) != lower(b[i])) return false;
    return true;
}

// prefix, 1-4 hex digits, ".tmp", letter case ignored throughout.
bool is_numbered_tmp(std::string_view name, std::string_view prefix) {
    constexpr std::string_view ext = ".tmp";
    if (name.size() < prefix.size() + 1 + ext.size()) return false;
    if (!equal_nocase(name.substr(0, prefix.size()), prefix)) return false;
    if (!equal_nocase(name.substr(name.size() - ext.size()), ext)) return false;
    const std::string_view digits = name.substr(prefix.size(), name.size() - prefix.size() - ext.size());
    if (digits.empty() || digits.size() > 4) return false;
    for (const char c : digits)
        if (hex_value(c) < 0) return false;
    return true;
}

// Splits "&a=1&b=2&" into decoded variables. Every variable is introduced by
// "&"; empty segments (the final "&") carry nothing.
std::vector<Variable> split_variables(std::string_view text) {
    std::vector<Variable> variables;
    while (!text.empty()) {
        const std::size_t amp = text.find('&');
        const std::string_view segment = text.substr(0, amp);
        text = amp == std::string_view::npos ? std::string_view{} : text.substr(amp + 1);
        if (segment.empty()) continue;
        const std::size_t eq = segment.find('=');
        if (eq == std::string_view::npos) {
            variables.push_back({decode_field(segment), {}});
        } else {
            variables.push_back({decode_field(segment.substr(0, eq)), decode_field(segment.substr(eq + 1))});
        }
    }
    return variables;
}

// Where the output path ends. The path is written unencoded and may itself
// hold "&" (a directory name), so its end is the first "&" that follows a
// file name of the gateway's kind; without one, the first "&".
std::size_t output_path_end(std::string_view line) {
    for (std::size_t amp = line.find('&'); amp != std::string_view::npos; amp = line.find('&', amp + 1)) {
        if (is_output_name(file_name_of(line.substr(0, amp)))) return amp;
    }
    return line.find('&');
}

}  // namespace

bool is_request_name(std::string_view name, std::string_view prefix) {
    return is_numbered_tmp(name, prefix.substr(0, 3));
}

bool is_output_name(std::string_view name) { return is_numbered_tmp(name, "cgi"); }

std::string signal_name(std::string_view request_name) {
    std::string name(request_name);
    const std::size_t dot = name.rfind('.');
    if (dot != std::string::npos) name.replace(dot, std::string::npos, ".ret");
    return name;
}

std::string_view file_name_of(std::string_view path) {
    const std::size_t sep = path.find_last_of("/\\");
    return sep == std::string_view::npos ? path : path.substr(sep + 1);
}

std::string decode_field(std::string_view text) {
    std::string out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '+') {
            out += ' ';
        } else if (c == '%' && i + 2 < text.size() && hex_value(text[i + 1]) >= 0 && hex_value(text[i + 2]) >= 0) {
            out += static_cast<char>(hex_value(text[i + 1]) * 16 + hex_value(text[i + 2]));
            i += 2;
        } else {
            out += c;
        }
    }
    return out;
}

std::string gateway_name_form(std::string_view cgi_name) {
    if (cgi_name.starts_with("HTTP_")) cgi_name.remove_prefix(5);
    std::string name(cgi_name);
    for (char& c : name)
        if (c == '_') c = ' ';
    return name;
}

std::optional<RequestText> parse_request(std::string_view text) {
    if (!text.starts_with(output_file_head)) return std::nullopt;
    const std::size_t eol = text.find(crlf);
    if (eol == std::string_view::npos) return std::nullopt;
    const std::string_view line = text.substr(output_file_head.size(), eol - output_file_head.size());
    if (!line.ends_with('&')) return std::nullopt;
    std::string_view rest = text.substr(eol + crlf.size());
    if (!rest.starts_with(form_marker) || !rest.substr(form_marker.size()).starts_with(crlf)) return std::nullopt;
    rest.remove_prefix(form_marker.size() + crlf.size());
    // A body, when there is one, ends with CR LF; anything else is a write
    // still going on.
    if (!rest.empty() && !rest.ends_with(crlf)) return std::nullopt;

    RequestText request;
    const std::size_t end = output_path_end(line);
    request.output_path = std::string(line.substr(0, end));
    if (request.output_path.empty()) return std::nullopt;
    request.variables = split_variables(line.substr(end));
    if (!rest.empty()) {
        request.has_body = true;
        request.body = std::string(rest.substr(0, rest.size() - crlf.size()));
    }
    return request;
}

std::uint64_t hash_bytes(std::string_view bytes, std::uint64_t seed) {
    std::uint64_t h = seed;
    for (const char c : bytes) {
        h ^= static_cast<unsigned char>(c);
        h *= 1099511628211ULL;
    }
    return h;
}

}  // namespace qga
