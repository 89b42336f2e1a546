// The file work of a request: making its output and request files, on the
// loop thread or in the file lane (file_lane.h); and the relay with the
// deletions after an answer, which the responder keeps on the loop thread.
#pragma once

#include <uv.h>

#include <memory>
#include <optional>
#include <string>

#include "fastcgi/file_lane.h"
#include "fastcgi/responder_internal.h"

namespace qg::fastcgi {

// The making of a request's files; the responder gets the job back on the
// loop thread (request_made).
struct MakeJob final : LaneJob {
    void run() noexcept override;
    void finish() override;

    Responder* responder = nullptr;
    Client* client = nullptr;
    std::uint16_t id = 0;
    Settings settings;
    std::string text;  // the request text without its output-file head
    std::string body;
    // Results.
    std::optional<std::string> output_path;
    std::optional<std::string> request_path;
    bool failed = false;
    platform::Error error;  // what stopped the making, for the log
    bool exception = false;
};

struct RelayJob {
    Responder* responder = nullptr;
    std::unique_ptr<Pending> pending;
    std::string found_signal;
    Answer answer{0};
};

// The delete of a file; nothing waits for it.
std::unique_ptr<LaneJob> delete_job(std::string path);
// Makes the request's files on the calling thread; the responder gets the
// job back at once.
void make_here(std::unique_ptr<MakeJob> job);
// The relay, on the calling thread; the responder gets it back at once.
void relay_here(std::unique_ptr<RelayJob> job);

}  // namespace qg::fastcgi
