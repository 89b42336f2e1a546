// The application library's decoder is the exact inverse of the gateway's
// encoder: any environment, body and work directory, written by the gateway's
// own code, read back give the output path, every variable (name after the
// name rules, value byte for byte) and the body, with the gateway's default
// rules and with its opt-in FullValues=1 and BinaryBody=1. Any bytes at all read
// without harm.
#include <fuzzer/FuzzedDataProvider.h>

#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "expected_variable.h"
#include "fuzz_check.h"
#include "request_file.h"  // the gateway's encoder
#include "request_text.h"  // the library's decoder
#include "texts.h"

namespace {

using fuzz::Variable;

// What one environment entry comes back as: the name as the file shows it,
// with every "+" read as a space.
std::optional<Variable> expected_variable(std::string_view entry, bool full) {
    auto variable = fuzz::expected_variable(entry, full);
    if (variable)
        for (char& c : variable->name)
            if (c == '+') c = ' ';
    return variable;
}

// A directory whose own name ends like an output file followed by "&" cannot
// be told from the end of the path; the gateway's paths never look so.
bool ambiguous_directory(std::string_view dir) {
    for (std::size_t amp = dir.find('&'); amp != std::string_view::npos; amp = dir.find('&', amp + 1))
        if (qga::is_output_name(qga::file_name_of(dir.substr(0, amp)))) return true;
    return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    FuzzedDataProvider input(data, size);
    std::string dir = input.ConsumeRandomLengthString(60);
    // A path is text from the settings file: no zero byte, no line end.
    dir = dir.substr(0, dir.find('\0'));
    for (char& c : dir)
        if (c == '\r' || c == '\n') c = '_';
    const unsigned number = input.ConsumeIntegralInRange<unsigned>(1, 0xFFFF);
    // The opt-in settings: FullValues=1 and BinaryBody=1.
    const bool full = input.ConsumeBool();
    const bool binary = input.ConsumeBool();
    std::vector<std::string> environment(input.ConsumeIntegralInRange<std::size_t>(0, 24));
    for (auto& entry : environment) entry = input.ConsumeRandomLengthString(full ? 600 : 200);
    const std::string body = input.ConsumeRemainingBytesAsString();

    // Any bytes to the decoder.
    if (const auto any = qga::parse_request(body)) FUZZ_CHECK(!any->output_path.empty());

    char name[16];
    std::snprintf(name, sizeof name, "/cgi%X.TMP", number);
    const std::string output_path = dir + name;

    std::string text;
    qg::add_environment(text, environment, full ? qg::Values::full : qg::Values::cut);
    qg::finish_variables(text);
    qg::prepend_output_file(text, output_path);
    qg::append_body(text, body, binary ? qg::BodyForm::binary : qg::BodyForm::text);

    std::vector<Variable> expected;
    for (const auto& entry : environment)
        if (auto v = expected_variable(entry, full)) expected.push_back(std::move(*v));
    expected.push_back({std::string(qg::text::version_variable), std::string(qg::text::version)});

    const auto parsed = qga::parse_request(text);
    FUZZ_CHECK(parsed);
    if (!ambiguous_directory(dir)) FUZZ_CHECK(parsed->output_path == output_path);
    if (ambiguous_directory(dir)) return 0;
    FUZZ_CHECK(parsed->variables.size() == expected.size());
    for (std::size_t i = 0; i < expected.size(); ++i) {
        FUZZ_CHECK(parsed->variables[i].name == expected[i].name);
        FUZZ_CHECK(parsed->variables[i].value == expected[i].value);
    }
    FUZZ_CHECK(parsed->has_body == !body.empty());
    // A binary body comes back whole, zero bytes and all: its length is the
    // file's own.
    FUZZ_CHECK(parsed->body == (binary ? body : body.substr(0, body.find('\0'))));
    return 0;
}
