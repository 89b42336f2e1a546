// The gateway's files on POSIX: paths, making the temporary and request
// files (under the names and free numbers file_names.h chooses), deleting and
// finding files, and what a failure means.
#include "platform.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <vector>

#include "ascii.h"
#include "file_names.h"
#include "posix/io.h"

namespace qg::posix {

std::optional<std::string> read_whole_file(const std::string& path) {
    Fd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!fd.valid()) return std::nullopt;
    std::string content;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(fd.get(), buffer, sizeof buffer);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return std::nullopt;
        if (n == 0) break;
        content.append(buffer, static_cast<std::size_t>(n));
    }
    return content;
}

}  // namespace qg::posix

namespace qg::platform {
namespace {

using posix::Fd;
using posix::file_mode;
using posix::id_of;

// Owning wrapper for an open directory stream.
class Dir {
public:
    explicit Dir(const std::string& path) : dir_(::opendir(path.c_str())) {}
    Dir(const Dir&) = delete;
    Dir& operator=(const Dir&) = delete;
    ~Dir() {
        if (dir_ != nullptr) ::closedir(dir_);
    }
    DIR* get() const { return dir_; }

private:
    DIR* dir_;
};

}  // namespace

bool is_path_separator(char c) { return c == '/'; }

char path_separator() { return '/'; }

std::size_t file_name_start(std::string_view path) {
    const std::size_t slash = path.rfind('/');
    return slash == std::string_view::npos ? 0 : slash + 1;
}

bool ends_with_separator(std::string_view path) { return !path.empty() && path.back() == '/'; }

// Linux file names keep letter case: the name made is the name to use.
std::string request_path_case(std::string path) { return path; }

namespace {

file_names::SearchCursor cursor;

// What an exclusive create that failed means for the search: a name in use is
// taken, anything else ends it. `failure` keeps the error for the caller.
file_names::Attempt refused(Error& failure) {
    failure = error_of(errno);
    return failure.kind == ErrorKind::exists ? file_names::Attempt::taken : file_names::Attempt::failed;
}

// Where a search for a free number starts (see SearchCursor): first a value
// that differs between processes and over time.
std::uint16_t search_start() {
    // The process id is asked once: a responder names two files per request.
    static const auto pid = static_cast<std::uint32_t>(::getpid());
    const auto seed = tick_ms() ^ (pid * 2654435761u);
    return cursor.start(static_cast<std::uint16_t>(seed % 0xFFFF + 1));
}

}  // namespace

Result<std::string> make_temp_name(const std::string& dir, std::string_view prefix, FileId* made) {
    Error failure;
    const auto found = file_names::find_free_name(dir, prefix, search_start(), [&](const std::string& path) {
        Fd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, file_mode));
        if (!fd.valid()) return refused(failure);
        // Taken from the descriptor that created the file, so nothing put at
        // the name afterwards can pass for it.
        struct stat st {};
        if (made != nullptr && ::fstat(fd.get(), &st) == 0) *made = id_of(st);
        return file_names::Attempt::made;
    });
    if (found.end == file_names::Attempt::made) {
        cursor.made(found.number);
        return found.path;
    }
    if (found.end == file_names::Attempt::taken) return error_of(EEXIST);  // every number is taken
    return failure;
}

namespace {

// Writes the pieces through `fd`: one writev for all of them; a short write
// (a full disk, a signal) goes on from where it stopped. Returns what stopped
// the write.
Error write_pieces(int fd, std::initializer_list<std::string_view> pieces) {
    std::vector<iovec> parts;
    for (const std::string_view piece : pieces)
        if (!piece.empty()) parts.push_back({const_cast<char*>(piece.data()), piece.size()});
    std::size_t first = 0;
    while (first < parts.size()) {
        const int count = static_cast<int>(std::min<std::size_t>(parts.size() - first, IOV_MAX));
        const ssize_t n = ::writev(fd, parts.data() + first, count);
        if (n < 0) {
            if (errno == EINTR) continue;
            return error_of(errno);
        }
        auto done = static_cast<std::size_t>(n);
        while (first < parts.size() && done >= parts[first].iov_len) done -= parts[first++].iov_len;
        if (first < parts.size()) {
            parts[first].iov_base = static_cast<char*>(parts[first].iov_base) + done;
            parts[first].iov_len -= done;
        }
    }
    return {};
}

}  // namespace

Result<std::string> make_request_file(const std::string& dir, std::string_view prefix,
                                      std::initializer_list<std::string_view> pieces) {
    const auto look_up = [](const std::string& name) {
        struct stat st {};
        if (::lstat(name.c_str(), &st) == 0) return file_names::Lookup::present;
        return errno == ENOENT ? file_names::Lookup::absent : file_names::Lookup::unknown;
    };
    const auto search = [](const std::string& name) { return find_file_any_case(name).has_value(); };
    Fd made;
    Error failure;
    const auto found = file_names::find_free_request_name(
        dir, prefix, search_start(), file_names::LetterCase::kept, look_up, search, [&](const std::string& candidate) {
            made = Fd(::open(candidate.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, file_mode));
            if (made.valid()) return file_names::Attempt::made;
            return refused(failure);
        });
    if (found.end == file_names::Attempt::taken) return error_of(EEXIST);  // every number is taken
    if (found.end != file_names::Attempt::made) return failure;
    cursor.made(found.number);
    if (const Error written = write_pieces(made.get(), pieces); written.failed()) {
        made.reset();
        ::unlink(found.path.c_str());
        return written;
    }
    return found.path;
}

Error delete_file(const std::string& path) {
    if (::unlink(path.c_str()) == 0) return {};
    return error_of(errno);
}

Error look_up(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) return {};
    return error_of(errno);
}

std::optional<std::string> find_file_any_case(const std::string& path) {
    if (file_exists(path)) return path;

    const auto slash = path.rfind('/');
    const std::string dir = slash == std::string::npos ? std::string(".") : path.substr(0, slash + 1);
    const std::string_view name =
        slash == std::string::npos ? std::string_view(path) : std::string_view(path).substr(slash + 1);
    Dir d(dir);
    if (d.get() != nullptr) {
        while (const dirent* entry = ::readdir(d.get())) {
            if (ascii::equal_any_case(entry->d_name, name)) {
                return dir == "." && slash == std::string::npos ? std::string(entry->d_name) : dir + entry->d_name;
            }
        }
    }
    return std::nullopt;
}

std::optional<std::string> find_file_usual_case(const std::string& path) {
    for (std::string& spelling : file_names::usual_spellings(path))
        if (file_exists(spelling)) return std::move(spelling);
    return std::nullopt;
}

int last_error() { return errno; }

ErrorKind error_kind(int code) {
    switch (code) {
        case 0: return ErrorKind::none;
        case ENOENT:
        case ENOTDIR: return ErrorKind::not_found;
        case EEXIST: return ErrorKind::exists;
        case EAGAIN:  // a refused write lease: another descriptor is open
        case EBUSY: return ErrorKind::busy;
        case EACCES:
        case EPERM: return ErrorKind::denied;
        default: return ErrorKind::other;
    }
}

}  // namespace qg::platform
