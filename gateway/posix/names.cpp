#include "posix/names.h"

#include <algorithm>
#include <cerrno>

#include "ascii.h"
#include "platform.h"

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

std::string temp_name_candidate(std::string_view dir, std::string_view prefix, std::uint16_t number) {
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string name(dir);
    if (name.empty() || name.back() != '/') name += '/';
    name += prefix.substr(0, 3);
    char hex[4];
    int n = 0;
    for (unsigned v = number; v != 0; v >>= 4) hex[n++] = digits[v & 0xF];
    while (n > 0) name += hex[--n];
    name += ".TMP";
    return name;
}

std::optional<std::string> unique_temp_name(std::string_view dir, std::string_view prefix,
                                            std::uint16_t start,
                                            const std::function<int(const std::string&)>& create) {
    std::uint16_t number = start == 0 ? 1 : start;
    for (unsigned tries = 0; tries < 0xFFFF; ++tries) {
        std::string candidate = temp_name_candidate(dir, prefix, number);
        const int error = create(candidate);
        if (error == 0) return candidate;
        if (platform::error_kind(error) != platform::ErrorKind::exists) {
            errno = error;
            return std::nullopt;
        }
        number = number == 0xFFFF ? 1 : static_cast<std::uint16_t>(number + 1);
    }
    errno = EEXIST;
    return std::nullopt;
}

std::vector<std::string> usual_spellings(std::string_view path) {
    const std::size_t name_at = path.rfind('/') + 1;  // npos + 1 is 0
    const std::string dir(path.substr(0, name_at));
    const std::string name(path.substr(name_at));
    const std::size_t dot = name.rfind('.');
    const auto cased = [](std::string text, bool upper) {
        for (char& c : text) c = upper ? (c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c) : ascii::lower(c);
        return text;
    };
    std::string other_extension = name;
    if (dot != std::string::npos) {
        const std::string extension = name.substr(dot);
        const bool upper = extension != cased(extension, true);
        other_extension = name.substr(0, dot) + cased(extension, upper);
    }
    std::vector<std::string> spellings;
    for (const std::string& spelling : {name, other_extension, cased(name, false), cased(name, true)})
        if (std::find(spellings.begin(), spellings.end(), dir + spelling) == spellings.end())
            spellings.push_back(dir + spelling);
    return spellings;
}

std::vector<std::string> signal_spellings(std::string_view request_path) {
    std::string signal(request_path.substr(0, request_path.size() - 4));  // less ".TMP"
    return usual_spellings(signal + ".ret");
}

std::optional<std::string> unique_request_name(std::string_view dir, std::string_view prefix,
                                               std::uint16_t start,
                                               const std::function<Lookup(const std::string&)>& look_up,
                                               const std::function<bool(const std::string&)>& search,
                                               const std::function<int(const std::string&)>& create) {
    return unique_temp_name(dir, prefix, start, [&](const std::string& candidate) {
        const auto spellings = signal_spellings(candidate);
        bool unknown = false;
        for (const auto& signal : spellings) {
            const Lookup found = look_up(signal);
            if (found == Lookup::present) return EEXIST;
            unknown = unknown || found == Lookup::unknown;
        }
        if (unknown && search(spellings.front())) return EEXIST;
        return create(candidate);
    });
}

}  // namespace qg::posix
