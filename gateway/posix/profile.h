// Private-profile ("ini") text handling: the rules of the classic profile
// services, kept free of file access so they can be tested directly.
//
// Section and key names match in any letter case; white space around names and
// values is trimmed; one pair of matching quotes around a value is removed;
// lines starting with ';' are comments.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace qg::posix {

// Value of `key` in `section`, or nothing when the section or key is absent.
std::optional<std::string> profile_lookup(std::string_view content, std::string_view section, std::string_view key);

// Returns `content` with `key` in `section` set to `value`. An existing key is
// replaced in place; a new key goes at the end of its section; a new section
// is appended at the end. Every other line is kept; lines end with CR LF.
std::string profile_assign(std::string_view content, std::string_view section, std::string_view key,
                           std::string_view value);

// Reads an integer the profile way: an optional sign, then decimal digits up
// to the first other character ("12abc" is 12, "abc" is 0). An empty value
// gives `fallback`. Values beyond 64 bits saturate.
std::int64_t profile_parse_int(std::string_view value, std::int64_t fallback);

}  // namespace qg::posix
