#pragma once
// Finds request files in the work directory and hands each complete one to
// the scheduler exactly once.
//
// inotify's IN_CLOSE_WRITE is the trigger: the gateway closes the request
// file after its single write. It also closes it once while it is still empty
// (right after making the name), so every candidate is read and checked for
// completeness. A periodic scan catches anything inotify missed (queue
// overflow, a file system without inotify events, or no inotify at all).

#include <chrono>
#include <string>
#include <unordered_map>

#include "scheduler.h"
#include "unique_fd.h"
#include "workdir.h"

namespace qgecho {

class Watcher {
public:
    Watcher(const WorkDir& dir, std::string prefix, Scheduler& scheduler);

    // Watches until stop_fd becomes readable (true) or the work directory
    // disappears (false).
    bool run(int stop_fd);

private:
    void consider(const std::string& name);
    void forget(const std::string& name) { taken_.erase(name); }
    bool read_events();
    bool scan();

    const WorkDir& dir_;
    std::string prefix_;
    Scheduler& scheduler_;
    UniqueFd inotify_;
    std::chrono::milliseconds scan_interval_;
    // Request files already handed on, by name, until the gateway deletes them.
    std::unordered_map<std::string, FileId> taken_;
};

}  // namespace qgecho
