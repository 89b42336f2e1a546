#pragma once
// The request file the gateway writes: completeness check and parsing.
//
// Layout: "&OUTPUT+FILE=<path>&NAME=value&...&" CR LF, the marker line
// "#@$ FORM VARIABLES $@#" CR LF, then, only for a request with a body, the
// body and CR LF.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "decode.h"

namespace qgecho {

inline constexpr std::string_view kOutputFileHead = "&OUTPUT+FILE=";
inline constexpr std::string_view kFormMarker = "#@$ FORM VARIABLES $@#";

struct Request {
    std::string output_path;  // raw, exactly as the gateway wrote it
    std::vector<Pair> variables;  // decoded names and values, in file order
    std::string body;  // the form body without its final CR LF
    bool has_body = false;

    // First variable with this decoded name (e.g. "REQUEST METHOD"), or nullptr.
    [[nodiscard]] const std::string* find(std::string_view name) const;
};

// True once the whole text is there. The gateway creates the file empty and
// fills it with one write later, so a reader can see it empty or, for a
// large body, partly written. A request without a body ends right after the
// marker line; with a body, the text ends with the body's CR LF. The body
// itself rarely holds a CR LF (the gateway reads standard input in text
// mode, turning CR LF into LF; only a lone CR before a CR LF leaves one),
// which is why the close of the file, not this check, is the main trigger.
bool request_complete(std::string_view text);

// Parses a complete request text; nullopt when it does not have the layout.
std::optional<Request> parse_request(std::string_view text);

}  // namespace qgecho
