#pragma once
// The work directory shared with the gateway: request-file names, reading a
// request file, and delivering an answer (output file, then signal file).
// qg-echo never deletes any of the three files of a request: that is the
// gateway's job.

#include <sys/stat.h>

#include <optional>
#include <string>
#include <string_view>

#include "unique_fd.h"

namespace qgecho {

// Identifies one incarnation of a file name. The gateway deletes request
// files and may later make one with the same name; the change time (and
// usually the inode) tells the two apart.
struct FileId {
    dev_t dev = 0;
    ino_t ino = 0;
    long long ctime_sec = 0;
    long ctime_nsec = 0;
    bool operator==(const FileId&) const = default;
};

// A request-file name: the prefix (its first three characters, any letter
// case), one to four upper-case hexadecimal digits, then ".TMP".
bool is_request_name(std::string_view name, std::string_view prefix);

// The signal file's name: the request file's name with ".TMP" replaced by ".ret".
std::string signal_name(std::string_view request_name);

enum class Delivery { answered, abandoned, failed };

class WorkDir {
public:
    // Opens the directory; nullopt (with a reason in *error) when it is not one.
    static std::optional<WorkDir> open(const std::string& path, std::string* error);

    [[nodiscard]] const std::string& path() const { return path_; }
    [[nodiscard]] int fd() const { return fd_.get(); }

    // Reads a request file whole. nullopt when it is gone, not a regular
    // file, or larger than any request qg-echo accepts.
    std::optional<std::string> read_request(const std::string& name, FileId* id) const;

    // Writes the answer into the output file, closes it, and only then creates
    // the signal file. A request whose output or request file is gone (or
    // replaced by a newer one of the same name) was given up by the gateway
    // after its time-out: nothing is created for it, since a late signal file
    // would be left behind or could answer a later request of the same name.
    Delivery deliver(const std::string& request_name, const FileId& id, const std::string& output_path,
                     std::string_view answer, std::string* why) const;

private:
    WorkDir(UniqueFd fd, std::string path, const struct stat& st) : fd_(std::move(fd)), path_(std::move(path)), st_(st) {}
    [[nodiscard]] bool still_there(const std::string& request_name, const FileId& id) const;
    [[nodiscard]] bool is_own_file(const std::string& path) const;

    UniqueFd fd_;
    std::string path_;
    struct stat st_ {};
};

}  // namespace qgecho
