// The narrow interface between the gateway's core and the operating system.
// Each operating system implements it in a folder of its own (posix/, win32/),
// one file per concern with the same names on both sides (process, settings,
// files, watch, stdio, exclusive_file, log); the core includes only this
// header and never needs #ifdef.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <initializer_list>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace qg::platform {

// What a failure means, in the same terms on every system, for the core and
// the tests to reason about.
enum class ErrorKind {
    none,
    not_found,  // the file or a directory on its path does not exist
    exists,     // a file of that name already exists
    busy,       // another process holds the file (a sharing or lease conflict)
    denied,     // no permission
    other,
};

// What stopped a platform call, as the call returns it: its meaning and the
// system's own number (errno, GetLastError), which the error log records. A
// call that did not fail returns the empty error.
struct Error {
    ErrorKind kind = ErrorKind::none;
    int code = 0;
    bool failed() const { return kind != ErrorKind::none; }
};
// The meaning of a system error number.
ErrorKind error_kind(int code);
inline Error error_of(int code) { return {error_kind(code), code}; }

// A value, or the error that stopped the call that was to give it.
template <typename T>
class Result {
public:
    Result(T value) : value_(std::move(value)) {}
    Result(Error error) : error_(error) {}

    explicit operator bool() const { return value_.has_value(); }
    T& operator*() { return *value_; }
    const T& operator*() const { return *value_; }
    T* operator->() { return &*value_; }
    const T* operator->() const { return &*value_; }
    // What stopped the call; the empty error when there is a value.
    const Error& error() const { return error_; }

private:
    std::optional<T> value_;
    Error error_;
};

// Prepares the process: standard output binary and unbuffered, and signals that
// would end the process without an answer (a closed pipe to the web server, a
// lease-break notice) ignored so the gateway still exits normally. From here
// on, a request to terminate (the web server ending its CGI program) only
// marks the run as ended; see termination_requested. A request that arrives
// while the gateway is not waiting is kept until the next wait, which then
// returns at once. A stop request the web server left ignored (a server
// started under nohup ignores hang-ups) stays ignored.
void prepare_process();

// Whether the web server has asked the gateway to end. Waits, reads and writes
// return early once it has, so the cycle can remove its files and exit quietly.
bool termination_requested();

// Full path of the running program; empty when the system cannot tell it.
// Where the system's own record is missing (no /proc) or names a program that
// was replaced meanwhile, the name the server started it by is used, made
// absolute, or the server's SCRIPT_FILENAME.
std::string program_path();

// Path of the settings file that belongs to the running program; empty when
// the program's path is unknown.
std::string settings_path();

// A private-profile settings file. Where the platform allows, the file is
// read once, when the profile is made, so a run opens it once however many
// keys it reads. Section and key names match in any letter case.
class Profile {
public:
    explicit Profile(std::string file);

    std::string read_text(std::string_view section, std::string_view key, std::string_view fallback) const;
    std::int64_t read_int(std::string_view section, std::string_view key, std::int64_t fallback) const;
    // Whether the settings file was there when the profile was made, as the
    // reads above saw it, even if it could not be read.
    bool found() const;
    // Writes one value into the file, creating the file when missing; later
    // reads see it.
    bool write_text(std::string_view section, std::string_view key, std::string_view value);

private:
    std::string file_;
    std::optional<std::string> content_;  // the file as read; nothing when it could not be
    bool found_ = false;
};

// System temporary directory, always ending with a path separator.
std::string temp_dir();

// Whether `c` separates the parts of a path on this system.
bool is_path_separator(char c);
// The separator the gateway puts between a directory and a name it adds.
char path_separator();

// Where the last part of a path starts, and whether the path ends with a
// separator. On Windows the path is in the ANSI code page, whose double-byte
// characters may end in the byte of a backslash (code page 932: U+8868 is
// 95 5C): these walk the text character by character, never byte by byte.
std::size_t file_name_start(std::string_view path);
bool ends_with_separator(std::string_view path);

// The path the gateway uses for a request file it has named: lower case where
// file names ignore letter case, unchanged where they do not.
std::string request_path_case(std::string path);

// Which file a name led to: its device and its number there (on Windows the
// volume serial number and the file index). Two names of one file give the
// same identity; a file put in another's place gives another.
struct FileId {
    std::uint64_t device = 0;
    std::uint64_t file = 0;
    friend bool operator==(const FileId&, const FileId&) = default;
};

// Makes a unique file name in `dir` from the first three characters of
// `prefix`, creating the file empty. Returns the full path, or what stopped
// the create when no name could be made (exists when every number is taken).
// `made`, when given, receives the identity of the file created.
Result<std::string> make_temp_name(const std::string& dir, std::string_view prefix, FileId* made = nullptr);

// Makes a new request file in `dir` under a unique name from the first three
// characters of `prefix` and writes `pieces` into it, one after the other, as
// one write where the platform allows, through the descriptor that created it.
// A number counts as taken when a file of that name, or its signal file (the
// name with ".ret" in place of ".TMP", any letter case), exists: a signal file
// left behind by an earlier request must not answer a new one. Returns the
// path as made; on failure what stopped the create or the write, with the
// file (if made) deleted again.
Result<std::string> make_request_file(const std::string& dir, std::string_view prefix,
                                      std::initializer_list<std::string_view> pieces);

// The process environment as "name=value" entries in stored order.
std::vector<std::string> environment();
// Looks up one variable; an exact match wins over one in another letter case.
std::optional<std::string> environment_value(std::string_view name);

// Deletes a file. Returns what stopped the delete (the empty error when the
// file is gone).
Error delete_file(const std::string& path);
// Looks a file up by its exact name: the empty error when it is there, else
// what the look-up met (a time-out's log line records the last one).
Error look_up(const std::string& path);
inline bool file_exists(const std::string& path) { return !look_up(path).failed(); }
// Finds a file whose name matches `path`'s file name in any letter case and
// returns the path of the one found.
std::optional<std::string> find_file_any_case(const std::string& path);
// Looks the file up under the usual spellings of its name (as given, its
// extension in the other letter case, all lower case, all upper case) without
// reading the directory; where names ignore letter case, any spelling.
std::optional<std::string> find_file_usual_case(const std::string& path);

// Watches a directory so that a wait for a file in it ends as soon as the file
// appears, instead of at the next poll. Made before the request file is
// written, so an answer cannot fall between a check and the wait. Where
// change notification cannot be had (no instance or watch left, a file
// system that sends no events), a wait is a plain sleep, and it reports
// News::lost only where the directory may have changed since the last report.
class DirectoryWatch {
public:
    explicit DirectoryWatch(const std::string& dir);
    DirectoryWatch(const DirectoryWatch&) = delete;
    DirectoryWatch& operator=(const DirectoryWatch&) = delete;
    ~DirectoryWatch();

    // What a wait learnt about the file it waited for.
    enum class News {
        none,   // nothing about that name (the pause ended, or it was cut short)
        named,  // an entry of that name (any letter case) was made: `named` holds its path
        lost,   // events may have been missed (an overflow, no watch): only a search can tell
    };

    // Waits for a change in the directory, at most `ms` milliseconds. Changes
    // to entries other than the one `path` names (its file name compared in
    // any letter case) are passed over without a system call of their own;
    // a wait of 0 only yields the processor. Returns early when termination
    // is requested. `named`, when given, receives the path of the entry
    // found for News::named, in the letter case it was made in.
    News wait(const std::string& path, std::uint32_t ms, std::string* named = nullptr);

    // Whether change notification is working for this watch.
    bool active() const;

private:
    std::intptr_t handle_ = -1;  // the platform's notification handle, or -1
    // Without notification: the directory, and its state (times, size) when
    // it was last reported, so an unchanged directory needs no search.
    std::string dir_;
    std::optional<std::array<std::int64_t, 4>> stamp_;
};

// Monotonic millisecond counter that wraps at 2^32.
std::uint32_t tick_ms();
void sleep_ms(std::uint32_t ms);
// Lowers the scheduling priority of the calling thread.
void lower_priority();

// The thread's last error as the system holds it (errno, GetLastError). Only
// a failure that no call returned reads it: an exception or a fault, which
// stop the cycle wherever it stands.
int last_error();

// Writes bytes to standard output as they are; failures are ignored.
void stdout_write(std::string_view bytes);
// Ends the answer: closes standard output, so the web server sees the whole
// response at once, before the run's own clean-up is over.
void stdout_close();
// Reads standard input as a text-mode stream: CR LF arrives as LF, a lone CR
// is kept, the byte 0x1A ends the input. The reader fills up to `size` bytes
// and returns how many came; 0 means the end of the input.
using TextReader = std::function<std::size_t(char* buffer, std::size_t size)>;
TextReader text_mode_stdin();
// Reads standard input byte for byte, as it arrives (for BinaryBody=1).
TextReader binary_stdin();

// A regular file opened for reading only when no other process holds it open.
// A file still held elsewhere fails with ErrorKind::busy. A symbolic link (a
// reparse point on Windows) at the name is never followed, and when
// `expected` is given only that very file is opened: any other file at the
// name fails with ErrorKind::denied.
class ExclusiveFile {
public:
    static Result<ExclusiveFile> open(const std::string& path, const std::optional<FileId>& expected = std::nullopt);
    ExclusiveFile(ExclusiveFile&& other) noexcept : handle_(std::exchange(other.handle_, -1)) {}
    ExclusiveFile& operator=(ExclusiveFile&& other) noexcept {
        if (this != &other) {
            ExclusiveFile old(std::move(*this));  // closes the file held so far
            handle_ = std::exchange(other.handle_, -1);
        }
        return *this;
    }
    ExclusiveFile(const ExclusiveFile&) = delete;
    ExclusiveFile& operator=(const ExclusiveFile&) = delete;
    ~ExclusiveFile();

    // Bytes read, 0 at the end, or what stopped the read.
    Result<std::size_t> read(char* buffer, std::size_t size);

private:
    // The system's handle, kept opaque here: wide enough for a descriptor or
    // a pointer-sized handle; -1 means none.
    using Handle = std::intptr_t;
    explicit ExclusiveFile(Handle handle) : handle_(handle) {}
    Handle handle_ = -1;
};

// Appends one line to a log file shared by many processes; waits a bounded
// time for the other writers so that no entry is lost and none interleave.
bool append_log(const std::string& path, std::string_view line);

struct LocalTime {
    int day = 0;
    int month = 0;
    int year = 0;
    int hour = 0;
    int minute = 0;
};
LocalTime local_time();

// While alive, turns the faults SIGSEGV, SIGBUS, SIGFPE, SIGILL and SIGABRT into
// a log line with `log_message` (written to the current log path), then
// `page` on standard output, and exit status 0. Only one guard may be alive.
class FaultGuard {
public:
    FaultGuard(std::string_view log_path, std::string_view log_message, std::string_view page);
    FaultGuard(const FaultGuard&) = delete;
    FaultGuard& operator=(const FaultGuard&) = delete;
    ~FaultGuard();

    void set_log_path(std::string_view log_path);
};

// The gateway as a FastCGI responder (gateway/fastcgi/).

// A listening socket the program was started with: standard input when it is
// one (the convention of FastCGI process managers), or the first socket that
// systemd passed to this very process (LISTEN_FDS, LISTEN_PID). Nothing when
// the program was started otherwise.
std::optional<std::intptr_t> inherited_listener();
// Prepares a long-running responder: signals that would end it without an
// answer (a closed connection, a lease-break notice) are ignored.
void prepare_responder_process();
// Removes a socket file that a responder left at `path`, and nothing else.
void remove_stale_socket(const std::string& path);

}  // namespace qg::platform
