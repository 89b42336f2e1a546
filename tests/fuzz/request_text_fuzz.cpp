// The request text: any environment and any body give a text whose variable
// line splits back, by "&", "=" and %XX decoding, into exactly the names and
// values that went in (after the name rules), followed by the intact marker
// line and the body up to its first zero byte. (The application library's
// reading of the same text is the app_decode target.)
#include <fuzzer/FuzzedDataProvider.h>

#include <cerrno>
#include <cstdlib>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "cycle.h"
#include "expected_variable.h"
#include "fuzz_check.h"
#include "request_file.h"
#include "texts.h"

namespace {

using fuzz::expected_variable;
using fuzz::Variable;

int hex_value(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;  // lower-case digits are not what the encoder writes
}

// Undoes %XX (upper-case digits only) and, for values, "+" as a space.
// Nothing for a malformed escape.
std::optional<std::string> decode(std::string_view text, bool plus_is_space) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '%') {
            if (i + 2 >= text.size()) return std::nullopt;
            const int high = hex_value(text[i + 1]);
            const int low = hex_value(text[i + 2]);
            if (high < 0 || low < 0) return std::nullopt;
            out += static_cast<char>(high * 16 + low);
            i += 2;
        } else {
            out += plus_is_space && text[i] == '+' ? ' ' : text[i];
        }
    }
    return out;
}

bool only_encoder_output(std::string_view value) {
    for (const char c : value) {
        const bool alnum = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
        if (!alnum && c != '+' && c != '%') return false;
    }
    return true;
}

// CONTENT_LENGTH read the C library's way: white space, a sign, digits;
// anything negative or beyond 2^31 - 1 reads nothing.
std::uint64_t expected_content_length(const std::string& text) {
    errno = 0;
    const long long value = std::strtoll(text.c_str(), nullptr, 10);
    return errno == ERANGE || value < 0 || value > 0x7FFFFFFF ? 0 : static_cast<std::uint64_t>(value);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    std::vector<std::string> environment(input.ConsumeIntegralInRange<std::size_t>(0, 24));
    for (auto& entry : environment) entry = input.ConsumeRandomLengthString(200);
    const std::string body = input.ConsumeRemainingBytesAsString();

    // Any bytes as the body length, and any bytes to the application's reader.
    if (!environment.empty())
        FUZZ_CHECK(qg::parse_content_length(environment[0]) == expected_content_length(environment[0]));
    const std::string output_path = "/srv/qg/work/cgi1A.TMP";

    std::string text;
    qg::add_environment(text, environment);
    qg::finish_variables(text);
    qg::prepend_output_file(text, output_path);
    // The request file is the text followed by the body's pieces.
    const qg::BodyPieces pieces = qg::body_pieces(body);
    std::string appended = text;
    qg::append_body(appended, body);
    text += pieces.text;
    text += pieces.line_end;
    FUZZ_CHECK(appended == text);

    std::vector<Variable> expected;
    for (const auto& entry : environment)
        if (auto v = expected_variable(entry)) expected.push_back(std::move(*v));
    expected.push_back({std::string(qg::text::version_variable), std::string(qg::text::version)});

    std::string_view rest = text;
    const std::string head = std::string(qg::text::output_file_head) + output_path;
    FUZZ_CHECK(rest.starts_with(head));
    rest.remove_prefix(head.size());

    const auto line_end = rest.find("\r\n");
    FUZZ_CHECK(line_end != std::string_view::npos);
    std::string_view line = rest.substr(0, line_end);
    rest.remove_prefix(line_end + 2);

    // "&name=value" for each variable, then the closing "&".
    FUZZ_CHECK(line.ends_with('&'));
    line.remove_suffix(1);
    std::vector<Variable> found;
    while (!line.empty()) {
        FUZZ_CHECK(line.front() == '&');
        line.remove_prefix(1);
        const std::string_view piece = line.substr(0, line.find('&'));
        line.remove_prefix(piece.size());
        const auto eq = piece.find('=');
        FUZZ_CHECK(eq != std::string_view::npos && eq > 0);
        const std::string_view value = piece.substr(eq + 1);
        FUZZ_CHECK(only_encoder_output(value));
        const auto name = decode(piece.substr(0, eq), false);
        const auto decoded = decode(value, true);
        FUZZ_CHECK(name && decoded);
        found.push_back({*name, *decoded});
    }
    FUZZ_CHECK(found == expected);

    const std::string marker = std::string(qg::text::form_marker) + "\r\n";
    FUZZ_CHECK(rest.starts_with(marker));
    rest.remove_prefix(marker.size());
    if (body.empty()) {
        FUZZ_CHECK(rest.empty());
    } else {
        FUZZ_CHECK(rest == body.substr(0, body.find('\0')) + "\r\n");
    }
    return 0;
}
