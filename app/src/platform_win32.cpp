// The library's platform layer on Windows: files reached by full path under
// the work directory, never through a reparse point (a symbolic link or
// junction); a request is read without sharing with writers, which fails
// while the gateway's write handle is open; change notification wakes the
// waiting thread (watch_win32.cpp).
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <cstdio>
#include <random>
#include <utility>

#include "platform.h"
#include "quillgate/common/win32_io.h"
#include "win32_path.h"

namespace qga::platform {
namespace {

using quillgate::common::Handle;
using quillgate::common::write_all;

std::string error_text(std::string_view what, const std::string& name) {
    std::string text(what);
    text += " ";
    text += name;
    text += ": Windows error ";
    text += std::to_string(::GetLastError());
    return text;
}

// Seconds since 1970 (UTC), as the POSIX layer gives them: the claim stamp
// holds this time, and an instance on Linux sharing the directory must derive
// the same stamp for the same request. FILETIME counts 100 ns from 1601.
constexpr std::int64_t unix_epoch_in_filetime_s = 11'644'473'600;

std::int64_t seconds_of(const FILETIME& time) {
    const ULONGLONG ticks = (static_cast<ULONGLONG>(time.dwHighDateTime) << 32) | time.dwLowDateTime;
    return static_cast<std::int64_t>(ticks / 10'000'000ULL) - unix_epoch_in_filetime_s;
}

// The busy rule the gateway keeps too: a file held for a moment by another
// process (a virus scanner or an indexer opens fresh files) is tried again
// every 25 ms for up to 500 ms before the failure counts.
constexpr DWORD busy_retry_ms = 25;
constexpr DWORD busy_give_up_ms = 500;

bool busy(DWORD code) { return code == ERROR_SHARING_VIOLATION || code == ERROR_LOCK_VIOLATION; }

// Runs `attempt` (which returns whether it succeeded) again while it fails
// with a busy file; the last error stays the last attempt's.
template <typename Attempt>
bool while_busy(Attempt&& attempt) {
    const DWORD start = ::GetTickCount();
    for (;;) {
        if (attempt()) return true;
        const DWORD code = ::GetLastError();
        if (!busy(code) || ::GetTickCount() - start >= busy_give_up_ms) return false;
        ::Sleep(busy_retry_ms);
        ::SetLastError(code);
    }
}

HANDLE open_when_free(const std::string& path, DWORD access, DWORD disposition, DWORD flags) {
    HANDLE file = INVALID_HANDLE_VALUE;
    while_busy([&] {
        file = ::CreateFileA(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                             disposition, flags, nullptr);
        return file != INVALID_HANDLE_VALUE;
    });
    return file;
}

// The gateway deletes and reads its files while the library holds them, so
// every handle but the request reader's shares everything.
constexpr DWORD share_all = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

bool id_of(HANDLE file, FileId* id, std::int64_t* modified_s) {
    BY_HANDLE_FILE_INFORMATION info{};
    if (!::GetFileInformationByHandle(file, &info)) return false;
    if ((info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) return false;
    const auto write_ticks =
        (static_cast<std::int64_t>(info.ftLastWriteTime.dwHighDateTime) << 32) | info.ftLastWriteTime.dwLowDateTime;
    // The gateway's output file has one name; see open_output.
    *id =
        FileId{info.dwVolumeSerialNumber, (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow,
               write_ticks * 100, (static_cast<std::uint64_t>(info.nFileSizeHigh) << 32) | info.nFileSizeLow};
    if (modified_s != nullptr) *modified_s = seconds_of(info.ftLastWriteTime);
    return true;
}

class Win32Output final : public OutputFile {
public:
    Win32Output(HANDLE file, std::string name) : file_(file), name_(std::move(name)) {}
    bool write(std::string_view bytes, std::string* error) override {
        if (!write_all(file_.get(), bytes)) {
            *error = error_text("cannot write", name_);
            return false;
        }
        return true;
    }
    bool empty(std::string* error) override {
        LARGE_INTEGER start{};
        if (!::SetFilePointerEx(file_.get(), start, nullptr, FILE_BEGIN) || !::SetEndOfFile(file_.get())) {
            *error = error_text("cannot empty", name_);
            return false;
        }
        return true;
    }
    bool close(std::string* error) override {
        if (!::CloseHandle(file_.release())) {
            *error = error_text("cannot close", name_);
            return false;
        }
        return true;
    }

private:
    Handle file_;
    std::string name_;
};

class Win32Directory final : public Directory {
public:
    explicit Win32Directory(std::string full) : path_(std::move(full)) {}

    const std::string& path() const override { return path_; }
    bool reads_exclude_writers() const override { return true; }

    ReadStatus read(const std::string& name, std::uint64_t limit, FileText* out, std::string* error) override {
        // Shared with readers and deleters, not writers: while the gateway's
        // write handle is open this fails with a sharing violation, so a read
        // that succeeds sees the whole single write. FILE_SHARE_DELETE: the
        // gateway deletes the file without checking, at any moment, and a
        // read in progress must not make that delete fail (the file would be
        // left behind).
        Handle file(::CreateFileA(full(name).c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_DELETE, nullptr,
                                  OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
        if (!file.valid()) {
            const DWORD code = ::GetLastError();
            if (code == ERROR_SHARING_VIOLATION || code == ERROR_LOCK_VIOLATION) return ReadStatus::busy;
            if (code == ERROR_FILE_NOT_FOUND || code == ERROR_PATH_NOT_FOUND || code == ERROR_ACCESS_DENIED)
                return ReadStatus::missing;  // access denied: a file being deleted
            *error = error_text("cannot open", name);
            return ReadStatus::failed;
        }
        if (!id_of(file.get(), &out->id, &out->modified_s)) return ReadStatus::missing;
        if (out->id.size > limit) return ReadStatus::too_large;
        out->text.resize(static_cast<std::size_t>(out->id.size));
        std::size_t have = 0;
        while (have < out->text.size()) {
            DWORD got = 0;
            const DWORD want = static_cast<DWORD>(std::min<std::size_t>(out->text.size() - have, 1U << 30));
            if (!::ReadFile(file.get(), out->text.data() + have, want, &got, nullptr)) {
                *error = error_text("cannot read", name);
                return ReadStatus::failed;
            }
            if (got == 0) break;
            have += got;
        }
        out->text.resize(have);
        return ReadStatus::ok;
    }

    std::optional<FileId> identify(const std::string& name) override {
        // No access rights asked for: only the file's identity is read.
        Handle file(::CreateFileA(full(name).c_str(), 0, share_all, nullptr, OPEN_EXISTING,
                                  FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
        FileId id;
        if (!file.valid() || !id_of(file.get(), &id, nullptr)) return std::nullopt;
        return id;
    }

    bool exists(const std::string& name) override {
        WIN32_FILE_ATTRIBUTE_DATA data{};
        return ::GetFileAttributesExA(full(name).c_str(), GetFileExInfoStandard, &data) &&
               (data.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) == 0;
    }

    bool list(const std::string& sub, std::vector<Listed>* names, std::string* error) override {
        WIN32_FIND_DATAA data{};
        const std::string pattern = (sub.empty() ? path_ : full(sub) + "\\") + "*";
        HANDLE find = ::FindFirstFileA(pattern.c_str(), &data);
        if (find == INVALID_HANDLE_VALUE) {
            if (::GetLastError() == ERROR_FILE_NOT_FOUND) return true;
            *error = error_text("cannot list", sub.empty() ? path_ : sub);
            return false;
        }
        do {
            const std::string_view name = data.cFileName;
            // The listing gives size and times: a file judged before and
            // listed alike needs no open (one per file per listing adds up
            // with hundreds of files left in the directory).
            if (name != "." && name != "..") {
                char key[80];
                std::snprintf(key, sizeof key, "%lx:%lx:%lx:%lx:%lx:%lx", data.nFileSizeHigh, data.nFileSizeLow,
                              data.ftCreationTime.dwHighDateTime, data.ftCreationTime.dwLowDateTime,
                              data.ftLastWriteTime.dwHighDateTime, data.ftLastWriteTime.dwLowDateTime);
                names->push_back({std::string(name), key});
            }
        } while (::FindNextFileA(find, &data));
        ::FindClose(find);
        return true;
    }

    OpenStatus open_output(const std::string& name, std::unique_ptr<OutputFile>* out, std::string* error) override {
        // OPEN_EXISTING: never created (a missing file means the gateway
        // gave up); emptied by the caller once the request is known to be
        // still there. A scanner holding the fresh file is waited for.
        Handle file(open_when_free(full(name), GENERIC_WRITE, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT));
        if (!file.valid()) {
            const DWORD code = ::GetLastError();
            if (code == ERROR_FILE_NOT_FOUND) return OpenStatus::missing;
            *error = error_text("cannot open", name);
            return code == ERROR_ACCESS_DENIED ? OpenStatus::refused : OpenStatus::failed;
        }
        BY_HANDLE_FILE_INFORMATION info{};
        if (!::GetFileInformationByHandle(file.get(), &info) ||
            (info.dwFileAttributes & (FILE_ATTRIBUTE_DIRECTORY | FILE_ATTRIBUTE_REPARSE_POINT)) != 0) {
            *error = "output file " + name + " is not a regular file";
            return OpenStatus::refused;
        }
        // A second name is a hard link planted by someone who can write the
        // directory: writing would overwrite the file it links to.
        if (info.nNumberOfLinks != 1) {
            *error = "output file " + name + " has more than one link";
            return OpenStatus::refused;
        }
        *out = std::make_unique<Win32Output>(file.release(), name);
        return OpenStatus::ok;
    }

    CreateStatus create_new(const std::string& rel, std::string_view content, FileId* made,
                            std::string* error) override {
        // Shared for reading, writing and deleting: the gateway deletes the
        // signal file as soon as it sees it, perhaps before it is closed here.
        Handle file(open_when_free(full(rel), GENERIC_WRITE, CREATE_NEW, FILE_ATTRIBUTE_NORMAL));
        if (!file.valid()) {
            const DWORD code = ::GetLastError();
            if (code == ERROR_FILE_EXISTS || code == ERROR_ALREADY_EXISTS) return CreateStatus::exists;
            *error = error_text("cannot create", rel);
            return CreateStatus::failed;
        }
        // The identity first, while the file surely exists: the gateway may
        // delete a signal file the moment it appears, and Wine cannot read a
        // deleted file's identity through its handle. The creation counts
        // all the same; an identity not read stays one that no file has, so
        // nothing is ever removed as this file later.
        if (made != nullptr && !id_of(file.get(), made, nullptr)) *made = FileId{};
        if (!write_all(file.get(), content) || !::CloseHandle(file.release())) {
            *error = error_text("cannot write", rel);
            ::DeleteFileA(full(rel).c_str());
            return CreateStatus::failed;
        }
        return CreateStatus::created;
    }

    bool remove(const std::string& rel) override {
        const std::string path = full(rel);
        return while_busy([&] { return ::DeleteFileA(path.c_str()) != 0; });
    }

    std::optional<std::int64_t> touch(const std::string& rel) override {
        // SetFileTime would stamp this host's clock, and hosts' clocks differ.
        // A write makes the file system (on a share: the server) set the
        // last-write time itself: the file's first byte is written again.
        Handle file(open_when_free(full(rel), GENERIC_READ | GENERIC_WRITE, OPEN_EXISTING,
                                   FILE_FLAG_OPEN_REPARSE_POINT | FILE_FLAG_WRITE_THROUGH));
        if (!file.valid()) return std::nullopt;
        char first = '\n';
        DWORD got = 0;
        if (!::ReadFile(file.get(), &first, 1, &got, nullptr)) return std::nullopt;
        LARGE_INTEGER start{};
        DWORD put = 0;
        if (!::SetFilePointerEx(file.get(), start, nullptr, FILE_BEGIN) ||
            !::WriteFile(file.get(), &first, 1, &put, nullptr))
            return std::nullopt;
        ::FlushFileBuffers(file.get());
        BY_HANDLE_FILE_INFORMATION info{};
        if (!::GetFileInformationByHandle(file.get(), &info)) return std::nullopt;
        return seconds_of(info.ftLastWriteTime);
    }

    std::optional<std::int64_t> modified(const std::string& rel) override {
        WIN32_FILE_ATTRIBUTE_DATA data{};
        if (!::GetFileAttributesExA(full(rel).c_str(), GetFileExInfoStandard, &data)) return std::nullopt;
        return seconds_of(data.ftLastWriteTime);
    }

    bool make_subdirectory(const std::string& sub, std::string* error) override {
        if (::CreateDirectoryA(full(sub).c_str(), nullptr) || ::GetLastError() == ERROR_ALREADY_EXISTS) {
            const DWORD attributes = ::GetFileAttributesA(full(sub).c_str());
            if (attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0 &&
                (attributes & FILE_ATTRIBUTE_REPARSE_POINT) == 0)
                return true;
        }
        *error = error_text("cannot make directory", sub);
        return false;
    }

    void remove_subdirectory_if_empty(const std::string& sub) override { ::RemoveDirectoryA(full(sub).c_str()); }

private:
    // Relative names use "/" in the core; Windows takes either separator.
    std::string full(const std::string& rel) const { return path_ + rel; }

    std::string path_;  // full path, ending with a separator
};

}  // namespace

std::unique_ptr<Directory> open_directory(const std::string& path, std::string* error) {
    char buffer[MAX_PATH * 4];
    const DWORD n = ::GetFullPathNameA(path.c_str(), sizeof buffer, buffer, nullptr);
    if (n == 0 || n >= sizeof buffer) {
        *error = error_text("cannot resolve work directory", path);
        return nullptr;
    }
    std::string full(buffer, n);
    const DWORD attributes = ::GetFileAttributesA(full.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        *error = error_text("cannot open work directory", path);
        return nullptr;
    }
    if (!win32::ends_with_separator(full)) full += '\\';
    return std::make_unique<Win32Directory>(std::move(full));
}

// Windows delivers console events on a thread of their own: nothing to mask.
std::thread start_quiet_thread(std::function<void()> body) { return std::thread(std::move(body)); }

std::string process_label() {
    char host[MAX_COMPUTERNAME_LENGTH + 1] = {};
    DWORD size = sizeof host;
    if (!::GetComputerNameA(host, &size)) host[0] = '\0';
    return std::string(host) + " " + std::to_string(::GetCurrentProcessId());
}

std::uint64_t random_u64() {
    std::random_device device;
    return (static_cast<std::uint64_t>(device()) << 32) ^ device();
}

}  // namespace qga::platform
