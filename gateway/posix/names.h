// Name rules of the POSIX platform layer, kept free of system calls so they can
// be tested directly.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace qg::posix {

// Settings file of a program: the first ".exe" (any letter case) in the
// program's file name, and everything after it, become ".ini"; a name without
// ".exe" gets ".ini" appended. Directory names are never searched. Letter case
// is kept, since Linux file names are case-sensitive.
std::string settings_path_from(std::string_view program_path);

// System temporary directory from the value of TMPDIR (null when unset): the
// value when it is an absolute path, else "/tmp/"; always ending with "/".
std::string temp_dir_from(const char* tmpdir);

// The candidate temporary name for `number` (1 to 0xFFFF): `dir`, a "/" when it
// lacks one, the first three characters of `prefix`, the number in upper-case
// hexadecimal without leading zeros, and ".TMP".
std::string temp_name_candidate(std::string_view dir, std::string_view prefix, std::uint16_t number);

// Tries candidates from `start` upward, wrapping from 0xFFFF to 1, until
// `create` succeeds. `create` returns 0 on success or an errno value; a name
// that exists moves on to the next number, any other error ends the search.
// Nothing is returned when every number is taken or an error occurred.
std::optional<std::string> unique_temp_name(std::string_view dir, std::string_view prefix,
                                            std::uint16_t start,
                                            const std::function<int(const std::string&)>& create);

// The same search for a request file, where a number also counts as taken
// when its signal file (".ret" in place of ".TMP", any letter case) is among
// `entries`, the names found in the directory: a signal file left by an
// earlier request must not answer a new one.
std::optional<std::string> unique_request_name(std::string_view dir, std::string_view prefix,
                                               std::uint16_t start, const std::vector<std::string>& entries,
                                               const std::function<int(const std::string&)>& create);

}  // namespace qg::posix
