// Building the request file's text: the variable line, the marker line and the
// form body, in the format the application parses.
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace qg {

// Encodes a value: letters and digits stay, a space becomes "+", every other
// byte becomes "%" and two upper-case hexadecimal digits.
std::string encode_field(std::string_view bytes);

// Encodes a variable name: a space becomes "+"; "%", "&" and control bytes
// become "%XX" so no name can start another variable or break the line; every
// other byte stays as it is.
std::string encode_name(std::string_view name);

// Appends "&name=value" to `text` with the name and value encoded. Does
// nothing when the name or the value is empty; any failure drops this one
// variable and leaves `text` as it was.
void add_variable(std::string& text, std::string_view name, std::string_view value) noexcept;

// How variables are taken from the environment.
enum class Values {
    cut,   // only an entry's first 127 characters count (the default)
    full,  // every entry whole, its name however long (FullValues=1)
};

// Adds one environment entry "NAME=value": only its first 127 characters
// count (all of it for Values::full), a leading "HTTP_" is dropped and
// underscores become spaces.
void add_environment_entry(std::string& text, std::string_view entry, Values values = Values::cut) noexcept;

// Adds every entry, in order.
void add_environment(std::string& text, const std::vector<std::string>& entries, Values values = Values::cut);

// Appends DllVersion, the end of the variable line and the marker line.
void finish_variables(std::string& text);

// The body's place in the request text: the body up to its first zero byte
// and a line end when at least one byte was read, nothing otherwise. The
// cycle writes these pieces straight after the text, so the body is never
// copied into it.
struct BodyPieces {
    std::string_view text;
    std::string_view line_end;
};
// How the body goes into the request file.
enum class BodyForm {
    text,    // up to its first zero byte (the default)
    binary,  // every byte (BinaryBody=1)
};
BodyPieces body_pieces(std::string_view body, BodyForm form = BodyForm::text);

// Appends the body's pieces to the text.
void append_body(std::string& text, std::string_view body, BodyForm form = BodyForm::text);

// Puts the output file variable at the head of the text.
void prepend_output_file(std::string& text, std::string_view output_path);

}  // namespace qg
