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

// Whether the text of the /proc/self/exe link names the running program. A
// program replaced while the run started (a package upgrade) shows as
// "<path> (deleted)"; that text names nothing unless a file is really called
// so, which `exists` tells.
bool proc_exe_usable(std::string_view link_text, const std::function<bool(const std::string&)>& exists);

// The program the server started, for when /proc cannot say: `argv0` made
// absolute (against `cwd`, or, without a "/", looked up in the directories of
// `search_path` as exec does), else `script_filename` when it is absolute.
// Each is taken only when `is_program` says it names a regular file. Empty
// when none does.
std::string program_path_fallback(std::string_view argv0, std::string_view cwd, std::string_view search_path,
                                  std::string_view script_filename,
                                  const std::function<bool(const std::string&)>& is_program);

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

// What looking up one name found.
enum class Lookup { absent, present, unknown };

// The usual spellings of a file's name, each once: as given, with its
// extension in the other letter case, all in lower case, all in upper case.
std::vector<std::string> usual_spellings(std::string_view path);

// The spellings of a request file's signal file that are looked up before its
// number is used: the usual spellings of its name with ".ret" in place of
// ".TMP".
std::vector<std::string> signal_spellings(std::string_view request_path);

// The same search for a request file, where a number also counts as taken
// when its signal file (".ret" in place of ".TMP", any letter case) is there:
// a signal file left by an earlier request must not answer a new one. Each
// candidate's spellings are looked up one by one (`look_up`: no listing of
// the directory is held); only when a look-up cannot tell is the directory
// searched for the signal file in any letter case (`search`).
std::optional<std::string> unique_request_name(std::string_view dir, std::string_view prefix,
                                               std::uint16_t start,
                                               const std::function<Lookup(const std::string&)>& look_up,
                                               const std::function<bool(const std::string&)>& search,
                                               const std::function<int(const std::string&)>& create);

}  // namespace qg::posix
