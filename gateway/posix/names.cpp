#include "posix/names.h"

#include <algorithm>

#include "ascii.h"

namespace qg::posix {

std::string settings_path_from(std::string_view program_path) {
    // Only the program's own file name is searched: a directory such as
    // "/srv/x.Exec/" must not move the settings file out of the program's folder.
    const auto slash = program_path.rfind('/');
    const std::size_t name_at = slash == std::string_view::npos ? 0 : slash + 1;
    for (std::size_t i = name_at; i < program_path.size(); ++i)
        if (ascii::starts_with_any_case(program_path.substr(i), ".exe"))
            return std::string(program_path.substr(0, i)) + ".ini";
    return std::string(program_path) + ".ini";
}

bool proc_exe_usable(std::string_view link_text, const std::function<bool(const std::string&)>& exists) {
    constexpr std::string_view deleted = " (deleted)";
    if (link_text.empty()) return false;
    if (link_text.size() <= deleted.size() || link_text.substr(link_text.size() - deleted.size()) != deleted)
        return true;
    return exists(std::string(link_text));
}

std::string program_path_fallback(std::string_view argv0, std::string_view cwd, std::string_view search_path,
                                  std::string_view script_filename,
                                  const std::function<bool(const std::string&)>& is_program) {
    const auto joined = [](std::string_view dir, std::string_view name) {
        std::string path(dir);
        if (path.empty() || path.back() != '/') path += '/';
        return path += name;
    };
    if (!argv0.empty()) {
        if (argv0.find('/') != std::string_view::npos) {
            std::string path = argv0.front() == '/' ? std::string(argv0) : joined(cwd, argv0);
            if ((argv0.front() == '/' || !cwd.empty()) && is_program(path)) return path;
        } else {
            // exec's own search; an empty entry means the working directory.
            for (std::size_t at = 0; at <= search_path.size();) {
                const auto end = std::min(search_path.find(':', at), search_path.size());
                const std::string_view dir = search_path.substr(at, end - at);
                const std::string path = joined(dir.empty() ? cwd : dir, argv0);
                if (path.front() == '/' && is_program(path)) return path;
                at = end + 1;
            }
        }
    }
    if (!script_filename.empty() && script_filename.front() == '/' && is_program(std::string(script_filename)))
        return std::string(script_filename);
    return {};
}

std::string temp_dir_from(const char* tmpdir) {
    std::string dir = (tmpdir != nullptr && tmpdir[0] == '/') ? std::string(tmpdir) : std::string("/tmp/");
    if (dir.back() != '/') dir += '/';
    return dir;
}

}  // namespace qg::posix
