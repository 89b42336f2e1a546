#include "answer.h"

#include <charconv>
#include <string>

#include "decode.h"

namespace qgecho {
namespace {

template <typename T>
std::optional<T> parse_number(std::string_view text, T min, T max) {
    T value{};
    const auto [ptr, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || ec != std::errc{} || ptr != text.data() + text.size() || value < min || value > max) {
        return std::nullopt;
    }
    return value;
}

std::string_view reason_phrase(int status) {
    switch (status) {
        case 200: return "OK";
        case 201: return "Created";
        case 204: return "No Content";
        case 301: return "Moved Permanently";
        case 302: return "Found";
        case 303: return "See Other";
        case 304: return "Not Modified";
        case 307: return "Temporary Redirect";
        case 400: return "Bad Request";
        case 403: return "Forbidden";
        case 404: return "Not Found";
        case 500: return "Internal Server Error";
        case 503: return "Service Unavailable";
        default: return "Status";
    }
}

// A header value must not carry CR, LF or other control bytes: they would
// let a query parameter add headers of its own or end the header block.
std::string header_safe(std::string_view text) {
    std::string out;
    for (const char c : text) {
        const auto byte = static_cast<unsigned char>(c);
        if (byte >= 0x20 && byte != 0x7F) {
            out += c;
        }
    }
    return out;
}

void add_row(std::string& page, std::string_view name, std::string_view value) {
    page += "<tr><th>";
    page += html_escape(name);
    page += "</th><td>";
    page += html_escape(value);
    page += "</td></tr>\n";
}

std::string request_path(const Request& request) {
    if (const std::string* uri = request.find("REQUEST URI")) {
        return uri->substr(0, uri->find('?'));
    }
    std::string path;
    if (const std::string* script = request.find("SCRIPT NAME")) path += *script;
    if (const std::string* info = request.find("PATH INFO")) path += *info;
    return path;
}

std::string echo_page(const Request& request) {
    const std::string* method = request.find("REQUEST METHOD");
    const std::string* query = request.find("QUERY STRING");

    std::string page =
        "<!DOCTYPE html>\n<html><head><meta charset=\"utf-8\"><title>qg-echo</title></head><body>\n"
        "<h1>qg-echo</h1>\n";
    page += "<p>Method: <b>" + html_escape(method ? *method : "") + "</b></p>\n";
    page += "<p>Path: <b>" + html_escape(request_path(request)) + "</b></p>\n";
    page += "<p>Query: <b>" + html_escape(query ? *query : "") + "</b></p>\n";
    page += "<p>Output file: <b>" + html_escape(request.output_path) + "</b></p>\n";

    page += "<h2>Variables</h2>\n<table>\n";
    for (const auto& [name, value] : request.variables) {
        add_row(page, name, value);
    }
    page += "</table>\n";

    page += "<h2>Form body</h2>\n";
    if (!request.has_body) {
        page += "<p>(none)</p>\n";
    } else {
        // The length as the application library gives it: with the gateway's
        // BinaryBody=1 the whole body, zero bytes included, CONTENT_LENGTH long.
        page += "<p>" + std::to_string(request.body.size()) + " bytes</p>\n";
        page += "<pre>" + html_escape(request.body) + "</pre>\n<h2>Form fields</h2>\n<table>\n";
        for (const auto& [name, value] : split_pairs(request.body)) {
            add_row(page, name, value);
        }
        page += "</table>\n";
    }
    page += "</body></html>\n";
    return page;
}

}  // namespace

Behaviour behaviour_for(const Request& request) {
    Behaviour behaviour;
    const std::string* query = request.find("QUERY STRING");
    if (query == nullptr) {
        return behaviour;
    }
    for (const auto& [name, value] : split_pairs(*query)) {
        if (name == "qg_sleep") {
            if (auto ms = parse_number<long long>(value, 0, kMaxSleep.count())) {
                behaviour.delay = std::chrono::milliseconds(*ms);
            }
        } else if (name == "qg_status") {
            behaviour.status = parse_number<int>(value, 100, 599);
        } else if (name == "qg_location") {
            behaviour.location = header_safe(value);
        } else if (name == "qg_bytes") {
            behaviour.bytes = parse_number<std::size_t>(value, 0, kMaxBytes);
        } else if (name == "qg_empty") {
            behaviour.empty = value == "1";
        }
    }
    return behaviour;
}

std::string byte_pattern(std::size_t n) {
    static constexpr std::string_view kLine = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789.\n";
    static_assert(kLine.size() == 64);
    std::string out;
    out.reserve(n);
    while (out.size() < n) {
        out += kLine.substr(0, n - out.size());
    }
    return out;
}

std::string render_answer(const Request& request, const Behaviour& behaviour) {
    if (behaviour.empty) {
        return {};
    }
    if (behaviour.bytes) {
        return byte_pattern(*behaviour.bytes);
    }
    if (!behaviour.status) {
        return echo_page(request);
    }
    std::string answer = "HTTP/1.0 " + std::to_string(*behaviour.status) + " ";
    answer += reason_phrase(*behaviour.status);
    answer += "\r\n";
    if (!behaviour.location.empty()) {
        answer += "Location: " + behaviour.location + "\r\n";
    }
    answer += "Content-Type: text/html\r\n\r\n";
    answer += echo_page(request);
    return answer;
}

}  // namespace qgecho
