// The settings file beside the program, and the temporary directory, on POSIX.
#include "platform.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>

#include "posix/io.h"
#include "posix/names.h"
#include "posix/profile.h"

namespace qg::platform {

using posix::Fd;
using posix::file_mode;
using posix::read_whole_file;
using posix::write_all;

std::string settings_path() {
    const std::string program = program_path();
    return program.empty() ? std::string() : posix::settings_path_from(program);
}

Profile::Profile(std::string file) : file_(std::move(file)) {
    content_ = read_whole_file(file_);
    // A file that is there but cannot be read still counts as there.
    found_ = content_.has_value() || (errno != ENOENT && errno != ENOTDIR);
}

bool Profile::found() const { return found_; }

std::string Profile::read_text(std::string_view section, std::string_view key, std::string_view fallback) const {
    if (!content_) return std::string(fallback);
    auto value = posix::profile_lookup(*content_, section, key);
    return value ? std::move(*value) : std::string(fallback);
}

std::int64_t Profile::read_int(std::string_view section, std::string_view key, std::int64_t fallback) const {
    if (!content_) return fallback;
    const auto value = posix::profile_lookup(*content_, section, key);
    return value ? posix::profile_parse_int(*value, fallback) : fallback;
}

bool Profile::write_text(std::string_view section, std::string_view key, std::string_view value) {
    const std::string& file = file_;
    // Read, edit, write a new file beside the old one, then rename it over:
    // a crash leaves either the old or the new file, never half of one.
    const auto old = read_whole_file(file);
    if (!old && errno != ENOENT) return false;
    const std::string content = posix::profile_assign(old.value_or(""), section, key, value);

    mode_t mode = file_mode;
    struct stat st {};
    if (::stat(file.c_str(), &st) == 0) {
        mode = st.st_mode & 07777;
    } else {
        const mode_t mask = ::umask(0);
        ::umask(mask);
        mode &= ~mask;
    }

    std::string temp = file + ".XXXXXX";
    Fd fd(::mkstemp(temp.data()));
    if (!fd.valid()) return false;
    const bool written = ::fchmod(fd.get(), mode) == 0 && write_all(fd.get(), content) && ::fsync(fd.get()) == 0;
    fd.reset();
    if (!written || ::rename(temp.c_str(), file.c_str()) != 0) {
        ::unlink(temp.c_str());
        return false;
    }
    content_ = content;
    return true;
}

std::string temp_dir() { return posix::temp_dir_from(std::getenv("TMPDIR")); }

}  // namespace qg::platform
