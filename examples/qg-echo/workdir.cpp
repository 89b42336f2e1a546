#include "workdir.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace qgecho {
namespace {

constexpr std::string_view kRequestExt = ".TMP";
constexpr std::string_view kSignalExt = ".ret";
// The gateway holds the whole request in memory; anything beyond this is not
// a request qg-echo will echo.
constexpr off_t kMaxRequestSize = 256L * 1024L * 1024L;

bool is_upper_hex(char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); }

char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

FileId id_of(const struct stat& st) {
    return FileId{st.st_dev, st.st_ino, static_cast<long long>(st.st_ctim.tv_sec), st.st_ctim.tv_nsec};
}

std::string errno_text(std::string_view what) { return std::string(what) + ": " + std::strerror(errno); }

bool write_all(int fd, std::string_view data) {
    while (!data.empty()) {
        const ssize_t n = ::write(fd, data.data(), data.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

}  // namespace

bool is_request_name(std::string_view name, std::string_view prefix) {
    prefix = prefix.substr(0, 3);
    if (name.size() < prefix.size() + 1 + kRequestExt.size() || !name.ends_with(kRequestExt)) {
        return false;
    }
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        if (lower(name[i]) != lower(prefix[i])) return false;
    }
    const std::string_view digits = name.substr(prefix.size(), name.size() - prefix.size() - kRequestExt.size());
    if (digits.empty() || digits.size() > 4) return false;
    for (const char c : digits) {
        if (!is_upper_hex(c)) return false;
    }
    return true;
}

std::string signal_name(std::string_view request_name) {
    std::string name(request_name);
    if (name.ends_with(kRequestExt)) {
        name.replace(name.size() - kRequestExt.size(), kRequestExt.size(), kSignalExt);
    }
    return name;
}

std::optional<WorkDir> WorkDir::open(const std::string& path, std::string* error) {
    UniqueFd fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    struct stat st {};
    if (!fd || ::fstat(fd.get(), &st) != 0) {
        *error = errno_text("cannot open work directory " + path);
        return std::nullopt;
    }
    return WorkDir(std::move(fd), path, st);
}

std::optional<std::string> WorkDir::read_request(const std::string& name, FileId* id) const {
    UniqueFd fd(::openat(fd_.get(), name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
    struct stat st {};
    if (!fd || ::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_size > kMaxRequestSize) {
        return std::nullopt;
    }
    std::string text;
    text.resize(static_cast<std::size_t>(st.st_size));
    std::size_t have = 0;
    while (have < text.size()) {
        const ssize_t n = ::read(fd.get(), text.data() + have, text.size() - have);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return std::nullopt;
        if (n == 0) break;
        have += static_cast<std::size_t>(n);
    }
    text.resize(have);
    *id = id_of(st);
    return text;
}

bool WorkDir::still_there(const std::string& request_name, const FileId& id) const {
    struct stat st {};
    return ::fstatat(fd_.get(), request_name.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && id_of(st) == id;
}

bool WorkDir::is_own_file(const std::string& path) const {
    const std::size_t slash = path.rfind('/');
    if (slash == std::string::npos || slash + 1 == path.size()) return false;
    struct stat parent {};
    const std::string dir = slash == 0 ? "/" : path.substr(0, slash);
    return ::stat(dir.c_str(), &parent) == 0 && parent.st_dev == st_.st_dev && parent.st_ino == st_.st_ino;
}

Delivery WorkDir::deliver(const std::string& request_name, const FileId& id, const std::string& output_path,
                          std::string_view answer, std::string* why) const {
    // The output path comes from a file anyone with access to the work
    // directory could write; only write to files inside that directory.
    if (!is_own_file(output_path)) {
        *why = "output file is not in the work directory: " + output_path;
        return Delivery::failed;
    }
    if (!still_there(request_name, id)) {
        *why = "request file gone before answering";
        return Delivery::abandoned;
    }
    // No O_CREAT: the gateway made the file; if it is gone the gateway has
    // given up and must not find a stray file later.
    UniqueFd out(::open(output_path.c_str(), O_WRONLY | O_TRUNC | O_NOFOLLOW | O_CLOEXEC));
    if (!out) {
        if (errno == ENOENT) {
            *why = "output file gone before answering";
            return Delivery::abandoned;
        }
        *why = errno_text("cannot open " + output_path);
        return Delivery::failed;
    }
    if (!write_all(out.get(), answer)) {
        *why = errno_text("cannot write " + output_path);
        return Delivery::failed;
    }
    // The gateway reads the output file only when nobody holds it open, so it
    // must be closed before the signal file appears.
    if (!out.close()) {
        *why = errno_text("cannot close " + output_path);
        return Delivery::failed;
    }
    if (!still_there(request_name, id)) {
        *why = "request file gone while answering";
        return Delivery::abandoned;
    }
    const std::string signal = signal_name(request_name);
    UniqueFd sig(::openat(fd_.get(), signal.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0666));
    if (!sig || !sig.close()) {
        *why = errno_text("cannot create " + signal);
        return Delivery::failed;
    }
    return Delivery::answered;
}

}  // namespace qgecho
