// The gateway's settings as a long-running responder sees them: read once,
// and read again for the next request whenever the settings file changed.
#pragma once

#include <cstdint>
#include <string>

namespace qg::fastcgi {

struct Settings {
    std::string work_dir;
    std::string log_path;
    std::uint32_t timeout_ms = 0;
    std::uint32_t poll_ms = 0;
    std::string prefix;
};

// What tells one version of a file from another (its size, times and file
// number, as the system gives them); empty when the file is not there.
std::string file_stamp(const std::string& path);

class SettingsCache {
public:
    explicit SettingsCache(std::string path) : path_(std::move(path)) {}

    // The settings for a request starting now. A settings file that is
    // missing is written once, with Timeout=50 and PollTime=150, as a first
    // run does; the request that wrote it, and any later one while the file
    // is still missing, waits 30 seconds.
    const Settings& current();

private:
    std::string path_;
    bool read_ = false;
    std::string signature_;
    Settings settings_;
    bool written_ = false;
};

}  // namespace qg::fastcgi
