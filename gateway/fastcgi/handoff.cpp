// The hand-off of one FastCGI request: the same request text, file names,
// waiting, relay, clean-up, error pages and log lines as the CGI program, with
// one directory watch per work directory and a table from signal-file name to
// the request it answers.
#include <algorithm>
#include <vector>

#include "ascii.h"
#include "busy.h"
#include "cycle.h"
#include "fastcgi/jobs.h"
#include "fastcgi/responder_internal.h"
#include "platform.h"
#include "relay.h"
#include "request_file.h"
#include "texts.h"

namespace qg::fastcgi {
namespace {

std::string lower_case(std::string_view text) {
    std::string lower(text);
    std::transform(lower.begin(), lower.end(), lower.begin(), ascii::lower);
    return lower;
}

std::string file_name_of(const std::string& path) { return path.substr(platform::file_name_start(path)); }

void on_dir_event(uv_fs_event_t* handle, const char* name, int, int status) {
    auto* watched = static_cast<WatchedDir*>(handle->data);
    if (status == 0 && name != nullptr) watched->responder->signal_seen(*watched, name);
}

}  // namespace

void Client::request(std::uint16_t id, Incoming incoming) {
    keep_conn[id] = incoming.keep_conn;
    responder.start_request(*this, id, std::move(incoming));
}

void Client::aborted(std::uint16_t id) { responder.abort_request(*this, id); }

WatchedDir& Responder::watch(const std::string& dir) {
    // Without a watch (no inotify instance left, a file system that sends no
    // events) the poll alone finds the signal files; a watch is asked for
    // again at most once a second, so a responder started while the
    // machine's instances ran out wakes on events once one is free.
    constexpr std::uint32_t retry_ms = 1000;
    auto& slot = watched_[dir];
    if (!slot) {
        slot = std::make_unique<WatchedDir>();
        slot->responder = this;
        slot->dir = dir;
        slot->event.data = slot.get();
        slot->initialized = uv_fs_event_init(loop, &slot->event) == 0;
    } else if (slot->watching || platform::tick_ms() - slot->tried_ms < retry_ms) {
        return *slot;
    }
    slot->tried_ms = platform::tick_ms();
    if (slot->initialized) slot->watching = uv_fs_event_start(&slot->event, on_dir_event, dir.c_str(), 0) == 0;
    return *slot;
}

void Responder::start_request(Client& client, std::uint16_t id, Incoming incoming) {
    auto job = std::make_unique<MakeJob>();
    try {
        job->settings = settings.current();
        add_environment(job->text, incoming.environment);
        std::vector<std::string>().swap(incoming.environment);
        finish_variables(job->text);
        job->body = std::move(incoming.body);
        // Watching starts before the request exists, so no answer is missed.
        watch(job->settings.work_dir);
    } catch (...) {
        // The catch-all of the CGI program's cycle, for this request alone.
        log_exception(job->settings.log_path.empty() ? std::string(text::log_file_name) : job->settings.log_path);
        answer(client, id, exception_page());
        return;
    }
    job->responder = this;
    job->client = &client;
    job->id = id;
    client.in_work[id] = false;
    ++client.jobs;
    ++jobs_;
    if (alone())
        make_here(std::move(job));
    else
        lane.add(std::move(job));
}

void Responder::request_made(MakeJob& job) {
    Client& client = *job.client;
    const std::uint16_t id = job.id;
    // The making is over: from here on it is not other work that alone()
    // counts, though the client stays held until the end of this call.
    --jobs_;
    const bool aborted = client.in_work[id];
    client.in_work.erase(id);
    if (client.closing || client.close_when_flushed || aborted) {
        // The server gave the request up while its files were made.
        if (job.request_path) platform::delete_file(*job.request_path);
        if (job.output_path) platform::delete_file(*job.output_path);
        if (aborted) end_request(client, id);
    } else if (job.exception) {
        log_exception(job.settings.log_path);
        answer(client, id, exception_page());
    } else if (job.failed) {
        log_error(job.settings.log_path, text::log_not_passed, job.error);
        answer(client, id, error_page(text::title_not_passed, text::page_not_passed));
    } else {
        auto p = std::make_unique<Pending>();
        p->client = &client;
        p->id = id;
        p->dir = job.settings.work_dir;
        p->output_path = *job.output_path;
        p->request_path = *job.request_path;
        p->signal_path = signal_name_for(p->request_path);
        p->signal_key = lower_case(file_name_of(p->signal_path));
        p->log_path = job.settings.log_path;
        p->timeout_ms = job.settings.timeout_ms;
        p->start_ms = platform::tick_ms();
        wait_for(client, id, std::move(p), job.settings.poll_ms);
    }
    release_client(client);
}

void Responder::wait_for(Client& client, std::uint16_t id, std::unique_ptr<Pending> p, std::uint32_t poll_ms) {
    Pending& pending = *p;
    watch(pending.dir).by_signal[pending.signal_key] = &pending;
    client.pending[id] = std::move(p);
    ++waiting_;
    arm_sweep(poll_ms);
    // The first check comes at once, for the exact name: a signal file in
    // another letter case made while the request file was written is found
    // by the next poll.
    answer_if_there(pending, pending.signal_path);
}

void Responder::answer_if_there(Pending& p, const std::string& path) {
    p.last_check = platform::look_up(path);
    if (!p.last_check.failed()) answered(p, path);
}

bool Responder::alone() const {
    // A request with no other one waiting or in work has its files made on
    // the loop thread at once: handing it to the pool and back would only add
    // two thread switches to its time. With others about, the file lane
    // makes them while the loop thread serves the connections.
    return waiting_ == 0 && jobs_ == 1;
}

void Responder::job_done(Client& client) {
    --jobs_;
    release_client(client);
}

void Responder::release_client(Client& client) {
    --client.jobs;
    if (client.handle_closed && client.jobs == 0) client_closed(&client);
}

std::unique_ptr<Pending> Responder::forget(Pending& p) {
    const auto dir = watched_.find(p.dir);
    if (dir != watched_.end()) dir->second->by_signal.erase(p.signal_key);
    auto owned = std::move(p.client->pending[p.id]);
    p.client->pending.erase(p.id);
    --waiting_;
    return owned;
}

void Responder::answered(Pending& p, const std::string& found_signal) {
    auto job = std::make_unique<RelayJob>();
    job->responder = this;
    job->pending = forget(p);
    job->found_signal = found_signal;
    job->answer = Answer(p.id);
    Client& client = *job->pending->client;
    client.in_work[job->pending->id] = false;
    ++client.jobs;
    ++jobs_;
    // The relay stays on the loop thread: answers reach the server in the
    // order the application gave them.
    relay_here(std::move(job));
}

void Responder::request_relayed(RelayJob& job) {
    Client& client = *job.pending->client;
    const std::uint16_t id = job.pending->id;
    const bool aborted = client.in_work[id];
    client.in_work.erase(id);
    if (!client.closing) {
        if (aborted)
            end_request(client, id);  // nothing relayed
        else
            answer(client, id, std::move(job.answer));
    }
    // The answer's records are written or queued: the file is no longer read.
    // Its delete frees the file's blocks, the slowest call of a request: with
    // other requests about it goes to the file lane, and the loop thread
    // relays the next answer meanwhile.
    if (!alone())
        lane.add(delete_job(job.pending->output_path));
    else
        platform::delete_file(job.pending->output_path);
    job_done(client);
}

void Responder::timed_out(Pending& p) {
    const auto owned = forget(p);
    log_error(p.log_path, text::log_timed_out, p.last_check);
    delete_when_free(p.signal_path);
    platform::delete_file(p.request_path);
    platform::delete_file(p.output_path);
    answer(*p.client, p.id, error_page(text::title_timed_out, text::page_timed_out));
}

void Responder::abort_request(Client& client, std::uint16_t id) {
    if (const auto working = client.in_work.find(id); working != client.in_work.end()) {
        working->second = true;  // ended when its job is back
        return;
    }
    const auto found = client.pending.find(id);
    if (found != client.pending.end()) {
        const auto owned = forget(*found->second);
        // A signal file that is already there is the gateway's to delete;
        // one that arrives later is the application's.
        if (const auto signal = platform::find_file_any_case(owned->signal_path)) delete_when_free(*signal);
        platform::delete_file(owned->request_path);
        platform::delete_file(owned->output_path);
    }
    end_request(client, id);
}

void Responder::drop_requests(Client& client) {
    while (!client.pending.empty()) {
        const auto owned = forget(*client.pending.begin()->second);
        if (const auto signal = platform::find_file_any_case(owned->signal_path)) delete_when_free(*signal);
        platform::delete_file(owned->request_path);
        platform::delete_file(owned->output_path);
    }
}

void Responder::signal_seen(WatchedDir& watched, const std::string& name) {
    const auto found = watched.by_signal.find(lower_case(name));
    if (found == watched.by_signal.end()) return;
    // The event may be the file's removal or a rename away: only a file that
    // is there answers.
    const std::string path = (watched.dir.empty() || platform::ends_with_separator(watched.dir))
                                 ? watched.dir + name
                                 : watched.dir + "/" + name;
    answer_if_there(*found->second, path);
}

void Responder::sweep() {
    // One listing per work directory and poll interval finds signal files
    // that no event announced (another host on a network share, a full
    // event queue), whatever the number of requests waiting.
    struct Seen {
        WatchedDir* watched;
        std::string name;
    };
    std::vector<Seen> seen;
    for (auto& [dir, watched] : watched_) {
        if (watched->by_signal.empty()) continue;
        uv_fs_t req;
        if (uv_fs_scandir(nullptr, &req, dir.c_str(), 0, nullptr) >= 0) {
            uv_dirent_t entry;
            while (uv_fs_scandir_next(&req, &entry) != UV_EOF)
                if (watched->by_signal.count(lower_case(entry.name)) != 0) seen.push_back({watched.get(), entry.name});
        }
        uv_fs_req_cleanup(&req);
    }
    // Looked up again: two names in different letter case answer one request
    // once.
    for (const Seen& s : seen) signal_seen(*s.watched, s.name);

    std::vector<Pending*> late;
    const std::uint32_t now = platform::tick_ms();
    for (auto& [ignored, client] : clients_)
        for (auto& [id, p] : client->pending)
            if (now - p->start_ms > p->timeout_ms) late.push_back(p.get());
    for (Pending* p : late) timed_out(*p);
    if (waiting_ == 0) {
        uv_timer_stop(&sweep_timer_);
        sweep_ms_ = 0;
    }
}

}  // namespace qg::fastcgi
