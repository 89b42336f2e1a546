// Name rules of the POSIX platform layer, kept free of system calls so they can
// be tested directly.
#pragma once

#include <functional>
#include <string>
#include <string_view>

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

}  // namespace qg::posix
