#include "request_text.h"

#include "quillgate/common/ascii.h"

namespace qga {
namespace {

constexpr std::string_view crlf = "\r\n";

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

using quillgate::common::ascii::equal_any_case;

// prefix, 1-4 hex digits, ".tmp", letter case ignored throughout.
bool is_numbered_tmp(std::string_view name, std::string_view prefix) {
    constexpr std::string_view ext = ".tmp";
    if (name.size() < prefix.size() + 1 + ext.size()) return false;
    if (!equal_any_case(name.substr(0, prefix.size()), prefix)) return false;
    if (!equal_any_case(name.substr(name.size() - ext.size()), ext)) return false;
    const std::string_view digits = name.substr(prefix.size(), name.size() - prefix.size() - ext.size());
    if (digits.empty() || digits.size() > 4) return false;
    for (const char c : digits)
        if (hex_value(c) < 0) return false;
    return true;
}

// Appends the decoded form of `text` and a zero byte to `out`; returns where
// it starts.
std::size_t append_decoded(std::vector<char>& out, std::string_view text) {
    const std::size_t start = out.size();
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '+') {
            out.push_back(' ');
        } else if (c == '%' && i + 2 < text.size() && hex_value(text[i + 1]) >= 0 && hex_value(text[i + 2]) >= 0) {
            out.push_back(static_cast<char>(hex_value(text[i + 1]) * 16 + hex_value(text[i + 2])));
            i += 2;
        } else {
            out.push_back(c);
        }
    }
    out.push_back('\0');
    return start;
}

// Where the output path ends. The path is written unencoded and may itself
// hold "&" (a directory name), so its end is the first "&" that follows a
// file name of the gateway's kind; without one, the first "&". One pass: the
// last separator seen so far marks where the candidate file name starts.
std::size_t output_path_end(std::string_view line) {
    std::size_t name_start = 0;
    for (std::size_t i = 0; i < line.size(); ++i) {
        const char c = line[i];
        if (c == '/' || c == '\\') {
            name_start = i + 1;
        } else if (c == '&' && is_output_name(line.substr(name_start, i - name_start))) {
            return i;
        }
    }
    return line.find('&');
}

// Reads a decimal number as the gateway reads CONTENT_LENGTH: leading white
// space, an optional sign, the digits up to the first other character.
long long leading_number(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r'))) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    long long value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        if (value > 1'000'000'000'000LL) break;  // far beyond any body the gateway reads
        value = value * 10 + (text[i] - '0');
    }
    return negative ? -value : value;
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

    const std::size_t end = output_path_end(line);
    if (end == 0) return std::nullopt;
    const std::string_view variables = line.substr(end);
    // Counted first, so that a hostile file is refused before anything is
    // allocated for it and the index is allocated once, at its final size.
    std::size_t count = 0;
    for (std::size_t i = 0; i + 1 < variables.size(); ++i)
        if (variables[i] == '&' && variables[i + 1] != '&') ++count;
    if (count > max_variables) return std::nullopt;

    RequestText request;
    request.output_path = std::string(line.substr(0, end));
    request.storage_.reserve(variables.size() + 2 * count);
    struct Offsets {
        std::size_t name, value;
    };
    std::vector<Offsets> offsets;
    offsets.reserve(count);
    // Every variable is introduced by "&"; empty segments (the final "&")
    // carry nothing.
    std::string_view remaining = variables;
    while (!remaining.empty()) {
        const std::size_t amp = remaining.find('&');
        const std::string_view segment = remaining.substr(0, amp);
        remaining = amp == std::string_view::npos ? std::string_view{} : remaining.substr(amp + 1);
        if (segment.empty()) continue;
        const std::size_t eq = segment.find('=');
        const std::size_t name = append_decoded(request.storage_, segment.substr(0, eq));
        const std::size_t value = append_decoded(
            request.storage_, eq == std::string_view::npos ? std::string_view{} : segment.substr(eq + 1));
        offsets.push_back({name, value});
    }
    // Views are made once storage has stopped growing.
    request.variables.reserve(offsets.size());
    const char* base = request.storage_.data();
    for (const auto& at : offsets) {
        request.variables.push_back({std::string_view(base + at.name), std::string_view(base + at.value)});
    }
    // The lengths: names and values may hold decoded zero bytes, so each ends
    // where the next begins (less its terminator).
    for (std::size_t i = 0; i < offsets.size(); ++i) {
        const std::size_t value_end = i + 1 < offsets.size() ? offsets[i + 1].name : request.storage_.size();
        request.variables[i].name = std::string_view(base + offsets[i].name, offsets[i].value - offsets[i].name - 1);
        request.variables[i].value = std::string_view(base + offsets[i].value, value_end - offsets[i].value - 1);
    }
    if (!rest.empty()) {
        request.has_body = true;
        request.body = std::string(rest.substr(0, rest.size() - crlf.size()));
    }
    return request;
}

bool proves_whole(const RequestText& request) {
    const Variable* length = nullptr;
    for (const auto& variable : request.variables)
        if (variable.name == "CONTENT LENGTH") {
            length = &variable;
            break;
        }
    if (length == nullptr) return !request.has_body;
    const long long announced = leading_number(length->value);
    if (announced <= 0) return !request.has_body;
    return request.has_body && static_cast<unsigned long long>(announced) == request.body.size();
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

namespace qga {

std::uint64_t claim_stamp(std::string_view text, std::int64_t modified_unix_s) {
    return hash_bytes(text) ^ (static_cast<std::uint64_t>(modified_unix_s) * 0x9E3779B97F4A7C15ULL);
}

}  // namespace qga
