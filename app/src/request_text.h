// The request file's text as the gateway writes it, read back: names of the
// work directory's files, the completeness check and the decoder.
//
// Layout: "&OUTPUT+FILE=<path>" and "&NAME=value" for every variable, then
// "&" CR LF; the marker line "#@$ FORM VARIABLES $@#" CR LF; then, only for a
// request with a body, the body and CR LF.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qga {

inline constexpr std::string_view output_file_head = "&OUTPUT+FILE=";
inline constexpr std::string_view form_marker = "#@$ FORM VARIABLES $@#";

// A decoded variable. Both texts point into the RequestText that holds them
// and are followed by a zero byte there.
struct Variable {
    std::string_view name;
    std::string_view value;
};

// More variables than this make a file that is not a request: a web server
// passes a few dozen, and the limit keeps the decoded form of a hostile file
// within a small multiple of the file's size.
inline constexpr std::size_t max_variables = 10'000;

class RequestText {
public:
    RequestText() = default;
    RequestText(RequestText&&) noexcept = default;
    RequestText& operator=(RequestText&&) noexcept = default;
    // The variables point into storage_: a copy would point into the original.
    RequestText(const RequestText&) = delete;
    RequestText& operator=(const RequestText&) = delete;

    std::string output_path;          // exactly as written (the path is not encoded)
    std::vector<Variable> variables;  // decoded, in file order
    std::string body;                 // without the final CR LF
    bool has_body = false;

private:
    friend std::optional<RequestText> parse_request(std::string_view text);
    // Every decoded name and value, each followed by a zero byte. A vector
    // keeps its buffer when moved, so the views stay valid.
    std::vector<char> storage_;
};

// A request-file name: the first three characters of the prefix (any letter
// case), one to four hexadecimal digits, ".TMP" (any letter case: Windows'
// temporary-name service may give lower-case names).
bool is_request_name(std::string_view name, std::string_view prefix);

// An output-file name of the gateway's kind: "cgi", one to four hexadecimal
// digits, ".TMP", in any letter case.
bool is_output_name(std::string_view name);

// The signal file's name: the request file's name with ".ret" in place of
// its extension.
std::string signal_name(std::string_view request_name);

// The last component of a path written by the gateway on any system.
std::string_view file_name_of(std::string_view path);

// Undoes the gateway's field encoding: "+" is a space, "%XX" a byte (either
// letter case); a "%" without two hexadecimal digits stays as it is.
std::string decode_field(std::string_view text);

// The name a variable has in the request file, decoded, for a name given as
// a CGI program knows it: a leading "HTTP_" dropped, underscores as spaces.
std::string gateway_name_form(std::string_view cgi_name);

// Parses a whole request text; nothing when it is not one, or not yet
// complete (the gateway's write is still going on).
std::optional<RequestText> parse_request(std::string_view text);

// Whether the text itself proves that the gateway's single write is over, so
// that no second read is needed where changes are not reported: a request
// without a body that announces none (no CONTENT_LENGTH, or one that reads as
// zero or less), or one whose body holds exactly CONTENT_LENGTH bytes (the
// final CR LF can then only be the gateway's). A shorter body (text-mode
// reading turns CR LF into LF; a zero byte ends it) proves nothing.
bool proves_whole(const RequestText& request);

// A 64-bit FNV-1a hash, for telling incarnations of a request name apart.
std::uint64_t hash_bytes(std::string_view bytes, std::uint64_t seed = 14695981039346656037ULL);

// The claim stamp of one incarnation of a request: a hash of the file's whole
// text and its modification time in seconds since 1970 (UTC). Every process on
// every system derives the same stamp from the same file.
std::uint64_t claim_stamp(std::string_view text, std::int64_t modified_unix_s);

}  // namespace qga
