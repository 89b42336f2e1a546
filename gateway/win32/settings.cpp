// The settings file beside the program, and the temporary directory, on
// Windows: the private-profile services.
#include "platform.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include "win32/kernel.h"

namespace qg::platform {

std::string settings_path() {
    std::string path = program_path();
    if (path.empty()) return path;
    lower_in_place(path);
    // The first ".exe" of the program's own file name, and all after it,
    // become ".ini"; a folder named like "x.exec" is not searched, so the
    // settings file always lies beside the program.
    const std::size_t name_at = file_name_start(path);
    const auto exe = path.find(".exe", name_at);
    // A program renamed without ".exe" still gets a settings file of its own
    // beside it rather than reading itself.
    if (exe == std::string::npos) return path + ".ini";
    return path.substr(0, exe) + ".ini";
}

// The profile services read the file at every call; only whether the file
// was there is taken once, when the profile is made, so a settings file that
// another run writes meanwhile cannot make this run's first run a later one.
Profile::Profile(std::string file) : file_(std::move(file)) {
    found_ = ::GetFileAttributesA(file_.c_str()) != INVALID_FILE_ATTRIBUTES;
}

bool Profile::found() const { return found_; }

std::string Profile::read_text(std::string_view section, std::string_view key, std::string_view fallback) const {
    const std::string s(section), k(key), f(fallback);
    char value[1024] = {};
    const DWORD n = ::GetPrivateProfileStringA(s.c_str(), k.c_str(), f.c_str(), value, sizeof value, file_.c_str());
    return std::string(value, n);
}

std::int64_t Profile::read_int(std::string_view section, std::string_view key, std::int64_t fallback) const {
    const std::string s(section), k(key);
    const UINT value = ::GetPrivateProfileIntA(s.c_str(), k.c_str(), static_cast<INT>(fallback), file_.c_str());
    return static_cast<std::int64_t>(value);
}

bool Profile::write_text(std::string_view section, std::string_view key, std::string_view value) {
    const std::string s(section), k(key), v(value);
    return ::WritePrivateProfileStringA(s.c_str(), k.c_str(), v.c_str(), file_.c_str()) != 0;
}

std::string temp_dir() {
    char path[MAX_PATH + 1] = {};
    const DWORD n = ::GetTempPathA(sizeof path, path);
    if (n == 0 || n >= sizeof path) return ".\\";
    return std::string(path, n);
}

}  // namespace qg::platform
