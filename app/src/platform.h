// The narrow interface between the library's core and the operating system.
// Each operating system provides one implementation file (platform_posix.cpp,
// platform_win32.cpp); the core includes only this header and never needs
// #ifdef. Every call that fails leaves a message in *error.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace qga::platform {

// One incarnation of a file name as this host sees it: the gateway deletes
// request files and later makes new ones under the same names.
struct FileId {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::int64_t change_ns = 0;  // status-change time
    std::uint64_t size = 0;
    bool operator==(const FileId&) const = default;
};

enum class ReadStatus {
    ok,
    missing,    // no such file (or not a regular file)
    busy,       // still open for writing where the platform can tell
    too_large,  // larger than the limit; nothing read
    failed,
};

struct FileText {
    std::string text;
    FileId id;
    // Last-modification time in whole seconds since 1970 (UTC) on every
    // system: part of the claim stamp, which processes on other systems must
    // derive alike.
    std::int64_t modified_s = 0;
};

// One name from a listing. `key` is what the listing itself says of the file
// (size and times) where the platform's listing tells that much, so that an
// unchanged file needs no further look; empty where it does not.
struct Listed {
    std::string name;
    std::string key;
};

enum class OpenStatus { ok, missing, refused, failed };

// The output file, opened for writing; closed (without error report) when
// dropped.
class OutputFile {
public:
    virtual ~OutputFile() = default;
    virtual bool write(std::string_view bytes, std::string* error) = 0;
    // Empties the file (it is opened without emptying it, so that nothing is
    // lost before the request is known to be still there).
    virtual bool empty(std::string* error) = 0;
    // Closes the file, reporting a failure of the close itself (a network file
    // system reports deferred write errors there).
    virtual bool close(std::string* error) = 0;
};

enum class CreateStatus { created, exists, failed };

// What the change watch saw. `overflow`: events were lost, or the platform
// reports only that something changed, so everything must be looked at again.
struct Change {
    enum Kind { closed_after_write, modified, removed } kind;
    std::string name;
};

// The work directory, held open so that every file is reached relative to it
// and never through a symbolic link.
class Directory {
public:
    virtual ~Directory() = default;

    virtual const std::string& path() const = 0;
    // Whether a successful read proves that nobody was still writing the file
    // (Windows: a read that does not share with writers fails while the
    // writer's handle is open). Elsewhere a read is confirmed by a later one.
    virtual bool reads_exclude_writers() const { return false; }

    // Reads a regular file whole.
    virtual ReadStatus read(const std::string& name, std::uint64_t limit, FileText* out, std::string* error) = 0;
    // The incarnation of a name, without following a symbolic link; nothing
    // when there is no such file.
    virtual std::optional<FileId> identify(const std::string& name) = 0;
    // Whether a regular file has the name. Windows answers it without opening
    // the file: a handle held for a look makes a delete of the file by the
    // gateway wait until it is closed, and the name stays in sight meanwhile.
    virtual bool exists(const std::string& name) { return identify(name).has_value(); }
    // The names in the directory (or in its subdirectory `sub`).
    virtual bool list(const std::string& sub, std::vector<Listed>* names, std::string* error) = 0;

    // Opens an existing regular file for writing, as it is. Never creates it;
    // refuses a symbolic link and a file with more than one link (a hard link
    // planted under the name would let the answer overwrite another file).
    virtual OpenStatus open_output(const std::string& name, std::unique_ptr<OutputFile>* out, std::string* error) = 0;

    // Creates a new file (a relative path, "sub/name") holding `content`;
    // `exists` when the name is taken. Only this host-independent operation,
    // exclusive creation, decides between competitors. `made` (if not null)
    // receives the new file's incarnation, as identify() reports it later.
    virtual CreateStatus create_new(const std::string& rel, std::string_view content, FileId* made,
                                    std::string* error) = 0;
    virtual bool remove(const std::string& rel) = 0;
    // Sets a file's modification time to now as the file system's own clock
    // has it (on a network file system: the server's, never this host's);
    // returns that time (seconds since 1970), or nothing.
    virtual std::optional<std::int64_t> touch(const std::string& rel) = 0;
    // A file's modification time (seconds since 1970), or nothing.
    virtual std::optional<std::int64_t> modified(const std::string& rel) = 0;
    // Makes a subdirectory unless it exists; removes it when it is empty.
    virtual bool make_subdirectory(const std::string& sub, std::string* error) = 0;
    virtual void remove_subdirectory_if_empty(const std::string& sub) = 0;
};

std::unique_ptr<Directory> open_directory(const std::string& path, std::string* error);

// Change notification for the work directory, with a wake-up from another
// thread. Where the platform reports no changes, wait() only sleeps.
class Watch {
public:
    virtual ~Watch() = default;
    // Whether changes are reported at all; without them, files are found by
    // listing the directory only.
    virtual bool reports_changes() const = 0;
    // Waits until changes arrive, wake() is called or the time passes; then
    // appends what changed (in order) without blocking.
    virtual void wait(std::chrono::milliseconds limit, std::vector<Change>* changes, bool* overflow) = 0;
    // Appends the changes queued now, without waiting.
    virtual void drain(std::vector<Change>* changes, bool* overflow) = 0;
    virtual void wake() = 0;
};

std::unique_ptr<Watch> watch_directory(Directory& dir);

// Starts a thread of the library's own, which takes no signals: the
// application decides which of its threads handle them (a process that waits
// for SIGTERM on one thread must not be ended by a signal sent to ours).
std::thread start_quiet_thread(std::function<void()> body);

// Identifies this process for the claims it makes: host name and process id.
std::string process_label();

// A random 64-bit number, different for each instance.
std::uint64_t random_u64();

}  // namespace qga::platform
