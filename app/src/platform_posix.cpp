// The library's platform layer on Linux: the work directory held open as a
// descriptor (every file reached with *at() calls, O_NOFOLLOW). The change
// watch is in watch_posix.cpp.
#include <acl/libacl.h>
#include <dirent.h>
#include <fcntl.h>
#include <sys/acl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <random>

#include "platform.h"
#include "quillgate/common/posix_io.h"

namespace qga::platform {

using quillgate::common::Fd;
using quillgate::common::write_all;
namespace {

std::string errno_text(std::string_view what, const std::string& name) {
    std::string text(what);
    text += " ";
    text += name;
    text += ": ";
    text += std::strerror(errno);
    return text;
}

FileId id_of(const struct stat& st) {
    return FileId{static_cast<std::uint64_t>(st.st_dev), static_cast<std::uint64_t>(st.st_ino),
                  static_cast<std::int64_t>(st.st_ctim.tv_sec) * 1'000'000'000 + st.st_ctim.tv_nsec,
                  static_cast<std::uint64_t>(st.st_size)};
}

// Files the library makes: readable and writable by the owner and the work
// directory's group, like the gateway's own.
constexpr mode_t file_mode = 0660;

class PosixOutput final : public OutputFile {
public:
    PosixOutput(int fd, std::string name) : fd_(fd), name_(std::move(name)) {}
    bool write(std::string_view bytes, std::string* error) override {
        if (!write_all(fd_.get(), bytes)) {
            *error = errno_text("cannot write", name_);
            return false;
        }
        return true;
    }
    bool empty(std::string* error) override {
        if (::ftruncate(fd_.get(), 0) != 0) {
            *error = errno_text("cannot empty", name_);
            return false;
        }
        return true;
    }
    bool close(std::string* error) override {
        if (::close(fd_.release()) != 0) {
            *error = errno_text("cannot close", name_);
            return false;
        }
        return true;
    }

private:
    Fd fd_;
    std::string name_;
};

class PosixDirectory final : public Directory {
public:
    PosixDirectory(int fd, std::string path) : fd_(fd), path_(std::move(path)) {}

    const std::string& path() const override { return path_; }

    ReadStatus read(const std::string& name, std::uint64_t limit, FileText* out, std::string* error) override {
        Fd fd(::openat(fd_.get(), name.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        struct stat st {};
        if (!fd.valid()) {
            if (errno == ENOENT || errno == ELOOP) return ReadStatus::missing;
            *error = errno_text("cannot open", name);
            return ReadStatus::failed;
        }
        if (::fstat(fd.get(), &st) != 0) {
            *error = errno_text("cannot examine", name);
            return ReadStatus::failed;
        }
        if (!S_ISREG(st.st_mode)) return ReadStatus::missing;
        if (static_cast<std::uint64_t>(st.st_size) > limit) {
            out->id = id_of(st);
            return ReadStatus::too_large;
        }
        out->text.resize(static_cast<std::size_t>(st.st_size));
        std::size_t have = 0;
        // Read to the end, even past the size seen: a file still growing must
        // not look like a shorter whole one.
        for (;;) {
            if (have == out->text.size()) {
                if (have >= limit) break;
                out->text.resize(have + 4096);
            }
            const ssize_t n = ::read(fd.get(), out->text.data() + have, out->text.size() - have);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0) {
                *error = errno_text("cannot read", name);
                return ReadStatus::failed;
            }
            if (n == 0) break;
            have += static_cast<std::size_t>(n);
        }
        out->text.resize(have);
        if (have > limit) return ReadStatus::too_large;
        // The identity after the read: the size with the bytes actually read.
        if (::fstat(fd.get(), &st) != 0) {
            *error = errno_text("cannot examine", name);
            return ReadStatus::failed;
        }
        out->id = id_of(st);
        out->modified_s = static_cast<std::int64_t>(st.st_mtim.tv_sec);
        return ReadStatus::ok;
    }

    std::optional<FileId> identify(const std::string& name) override {
        struct stat st {};
        if (::fstatat(fd_.get(), name.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode)) return {};
        return id_of(st);
    }

    bool list(const std::string& sub, std::vector<Listed>* names, std::string* error) override {
        Fd listing(
            ::openat(fd_.get(), sub.empty() ? "." : sub.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        DIR* dir = listing.valid() ? ::fdopendir(listing.get()) : nullptr;
        if (dir == nullptr) {
            *error = errno_text("cannot list", sub.empty() ? path_ : sub);
            return false;
        }
        static_cast<void>(listing.release());  // closedir() closes it
        while (const dirent* entry = ::readdir(dir)) {
            const std::string_view name = entry->d_name;
            // A listing here says nothing about size or times: the caller
            // looks at each file itself.
            if (name != "." && name != "..") names->push_back({std::string(name), {}});
        }
        ::closedir(dir);
        return true;
    }

    OpenStatus open_output(const std::string& name, std::unique_ptr<OutputFile>* out, std::string* error) override {
        // No O_CREAT: a missing output file means the gateway gave up, and a
        // new file would be left behind. O_NONBLOCK keeps a FIFO planted under
        // the name from blocking; it is refused below.
        Fd fd(::openat(fd_.get(), name.c_str(), O_WRONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC));
        if (!fd.valid()) {
            if (errno == ENOENT) return OpenStatus::missing;
            if (errno == ELOOP || errno == ENXIO || errno == EISDIR) {
                *error = "output file " + name + " is not a regular file";
                return OpenStatus::refused;
            }
            *error = errno_text("cannot open", name);
            return OpenStatus::failed;
        }
        struct stat st {};
        if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
            *error = "output file " + name + " is not a regular file";
            return OpenStatus::refused;
        }
        // The gateway's output file has one name. A second one is a hard
        // link planted by someone who can write the directory (where the
        // kernel's link protection is off, or over a network file system):
        // writing would overwrite the file it links to.
        if (st.st_nlink != 1) {
            *error = "output file " + name + " has more than one link";
            return OpenStatus::refused;
        }
        *out = std::make_unique<PosixOutput>(fd.release(), name);
        return OpenStatus::ok;
    }

    CreateStatus create_new(const std::string& rel, std::string_view content, FileId* made,
                            std::string* error) override {
        Fd fd(::openat(fd_.get(), rel.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, file_mode));
        if (!fd.valid()) {
            if (errno == EEXIST) return CreateStatus::exists;
            *error = errno_text("cannot create", rel);
            return CreateStatus::failed;
        }
        struct stat st {};
        if (!write_all(fd.get(), content) || (made != nullptr && ::fstat(fd.get(), &st) != 0) ||
            ::close(fd.release()) != 0) {
            *error = errno_text("cannot write", rel);
            ::unlinkat(fd_.get(), rel.c_str(), 0);
            return CreateStatus::failed;
        }
        if (made != nullptr) *made = id_of(st);
        return CreateStatus::created;
    }

    bool remove(const std::string& rel) override { return ::unlinkat(fd_.get(), rel.c_str(), 0) == 0; }

    std::optional<std::int64_t> touch(const std::string& rel) override {
        // The file's first byte written again: the file system sets the time
        // itself (on NFS and SMB: the server, from its own clock), so ages
        // compare on one clock across hosts. A time given by this host (even
        // utimensat's "now", which a library may turn into a time of its own)
        // would carry this host's clock.
        Fd fd(::openat(fd_.get(), rel.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC));
        if (!fd.valid()) return {};
        char first = '\n';
        if (::pread(fd.get(), &first, 1, 0) < 0 || ::pwrite(fd.get(), &first, 1, 0) != 1) return {};
        struct stat st {};
        if (::fstat(fd.get(), &st) != 0 || ::close(fd.release()) != 0) return {};
        return static_cast<std::int64_t>(st.st_mtim.tv_sec);
    }

    std::optional<std::int64_t> modified(const std::string& rel) override {
        struct stat st {};
        if (::fstatat(fd_.get(), rel.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) return {};
        return static_cast<std::int64_t>(st.st_mtim.tv_sec);
    }

    bool make_subdirectory(const std::string& sub, std::string* error) override {
        if (::mkdirat(fd_.get(), sub.c_str(), 02770) == 0) {
            searchable_for_all(sub);
            errno = EEXIST;
        }
        if (errno == EEXIST) {
            struct stat st {};
            if (::fstatat(fd_.get(), sub.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode)) return true;
            errno = ENOTDIR;
        }
        *error = errno_text("cannot make directory", sub);
        return false;
    }

    void remove_subdirectory_if_empty(const std::string& sub) override {
        ::unlinkat(fd_.get(), sub.c_str(), AT_REMOVEDIR);
    }

private:
    // A folder made here inherits the work directory's default ACL, which
    // is written for files: its entries grant read and write, not search, and
    // every account but the first would be shut out of the folder. Each
    // entry that may read or write it is given search too, as the folder's
    // own mode does for its owner and group.
    void searchable_for_all(const std::string& sub) {
        Fd folder(::openat(fd_.get(), sub.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
        if (!folder.valid()) return;
        acl_t acl = ::acl_get_fd(folder.get());
        if (acl == nullptr) return;  // no ACL support: the mode alone decides
        bool changed = false;
        acl_entry_t entry;
        for (int which = ACL_FIRST_ENTRY; ::acl_get_entry(acl, which, &entry) == 1; which = ACL_NEXT_ENTRY) {
            acl_tag_t tag;
            acl_permset_t perms;
            if (::acl_get_tag_type(entry, &tag) != 0 || ::acl_get_permset(entry, &perms) != 0) continue;
            if (tag == ACL_OTHER) continue;
            if ((::acl_get_perm(perms, ACL_READ) == 1 || ::acl_get_perm(perms, ACL_WRITE) == 1) &&
                ::acl_get_perm(perms, ACL_EXECUTE) != 1) {
                ::acl_add_perm(perms, ACL_EXECUTE);
                ::acl_set_permset(entry, perms);
                changed = true;
            }
        }
        if (changed) ::acl_set_fd(folder.get(), acl);
        ::acl_free(acl);
    }

    Fd fd_;
    std::string path_;
};

}  // namespace

std::unique_ptr<Directory> open_directory(const std::string& path, std::string* error) {
    Fd fd(::open(path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd.valid()) {
        *error = errno_text("cannot open work directory", path);
        return nullptr;
    }
    return std::make_unique<PosixDirectory>(fd.release(), path);
}

std::thread start_quiet_thread(std::function<void()> body) {
    // The new thread inherits the mask in force when it is made.
    sigset_t all, saved;
    sigfillset(&all);
    pthread_sigmask(SIG_SETMASK, &all, &saved);
    std::thread thread(std::move(body));
    pthread_sigmask(SIG_SETMASK, &saved, nullptr);
    return thread;
}

std::string process_label() {
    char host[256] = {};
    if (::gethostname(host, sizeof host - 1) != 0) host[0] = '\0';
    return std::string(host) + " " + std::to_string(::getpid());
}

std::uint64_t random_u64() {
    std::random_device device;
    return (static_cast<std::uint64_t>(device()) << 32) ^ device();
}

}  // namespace qga::platform
