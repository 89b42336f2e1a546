#include "request.h"

namespace qgecho {
namespace {

constexpr std::string_view kCrLf = "\r\n";

struct Sections {
    std::string_view variable_line;  // without its CR LF
    std::string_view after_marker;   // everything after the marker line
};

std::optional<Sections> split_sections(std::string_view text) {
    if (!text.starts_with(kOutputFileHead)) {
        return std::nullopt;
    }
    const std::size_t eol = text.find(kCrLf);
    if (eol == std::string_view::npos) {
        return std::nullopt;
    }
    std::string_view rest = text.substr(eol + kCrLf.size());
    if (!rest.starts_with(kFormMarker) || !rest.substr(kFormMarker.size()).starts_with(kCrLf)) {
        return std::nullopt;
    }
    return Sections{text.substr(0, eol), rest.substr(kFormMarker.size() + kCrLf.size())};
}

}  // namespace

const std::string* Request::find(std::string_view name) const {
    for (const auto& [key, value] : variables) {
        if (key == name) {
            return &value;
        }
    }
    return nullptr;
}

bool request_complete(std::string_view text) {
    const auto sections = split_sections(text);
    if (!sections) {
        return false;
    }
    return sections->after_marker.empty() || sections->after_marker.ends_with(kCrLf);
}

std::optional<Request> parse_request(std::string_view text) {
    const auto sections = split_sections(text);
    if (!sections || !request_complete(text)) {
        return std::nullopt;
    }
    Request request;

    // The output path is written unencoded, so it may hold "+", "%" or even
    // "&". Its file name always ends in ".TMP" and the next variable starts
    // with "&", which marks its end more reliably than the first "&".
    std::string_view line = sections->variable_line.substr(kOutputFileHead.size());
    std::size_t end = line.find(".TMP&");
    end = end == std::string_view::npos ? line.find('&') : end + 4;
    if (end == std::string_view::npos) {
        end = line.size();
    }
    request.output_path = std::string(line.substr(0, end));
    if (request.output_path.empty()) {
        return std::nullopt;
    }
    request.variables = split_pairs(line.substr(end));

    if (!sections->after_marker.empty()) {
        request.has_body = true;
        request.body = std::string(sections->after_marker.substr(0, sections->after_marker.size() - kCrLf.size()));
    }
    return request;
}

}  // namespace qgecho
