// Windows implementation of the platform layer: the kernel services the
// gateway was made for, called directly. Nothing here needs user32.dll: a CGI
// process that loads it takes a share of the desktop heap, and under IIS many
// waiting gateways would exhaust it until new processes fail to start.
#include "platform.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <cwchar>
#include <algorithm>
#include <memory>
#include <utility>

#include "ascii.h"
#include "busy.h"
#include "win32/path_text.h"
#include "win32/request_names.h"

namespace qg::platform {
namespace {

// Set once the web server or a user asks the gateway to end; the waits wake
// on it. Made by prepare_process; without it (in tests) a wait is a sleep.
HANDLE termination_event = nullptr;

BOOL WINAPI on_console_event(DWORD type) {
    switch (type) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
            ::SetEvent(termination_event);
            return TRUE;
        case CTRL_CLOSE_EVENT:
            // Windows ends the process when this handler returns: give the
            // cycle a moment to remove its files first.
            ::SetEvent(termination_event);
            ::Sleep(4000);
            return TRUE;
        default:
            return FALSE;
    }
}

// Owning wrapper for a kernel handle: closes it exactly once and keeps the
// thread's last error, so closing never hides the failure being reported.
class OwnedHandle {
public:
    explicit OwnedHandle(HANDLE h) : h_(h) {}
    OwnedHandle(const OwnedHandle&) = delete;
    OwnedHandle& operator=(const OwnedHandle&) = delete;
    ~OwnedHandle() {
        if (valid()) {
            const DWORD saved = ::GetLastError();
            ::CloseHandle(h_);
            ::SetLastError(saved);
        }
    }
    bool valid() const { return h_ != INVALID_HANDLE_VALUE && h_ != nullptr; }
    HANDLE get() const { return h_; }
    HANDLE release() { return std::exchange(h_, INVALID_HANDLE_VALUE); }

private:
    HANDLE h_;
};

HANDLE handle_of(std::intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }

// Writes everything with WriteFile; one call does it for every size the
// gateway writes, the loop only covers a short write.
bool write_all(HANDLE h, std::string_view bytes) {
    while (!bytes.empty()) {
        const DWORD chunk = bytes.size() > 0x40000000 ? 0x40000000 : static_cast<DWORD>(bytes.size());
        DWORD written = 0;
        if (!::WriteFile(h, bytes.data(), chunk, &written, nullptr) || written == 0) return false;
        bytes.remove_prefix(written);
    }
    return true;
}

// Lower-cases a text in the system's ANSI code page, the one file names are
// given in. A text the service cannot map stays as it was.
void lower_in_place(std::string& text) {
    if (text.empty() || text.size() > INT_MAX) return;
    const DWORD saved = ::GetLastError();
    std::string lower(text.size(), '\0');
    const int size = static_cast<int>(text.size());
    if (::LCMapStringA(LOCALE_SYSTEM_DEFAULT, LCMAP_LOWERCASE, text.data(), size, lower.data(), size) == size)
        text = std::move(lower);
    ::SetLastError(saved);
}

// Converts one UTF-16 text to the ANSI code page. The buffer is sized for the
// longest form any ANSI code page gives (three bytes per UTF-16 unit, as
// UTF-8 does), so the service never has to be asked for the length first.
// Characters the code page lacks become "?" rather than a look-alike (a
// full-width "&" must not turn into a real one).
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

// The identity of an open file, with whether it is a reparse point (a
// symbolic link or a junction opened as itself).
std::optional<FileId> id_of(HANDLE file, bool* reparse_point = nullptr) {
    BY_HANDLE_FILE_INFORMATION info{};
    if (!::GetFileInformationByHandle(file, &info)) return std::nullopt;
    if (reparse_point != nullptr) *reparse_point = (info.dwFileAttributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0;
    return FileId{info.dwVolumeSerialNumber,
                  static_cast<std::uint64_t>(info.nFileIndexHigh) << 32 | info.nFileIndexLow};
}

struct EnvironmentBlockFree {
    void operator()(wchar_t* block) const { ::FreeEnvironmentStringsW(block); }
};

// Finds a file by a directory search for its name (letter case ignored by the
// file system). Fills `found` with the name as stored.
bool find_file(const std::string& path, std::string* found) {
    WIN32_FIND_DATAA data{};
    const HANDLE h = ::FindFirstFileA(path.c_str(), &data);
    if (h == INVALID_HANDLE_VALUE) return false;
    ::FindClose(h);
    if (found != nullptr) *found = data.cFileName;
    return true;
}

}  // namespace

void prepare_process() {
    // Bytes written reach the web server untranslated and at once.
    ::_setmode(::_fileno(stdout), _O_BINARY);
    std::setvbuf(stdout, nullptr, _IONBF, 0);
    // No message boxes in a server process: a failure is answered with the
    // error page, never with a dialog that waits for a user.
    ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
    // A request to end (Ctrl+C, Ctrl+Break, the console closing) only marks
    // the run as ended; the cycle then removes its files and exits quietly.
    termination_event = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (termination_event != nullptr) ::SetConsoleCtrlHandler(on_console_event, TRUE);
}

bool termination_requested() {
    return termination_event != nullptr && ::WaitForSingleObject(termination_event, 0) == WAIT_OBJECT_0;
}

std::string program_path() {
    // The whole path, however long; the buffer grows until it fits.
    std::string path(MAX_PATH, '\0');
    for (;;) {
        const DWORD n = ::GetModuleFileNameA(nullptr, path.data(), static_cast<DWORD>(path.size()));
        if (n == 0) return {};
        if (n < path.size()) {
            path.resize(n);
            return path;
        }
        path.resize(path.size() * 2);
    }
}

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
    const DWORD saved = ::GetLastError();
    found_ = ::GetFileAttributesA(file_.c_str()) != INVALID_FILE_ATTRIBUTES;
    ::SetLastError(saved);  // a missing settings file is an ordinary case
}

bool Profile::found() const { return found_; }

std::string Profile::read_text(std::string_view section, std::string_view key, std::string_view fallback) const {
    const std::string s(section), k(key), f(fallback);
    char value[1024] = {};
    const DWORD saved = ::GetLastError();
    const DWORD n = ::GetPrivateProfileStringA(s.c_str(), k.c_str(), f.c_str(), value, sizeof value, file_.c_str());
    ::SetLastError(saved);  // a missing settings file is an ordinary case
    return std::string(value, n);
}

std::int64_t Profile::read_int(std::string_view section, std::string_view key, std::int64_t fallback) const {
    const std::string s(section), k(key);
    const DWORD saved = ::GetLastError();
    const UINT value = ::GetPrivateProfileIntA(s.c_str(), k.c_str(), static_cast<INT>(fallback), file_.c_str());
    ::SetLastError(saved);
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

bool is_path_separator(char c) { return c == '\\' || c == '/'; }

std::size_t file_name_start(std::string_view path) { return win32::file_name_start(path); }

bool ends_with_separator(std::string_view path) { return !path.empty() && file_name_start(path) == path.size(); }

std::string request_path_case(std::string path) {
    // File names ignore letter case here, so the lower-case path names the
    // very file that was made.
    lower_in_place(path);
    return path;
}

std::optional<std::string> make_temp_name(const std::string& dir, std::string_view prefix, FileId* made) {
    // Unique number 0: the service picks the number and creates the file.
    const std::string three(prefix.substr(0, 3));
    char path[MAX_PATH + 1] = {};
    if (::GetTempFileNameA(dir.c_str(), three.c_str(), 0, path) == 0) return std::nullopt;
    if (made != nullptr) {
        // Read at once, before the request that names the file exists.
        const DWORD saved = ::GetLastError();
        OwnedHandle file(::CreateFileA(path, FILE_READ_ATTRIBUTES, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                       nullptr, OPEN_EXISTING, FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
        if (const auto id = file.valid() ? id_of(file.get()) : std::nullopt) *made = *id;
        ::SetLastError(saved);
    }
    return std::string(path);
}

std::optional<std::string> make_request_file(const std::string& dir, std::string_view prefix,
                                             std::initializer_list<std::string_view> pieces) {
    // The search starts at a number drawn from the clock and the process, so
    // gateways started together seldom try the same names.
    const DWORD first = ::GetTickCount() + ::GetCurrentProcessId();
    return win32::make_request_file_from(static_cast<std::uint16_t>(first), dir, prefix, pieces);
}

std::vector<std::string> environment() {
    // The wide block, converted with the ANSI code page: the ANSI function
    // would give the OEM code page's bytes (an "e" with acute accent as 0x82,
    // not 0xE9), which is not the text the web server meant.
    std::vector<std::string> entries;
    const DWORD saved = ::GetLastError();
    const std::unique_ptr<wchar_t, EnvironmentBlockFree> block(::GetEnvironmentStringsW());
    for (const wchar_t* e = block.get(); e != nullptr && *e != L'\0';) {
        const std::size_t length = std::wcslen(e);
        // An entry that cannot be converted is left out, as the request
        // text leaves out any entry it cannot take.
        if (auto entry = to_ansi(e, length)) entries.push_back(std::move(*entry));
        e += length + 1;
    }
    ::SetLastError(saved);
    return entries;
}

std::optional<std::string> environment_value(std::string_view name) {
    // Names ignore letter case in a Windows environment; the walk keeps the
    // same preference as elsewhere for an exact match.
    std::optional<std::string> other_case;
    for (const std::string& entry : environment()) {
        const auto eq = entry.find('=', 1);  // "=C:=C:\" entries start with '='
        if (eq == std::string::npos) continue;
        const std::string_view entry_name = std::string_view(entry).substr(0, eq);
        if (entry_name == name) return entry.substr(eq + 1);
        if (!other_case && ascii::equal_any_case(entry_name, name)) other_case = entry.substr(eq + 1);
    }
    return other_case;
}

ErrorKind delete_file(const std::string& path) {
    const DWORD saved = ::GetLastError();
    const ErrorKind result = ::DeleteFileA(path.c_str()) ? ErrorKind::none : error_kind(last_error());
    ::SetLastError(saved);  // a missing file is expected here and must not hide an earlier error
    return result;
}

bool file_exists(const std::string& path) { return find_file(path, nullptr); }

std::optional<std::string> find_file_any_case(const std::string& path) {
    std::string name;
    if (!find_file(path, &name)) return std::nullopt;
    return path.substr(0, file_name_start(path)) + name;
}

namespace {

// A directory watch that reports the names changed (ReadDirectoryChangesW),
// so that files of other requests are passed over by comparing names, with
// no look-up in the directory: a bare change notification says only that
// something changed, and each look-up after one reads the directory (under
// Wine, all of it).
struct NameWatch {
    HANDLE dir = INVALID_HANDLE_VALUE;
    HANDLE event = nullptr;
    OVERLAPPED overlapped{};
    alignas(DWORD) unsigned char buffer[16384];

    ~NameWatch() {
        if (dir != INVALID_HANDLE_VALUE) {
            ::CancelIo(dir);
            DWORD ignored = 0;
            ::GetOverlappedResult(dir, &overlapped, &ignored, TRUE);  // the buffer stays until the read ends
            ::CloseHandle(dir);
        }
        if (event != nullptr) ::CloseHandle(event);
    }

    // Asks for the next changes; false when the watch cannot go on.
    bool arm() {
        ::ResetEvent(event);
        overlapped = OVERLAPPED{};
        overlapped.hEvent = event;
        return ::ReadDirectoryChangesW(dir, buffer, sizeof buffer, FALSE, FILE_NOTIFY_CHANGE_FILE_NAME, nullptr,
                                       &overlapped, nullptr) != 0;
    }
};

NameWatch* watch_of(std::intptr_t handle) { return reinterpret_cast<NameWatch*>(handle); }

// The least time between two looks at the changes of a busy directory.
constexpr std::uint32_t batch_gap_ms = 20;

}  // namespace

std::optional<std::string> find_file_usual_case(const std::string& path) { return find_file_any_case(path); }

DirectoryWatch::DirectoryWatch(const std::string& dir) {
#ifndef QG_NO_CHANGE_NOTIFICATION
    const DWORD saved = ::GetLastError();
    auto watch = std::make_unique<NameWatch>();
    watch->dir = ::CreateFileA(dir.c_str(), FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                               nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OVERLAPPED, nullptr);
    watch->event = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (watch->dir != INVALID_HANDLE_VALUE && watch->event != nullptr && watch->arm())
        handle_ = reinterpret_cast<std::intptr_t>(watch.release());
    ::SetLastError(saved);  // without notification the gateway polls, silently
#else
    (void)dir;  // benchmark builds measure the plain poll
#endif
}

DirectoryWatch::~DirectoryWatch() {
    if (handle_ != -1) std::unique_ptr<NameWatch> closing(watch_of(handle_));
}

bool DirectoryWatch::active() const { return handle_ != -1; }

DirectoryWatch::News DirectoryWatch::wait(const std::string& path, std::uint32_t ms, std::string* named) {
    if (handle_ == -1 || ms == 0) {
        sleep_ms(ms);
        return handle_ == -1 ? News::lost : News::none;
    }
    const DWORD saved = ::GetLastError();
    NameWatch& watch = *watch_of(handle_);
    const std::size_t dir_end = file_name_start(path);
    const std::string_view name = std::string_view(path).substr(dir_end);
    const HANDLE events[2] = {watch.event, termination_event};
    const DWORD count = termination_event != nullptr ? 2 : 1;
    const std::uint32_t start = tick_ms();
    News news = News::none;
    while (news == News::none) {
        const std::uint32_t elapsed = tick_ms() - start;
        if (elapsed >= ms) break;
        const DWORD woke = ::WaitForMultipleObjects(count, events, FALSE, ms - elapsed);
        if (woke != WAIT_OBJECT_0) {
            if (woke != WAIT_FAILED) break;  // the pause is over, or the gateway is asked to end
        } else {
            DWORD bytes = 0;
            bool read = ::GetOverlappedResult(watch.dir, &watch.overlapped, &bytes, FALSE) != 0;
            // No bytes (or, on some file systems, this error): more changes
            // came than the buffer holds.
            if (!read && ::GetLastError() == ERROR_NOTIFY_ENUM_DIR) {
                read = true;
                bytes = 0;
            }
            if (read && bytes == 0) news = News::lost;
            for (DWORD at = 0; read && at + sizeof(FILE_NOTIFY_INFORMATION) <= bytes;) {
                const auto* change = reinterpret_cast<const FILE_NOTIFY_INFORMATION*>(watch.buffer + at);
                if (change->Action == FILE_ACTION_ADDED || change->Action == FILE_ACTION_RENAMED_NEW_NAME) {
                    const auto changed = to_ansi(change->FileName, change->FileNameLength / sizeof(wchar_t));
                    if (changed && ascii::equal_any_case(*changed, name)) {
                        if (named != nullptr) *named = path.substr(0, dir_end) + *changed;
                        news = News::named;
                        break;
                    }
                }
                if (change->NextEntryOffset == 0) break;
                at += change->NextEntryOffset;
            }
            // Re-armed at once, so a change that comes next is kept for the
            // next wait. After changes to other names the next look comes
            // a moment later, so that a busy directory's changes arrive in
            // batches: each wake costs several calls to the system (under
            // Wine, each a round trip to its server).
            if (read && watch.arm()) {
                const std::uint32_t spent = tick_ms() - start;
                if (news == News::none && spent < ms) sleep_ms(std::min<std::uint32_t>(batch_gap_ms, ms - spent));
                continue;
            }
        }
        // The watch is dead (the directory renamed or removed, a network
        // session dropped): this wait and all later ones are plain pauses.
        std::unique_ptr<NameWatch> closing(watch_of(std::exchange(handle_, -1)));
        const std::uint32_t spent = tick_ms() - start;
        if (spent < ms) sleep_ms(ms - spent);
        news = News::lost;
        break;
    }
    ::SetLastError(saved);
    return news;
}

std::uint32_t tick_ms() { return ::GetTickCount(); }

void sleep_ms(std::uint32_t ms) {
    // Ends early when the gateway is asked to end.
    if (termination_event == nullptr || ms == 0)
        ::Sleep(ms);
    else
        ::WaitForSingleObject(termination_event, ms);
}

void lower_priority() { ::SetThreadPriority(::GetCurrentThread(), THREAD_PRIORITY_BELOW_NORMAL); }

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

void stdout_write(std::string_view bytes) {
    const DWORD saved = ::GetLastError();
    const int fd = ::_fileno(stdout);
    // A web server that asked the gateway to end reads nothing more.
    while (!bytes.empty() && !termination_requested()) {
        const unsigned chunk = bytes.size() > 0x10000000 ? 0x10000000u : static_cast<unsigned>(bytes.size());
        const int n = ::_write(fd, bytes.data(), chunk);
        if (n <= 0) break;
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    ::SetLastError(saved);
}

void stdout_close() {
    const DWORD saved = ::GetLastError();
    ::_close(::_fileno(stdout));
    ::SetLastError(saved);
}

TextReader binary_stdin() {
    // The descriptor is switched to binary mode: no translation at all.
    ::_setmode(0, _O_BINARY);
    return [](char* buffer, std::size_t size) -> std::size_t {
        const unsigned chunk = size > 0x10000000 ? 0x10000000u : static_cast<unsigned>(size);
        const int n = ::_read(0, buffer, chunk);
        return n > 0 ? static_cast<std::size_t>(n) : 0;
    };
}

TextReader text_mode_stdin() {
    // Descriptor 0 keeps the C runtime's text mode: the runtime itself turns
    // CR LF into LF and ends the input at 0x1A.
    return [](char* buffer, std::size_t size) -> std::size_t {
        const unsigned chunk = size > 0x10000000 ? 0x10000000u : static_cast<unsigned>(size);
        const int n = ::_read(0, buffer, chunk);
        return n > 0 ? static_cast<std::size_t>(n) : 0;
    };
}

std::optional<ExclusiveFile> ExclusiveFile::open(const std::string& path, const std::optional<FileId>& expected) {
    // Share mode 0: the open fails with a sharing violation while any other
    // handle to the file is open, which is the application still writing it.
    // A reparse point at the name is opened as itself and refused below, so
    // a link never leads the gateway to a file it may read and the
    // application's account may not.
    OwnedHandle file(::CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING,
                                   FILE_ATTRIBUTE_NORMAL | FILE_FLAG_OPEN_REPARSE_POINT, nullptr));
    if (!file.valid()) return std::nullopt;
    if (::GetFileType(file.get()) != FILE_TYPE_DISK) {
        ::SetLastError(ERROR_INVALID_FUNCTION);
        return std::nullopt;
    }
    bool reparse_point = false;
    const auto id = id_of(file.get(), &reparse_point);
    if (!id) return std::nullopt;
    if (reparse_point || (expected && *id != *expected)) {
        ::SetLastError(ERROR_ACCESS_DENIED);  // not the file the gateway made
        return std::nullopt;
    }
    return ExclusiveFile(reinterpret_cast<std::intptr_t>(file.release()));
}

ExclusiveFile::~ExclusiveFile() {
    if (handle_ != -1) OwnedHandle closing(handle_of(handle_));
}

long ExclusiveFile::read(char* buffer, std::size_t size) {
    const DWORD chunk = size > 0x40000000 ? 0x40000000 : static_cast<DWORD>(size);
    DWORD got = 0;
    if (!::ReadFile(handle_of(handle_), buffer, chunk, &got, nullptr)) return -1;
    return static_cast<long>(got);
}

bool ExclusiveFile::rewind() {
    LARGE_INTEGER zero{};
    return ::SetFilePointerEx(handle_of(handle_), zero, nullptr, FILE_BEGIN) != 0;
}

bool append_log(const std::string& path, std::string_view line) {
    // Read sharing only: while one gateway writes, another's open fails with
    // a sharing violation. It waits for its turn, about two seconds at most,
    // instead of dropping its entry.
    for (int waited_ms = 0;; waited_ms += 10) {
        OwnedHandle file(::CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                                  FILE_ATTRIBUTE_NORMAL, nullptr));
        if (file.valid()) {
            LARGE_INTEGER zero{};
            return ::SetFilePointerEx(file.get(), zero, nullptr, FILE_END) && write_all(file.get(), line);
        }
        if (error_kind(last_error()) != ErrorKind::busy || waited_ms >= 2000) return false;
        ::Sleep(10);
    }
}

LocalTime local_time() {
    SYSTEMTIME now{};
    ::GetLocalTime(&now);
    return LocalTime{now.wDay, now.wMonth, now.wYear, now.wHour, now.wMinute};
}

}  // namespace qg::platform

namespace qg::win32 {

using platform::find_file;
using platform::is_path_separator;
using platform::OwnedHandle;
using platform::write_all;

std::optional<std::string> make_request_file_from(std::uint16_t first, const std::string& dir,
                                                  std::string_view prefix,
                                                  std::initializer_list<std::string_view> pieces) {
    // One WriteFile for the whole text: an application that reads the file
    // once it has grown finds the request with its body.
    std::string text;
    std::size_t size = 0;
    for (const std::string_view piece : pieces) size += piece.size();
    text.reserve(size);
    for (const std::string_view piece : pieces) text += piece;

    // Names as the temporary-name service makes them: the directory (with a
    // separator added when it lacks one), three prefix characters, a number
    // of up to four upper-case hexadecimal digits, ".TMP". CREATE_NEW makes
    // each candidate only if no file of that name exists.
    std::string stem = dir;
    if (!platform::ends_with_separator(stem)) stem += '\\';
    stem += prefix.substr(0, 3);
    for (DWORD step = 0; step <= 0xFFFF; ++step) {
        const DWORD number = (first + step) & 0xFFFF;
        if (number == 0) continue;  // the service never makes number 0
        char digits[8];
        std::snprintf(digits, sizeof digits, "%lX", static_cast<unsigned long>(number));
        const std::string path = stem + digits + ".TMP";
        // A signal file still there from an earlier request of this number
        // (answered after its time-out, or left by a gateway that was killed)
        // would answer this one at once: the number counts as taken.
        if (find_file(stem + digits + ".ret", nullptr)) continue;

        // A name held by another process for a moment (a scanner) is
        // waited for by the busy rule.
        HANDLE made = INVALID_HANDLE_VALUE;
        retry_while_busy([&] {
            made = ::CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, CREATE_NEW,
                                 FILE_ATTRIBUTE_NORMAL, nullptr);
            return made == INVALID_HANDLE_VALUE && platform::last_error_kind() == platform::ErrorKind::busy;
        });
        OwnedHandle file(made);
        if (!file.valid()) {
            const DWORD error = ::GetLastError();
            // A file of that name exists; a file deleted while another
            // process still holds it open refuses access to its name until
            // it is closed, yet still shows in the directory. Both are taken.
            if (platform::error_kind(static_cast<int>(error)) == platform::ErrorKind::exists ||
                (error == ERROR_ACCESS_DENIED && find_file(path, nullptr))) {
                continue;
            }
            ::SetLastError(error);
            return std::nullopt;
        }
        if (write_all(file.get(), text)) return path;
        const DWORD error = ::GetLastError();
        ::CloseHandle(file.release());
        delete_when_free(path);
        ::SetLastError(error);  // the log gets the write's failure
        return std::nullopt;
    }
    ::SetLastError(ERROR_FILE_EXISTS);  // every number is taken
    return std::nullopt;
}

}  // namespace qg::win32
