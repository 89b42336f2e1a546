#include "request_file.h"

#include "texts.h"

namespace qg {
namespace {

constexpr char hex_digits[] = "0123456789ABCDEF";

void put_percent(std::string& out, unsigned char byte) {
    out += '%';
    out += hex_digits[byte >> 4];
    out += hex_digits[byte & 0xF];
}

bool is_alnum_ascii(unsigned char c) {
    return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9');
}

// Working sizes of the original buffers: an environment entry is considered up
// to 127 characters, a name up to 259.
constexpr std::size_t entry_limit = 127;
constexpr std::size_t name_limit = 259;

}  // namespace

std::string encode_field(std::string_view bytes) {
    std::string out;
    out.reserve(bytes.size() * 3);
    for (const char ch : bytes) {
        const auto c = static_cast<unsigned char>(ch);
        if (is_alnum_ascii(c)) {
            out += ch;
        } else if (c == ' ') {
            out += '+';
        } else {
            put_percent(out, c);
        }
    }
    return out;
}

std::string encode_name(std::string_view name) {
    std::string out;
    out.reserve(name.size());
    for (const char ch : name) {
        const auto c = static_cast<unsigned char>(ch);
        if (c == ' ') {
            out += '+';
        } else if (c == '%' || c == '&' || c < 0x20 || c == 0x7F) {
            put_percent(out, c);
        } else {
            out += ch;
        }
    }
    return out;
}

namespace {

// Adds the variable; `longest_name` bounds the name (0: no bound).
void add_variable_within(std::string& text, std::string_view name, std::string_view value,
                         std::size_t longest_name) noexcept {
    if (name.empty() || value.empty() || (longest_name != 0 && name.size() > longest_name)) return;
    try {
        // The piece is built whole and appended in one step, so a failure
        // never leaves part of a variable in the text.
        std::string piece;
        piece.reserve(name.size() + value.size() * 3 + 2);
        piece += '&';
        piece += encode_name(name);
        piece += '=';
        piece += encode_field(value);
        text += piece;
    } catch (...) {
        // Dropping one variable is the whole of the failure handling.
    }
}

}  // namespace

void add_variable(std::string& text, std::string_view name, std::string_view value) noexcept {
    add_variable_within(text, name, value, name_limit);
}

void add_environment_entry(std::string& text, std::string_view entry, Values values) noexcept {
    if (values == Values::cut) entry = entry.substr(0, entry_limit);
    const auto eq = entry.find('=');
    if (eq == std::string_view::npos) return;
    std::string_view name = entry.substr(0, eq);
    const std::string_view value = entry.substr(eq + 1);
    if (name.substr(0, 5) == "HTTP_") name.remove_prefix(5);
    if (values == Values::cut) {
        char buffer[entry_limit + 1];
        std::size_t n = 0;
        for (const char c : name) buffer[n++] = c == '_' ? ' ' : c;
        add_variable(text, std::string_view(buffer, n), value);
        return;
    }
    try {
        std::string spaced(name);
        for (char& c : spaced)
            if (c == '_') c = ' ';
        add_variable_within(text, spaced, value, 0);
    } catch (...) {
        // As add_variable: the variable is dropped.
    }
}

void add_environment(std::string& text, const std::vector<std::string>& entries, Values values) {
    for (const auto& entry : entries) add_environment_entry(text, entry, values);
}

void finish_variables(std::string& text) {
    add_variable(text, text::version_variable, text::version);
    text += text::variables_tail;
    text += text::form_marker;
    text += text::line_end;
}

BodyPieces body_pieces(std::string_view body, BodyForm form) {
    if (body.empty()) return {};
    return {form == BodyForm::binary ? body : body.substr(0, body.find('\0')), text::line_end};
}

void append_body(std::string& text, std::string_view body, BodyForm form) {
    const BodyPieces pieces = body_pieces(body, form);
    text += pieces.text;
    text += pieces.line_end;
}

void prepend_output_file(std::string& text, std::string_view output_path) {
    std::string head;
    head.reserve(text::output_file_head.size() + output_path.size() + text.size());
    head += text::output_file_head;
    head += output_path;
    head += text;
    text = std::move(head);
}

}  // namespace qg
