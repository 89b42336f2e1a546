// The file work of a request: making its output and request files, run on
// libuv's thread pool while other requests are about; and the relay with the
// deletions after an answer, which the responder keeps on the loop thread.
#pragma once

#include <uv.h>

#include <memory>
#include <optional>
#include <string>

#include "fastcgi/responder_internal.h"

namespace qg::fastcgi {

struct MakeJob {
    uv_work_t work{};
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
    bool exception = false;
};

struct RelayJob {
    uv_work_t work{};
    Responder* responder = nullptr;
    std::unique_ptr<Pending> pending;
    std::string found_signal;
    Answer answer{0};
};

// Queues the job on the thread pool, or, with `here`, does it on the calling
// thread at once; either way the responder gets it back on the loop thread.
void queue(uv_loop_t* loop, std::unique_ptr<MakeJob> job, bool here);
void queue(uv_loop_t* loop, std::unique_ptr<RelayJob> job, bool here);
// Deletes a file on the thread pool (at once where the pool refuses it);
// nothing waits for it, and the loop runs until it is done.
void delete_on_pool(uv_loop_t* loop, std::string path);

}  // namespace qg::fastcgi
