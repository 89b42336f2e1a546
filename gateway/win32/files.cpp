// The gateway's files on Windows: paths, making the temporary file (through
// the system's temporary-name service) and the request file (under the names
// and free numbers file_names.h chooses), deleting and finding files, and
// what a failure means.
#include "platform.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <climits>

#include "busy.h"
#include "file_names.h"
#include "win32/kernel.h"
#include "win32/path_text.h"
#include "win32/request_names.h"

namespace qg::platform {

std::optional<std::string> to_ansi(const wchar_t* wide, std::size_t length) {
    if (length == 0) return std::string();
    if (length > INT_MAX / 3) return std::nullopt;
    std::string ansi(length * 3, '\0');
    // UTF-8 as the ANSI code page takes no flags.
    const DWORD flags = ::GetACP() == CP_UTF8 ? 0 : WC_NO_BEST_FIT_CHARS;
    const int n = ::WideCharToMultiByte(CP_ACP, flags, wide, static_cast<int>(length), ansi.data(),
                                        static_cast<int>(ansi.size()), nullptr, nullptr);
    if (n <= 0) return std::nullopt;
    ansi.resize(static_cast<std::size_t>(n));
    return ansi;
}

void lower_in_place(std::string& text) {
    if (text.empty() || text.size() > INT_MAX) return;
    std::string lower(text.size(), '\0');
    const int size = static_cast<int>(text.size());
    if (::LCMapStringA(LOCALE_SYSTEM_DEFAULT, LCMAP_LOWERCASE, text.data(), size, lower.data(), size) == size)
        text = std::move(lower);
}

std::optional<FileId> id_of(HANDLE file, bool* reparse_point) {
    BY_HANDLE_FILE_INFORMATION info{};
    if (!::GetFileInformationByHandle(file, &info)) return std::nullopt;
    if (reparse_point != nullptr) *reparse_point = (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    return FileId{info.dwVolumeSerialNumber,
                  static_cast<std::uint64_t>(info.nFileIndexHigh) << 32 | info.nFileIndexLow};
}

bool find_file(const std::string& path, std::string* found) {
    WIN32_FIND_DATAA data{};
    const HANDLE h = ::FindFirstFileA(path.c_str(), &data);
    if (h == INVALID_HANDLE_VALUE) return false;
    ::FindClose(h);
    if (found != nullptr) *found = data.cFileName;
    return true;
}

bool is_path_separator(char c) { return c == '\\' || c == '/'; }

char path_separator() { return '\\'; }

std::size_t file_name_start(std::string_view path) { return win32::file_name_start(path); }

bool ends_with_separator(std::string_view path) { return !path.empty() && file_name_start(path) == path.size(); }

std::string request_path_case(std::string path) {
    // File names ignore letter case here, so the lower-case path names the
    // very file that was made.
    lower_in_place(path);
    return path;
}

Result<std::string> make_temp_name(const std::string& dir, std::string_view prefix, FileId* made) {
    // Unique number 0: the service picks the number and creates the file.
    const std::string three(prefix.substr(0, 3));
    char path[MAX_PATH + 1] = {};
    if (::GetTempFileNameA(dir.c_str(), three.c_str(), 0, path) == 0) return error_of(last_error());
    if (made != nullptr) {
        // Read at once, before the request that names the file exists.
        OwnedHandle file(::CreateFileA(path, FILE_READ_ATTRIBUTES,
                                       FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                                       FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
        if (const auto id = file.valid() ? id_of(file.get()) : std::nullopt) *made = *id;
    }
    return std::string(path);
}

namespace {

file_names::SearchCursor cursor;

}  // namespace

Result<std::string> make_request_file(const std::string& dir, std::string_view prefix,
                                      std::initializer_list<std::string_view> pieces) {
    // The first search starts at a number drawn from the clock and the
    // process, so gateways started together seldom try the same names; a
    // responder's later ones start after the last number made (SearchCursor).
    const DWORD seed = ::GetTickCount() + ::GetCurrentProcessId();
    std::uint16_t number = 0;
    auto made =
        win32::make_request_file_from(cursor.start(static_cast<std::uint16_t>(seed)), dir, prefix, pieces, &number);
    if (made) cursor.made(number);
    return made;
}

Error delete_file(const std::string& path) {
    if (::DeleteFileA(path.c_str())) return {};
    return error_of(last_error());
}

Error look_up(const std::string& path) {
    if (find_file(path, nullptr)) return {};
    return error_of(last_error());
}

std::optional<std::string> find_file_any_case(const std::string& path) {
    std::string name;
    if (!find_file(path, &name)) return std::nullopt;
    return path.substr(0, file_name_start(path)) + name;
}

std::optional<std::string> find_file_usual_case(const std::string& path) { return find_file_any_case(path); }

int last_error() { return static_cast<int>(::GetLastError()); }

ErrorKind error_kind(int code) {
    switch (static_cast<DWORD>(code)) {
        case ERROR_SUCCESS: return ErrorKind::none;
        case ERROR_FILE_NOT_FOUND:
        case ERROR_PATH_NOT_FOUND:
        case ERROR_DIRECTORY:  // what GetTempFileNameA reports for a missing directory
            return ErrorKind::not_found;
        case ERROR_FILE_EXISTS:
        case ERROR_ALREADY_EXISTS: return ErrorKind::exists;
        case ERROR_SHARING_VIOLATION:
        case ERROR_LOCK_VIOLATION: return ErrorKind::busy;
        case ERROR_ACCESS_DENIED: return ErrorKind::denied;
        default: return ErrorKind::other;
    }
}

}  // namespace qg::platform

namespace qg::win32 {

using platform::find_file;
using platform::OwnedHandle;
using platform::write_all;

platform::Result<std::string> make_request_file_from(std::uint16_t first, const std::string& dir,
                                                     std::string_view prefix,
                                                     std::initializer_list<std::string_view> pieces,
                                                     std::uint16_t* number) {
    // One WriteFile for the whole text: an application that reads the file
    // once it has grown finds the request with its body.
    std::string text;
    std::size_t size = 0;
    for (const std::string_view piece : pieces) size += piece.size();
    text.reserve(size);
    for (const std::string_view piece : pieces) text += piece;

    // Names as the temporary-name service makes them. A name held by
    // another process for a moment (a scanner) is waited for by the busy
    // rule; CREATE_NEW makes each candidate only if no file of that name
    // exists. Names ignore letter case here: one look-up finds a signal file
    // left in any case.
    HANDLE made = INVALID_HANDLE_VALUE;
    platform::Error failure;
    const auto look_up = [](const std::string& name) {
        return find_file(name, nullptr) ? file_names::Lookup::present : file_names::Lookup::absent;
    };
    const auto search = [](const std::string& name) { return find_file(name, nullptr); };
    const auto found = file_names::find_free_request_name(
        dir, prefix, first, file_names::LetterCase::ignored, look_up, search, [&](const std::string& path) {
            retry_while_busy([&] {
                made = ::CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                                     FILE_ATTRIBUTE_NORMAL, nullptr);
                failure = made == INVALID_HANDLE_VALUE ? platform::error_of(platform::last_error()) : platform::Error{};
                return failure.kind == platform::ErrorKind::busy;
            });
            if (made != INVALID_HANDLE_VALUE) return file_names::Attempt::made;
            // A file of that name exists; a file deleted while another
            // process still holds it open refuses access to its name until
            // it is closed, yet still shows in the directory. Both are taken.
            if (failure.kind == platform::ErrorKind::exists ||
                (failure.code == ERROR_ACCESS_DENIED && find_file(path, nullptr))) {
                return file_names::Attempt::taken;
            }
            return file_names::Attempt::failed;
        });
    OwnedHandle file(made);
    if (found.end == file_names::Attempt::failed) return failure;
    if (found.end == file_names::Attempt::made) {
        if (write_all(file.get(), text)) {
            if (number != nullptr) *number = found.number;
            return found.path;
        }
        const auto written = platform::error_of(platform::last_error());
        ::CloseHandle(file.release());
        delete_when_free(found.path);
        return written;  // the log gets the write's failure
    }
    return platform::error_of(ERROR_FILE_EXISTS);  // every number is taken
}

}  // namespace qg::win32
