// The responder's parts, shared by its loop (responder.cpp) and the hand-off
// of each request (handoff.cpp).
#pragma once

#include <uv.h>

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <unordered_map>

#include "fastcgi/answer.h"
#include "fastcgi/connection.h"
#include "fastcgi/file_lane.h"
#include "fastcgi/settings.h"
#include "platform.h"

namespace qg::fastcgi {

class Responder;
struct Client;

// A request whose files are made, waiting for its signal file.
struct Pending {
    Client* client = nullptr;
    std::uint16_t id = 0;
    std::string dir;         // the work directory it lies in
    std::string signal_key;  // its signal file's name in lower case
    std::string output_path;
    std::string request_path;
    std::string signal_path;
    std::string log_path;
    std::uint32_t start_ms = 0;
    std::uint32_t timeout_ms = 0;
    platform::Error last_check;  // what its last failed look-up met: a time-out's log line records it
};

// One directory watch for every request waiting in a work directory, and the
// table from signal-file name to the request it answers.
struct WatchedDir {
    Responder* responder = nullptr;
    std::string dir;
    uv_fs_event_t event{};
    bool initialized = false;
    bool watching = false;
    std::uint32_t tried_ms = 0;  // when a watch was last asked for
    std::unordered_map<std::string, Pending*> by_signal;
};

// One connection from the web server.
struct Client : Connection::Handler {
    Client(Responder& r) : responder(r), connection(*this) {}
    void request(std::uint16_t id, Incoming incoming) override;
    void aborted(std::uint16_t id) override;

    Responder& responder;
    union {
        uv_handle_t handle;
        uv_stream_t stream;
        uv_pipe_t pipe;
        uv_tcp_t tcp;
    } io{};
    Connection connection;
    std::map<std::uint16_t, std::unique_ptr<Pending>> pending;
    std::map<std::uint16_t, bool> keep_conn;  // per request handed over
    // Requests whose file work runs on the thread pool, and those of them the
    // server aborted meanwhile; the client stays until its jobs are back.
    std::map<std::uint16_t, bool> in_work;  // id -> aborted
    int jobs = 0;
    bool handle_closed = false;
    int writes_in_flight = 0;
    bool close_when_flushed = false;
    bool closing = false;
};

class Responder {
public:
    explicit Responder(uv_loop_t* loop);
    // Serves on `listener` until a stop request and the grace period after
    // it are over. Returns the exit status.
    int run(uv_stream_t* listener);

    // The hand-off of one request (handoff.cpp).
    void start_request(Client& client, std::uint16_t id, Incoming incoming);
    // The server gave a request up: its files go, nothing is relayed.
    void abort_request(Client& client, std::uint16_t id);
    // The connection is gone: every request it held goes as if aborted.
    void drop_requests(Client& client);
    void signal_seen(WatchedDir& watched, const std::string& name);
    void sweep();
    // A job of the thread pool is back on the loop thread (jobs.cpp).
    void request_made(struct MakeJob& job);
    void request_relayed(struct RelayJob& job);

    // The loop and the connections (responder.cpp).
    // Answers a request with a response (a page) and ends it.
    void answer(Client& client, std::uint16_t id, std::string_view response);
    // Sends an answer's records and ends the request.
    void answer(Client& client, std::uint16_t id, Answer answer);
    void end_request(Client& client, std::uint16_t id);
    void send(Client& client, std::string bytes);
    void close_client(Client& client);
    void client_closed(Client* client);
    void accept_connection();
    void begin_stop();
    void grace_over();

    uv_loop_t* loop;
    SettingsCache settings;
    FileLane lane;

    WatchedDir& watch(const std::string& dir);
    void wait_for(Client& client, std::uint16_t id, std::unique_ptr<Pending> p, std::uint32_t poll_ms);
    void job_done(Client& client);
    // A job that held the client is over (job_done counts it off jobs_ too).
    void release_client(Client& client);
    bool alone() const;

private:
    // Looks the signal file up at `path`: answers the request when it is
    // there, and keeps what a failed look-up met for a time-out's log line.
    void answer_if_there(Pending& p, const std::string& path);
    void answered(Pending& p, const std::string& found_signal);
    void timed_out(Pending& p);
    std::unique_ptr<Pending> forget(Pending& p);
    void arm_sweep(std::uint32_t poll_ms);
    void maybe_finish();

    uv_stream_t* listener_ = nullptr;
    bool stopping_ = false;
    uv_timer_t sweep_timer_{};
    std::uint32_t sweep_ms_ = 0;
    uv_timer_t grace_timer_{};
    uv_signal_t term_{};
    uv_signal_t interrupt_{};
    uv_signal_t hang_up_{};
    std::map<std::string, std::unique_ptr<WatchedDir>> watched_;
    std::map<Client*, std::unique_ptr<Client>> clients_;
    std::size_t waiting_ = 0;
    std::size_t jobs_ = 0;  // on the thread pool or being done
    bool finished_ = false;
};

}  // namespace qg::fastcgi
