// The responder's loop (libuv): the listening socket, the connections, the
// writes that never wait for a slow reader, the poll timer, and the stop with
// its grace period.
#include "fastcgi/responder.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <utility>

#include "fastcgi/responder_internal.h"
#include "platform.h"
#include "relay.h"
#include "texts.h"

namespace qg::fastcgi {
namespace {

// Requests still waiting when a stop is asked for get this long to be
// answered before they get the time-out page: long enough for an ordinary
// application's answer, well inside the 30 seconds the packaged service
// gives the stop before systemd kills it.
constexpr std::uint64_t grace_ms = 20000;
// The poll fallback runs at most this often, whatever PollTime says: 0 would
// make a long-running process spin.
constexpr std::uint32_t min_sweep_ms = 10;
constexpr int backlog = 511;

// One read buffer for every connection: a read callback runs to its end
// before the next read.
char read_buffer[65536];

struct WriteRequest {
    uv_write_t req{};
    std::string bytes;
    Client* client = nullptr;
};

void on_write(uv_write_t* req, int) {
    auto* w = static_cast<WriteRequest*>(req->data);
    Client* client = w->client;
    delete w;
    --client->writes_in_flight;
    if (client->close_when_flushed && client->writes_in_flight == 0) client->responder.close_client(*client);
}

void on_client_closed(uv_handle_t* handle) {
    auto* client = static_cast<Client*>(handle->data);
    client->responder.client_closed(client);
}

void on_alloc(uv_handle_t*, std::size_t, uv_buf_t* buf) { *buf = uv_buf_init(read_buffer, sizeof read_buffer); }

void on_read(uv_stream_t* stream, ssize_t n, const uv_buf_t* buf) {
    auto* client = static_cast<Client*>(stream->data);
    if (n == 0 || client->closing) return;
    if (n < 0) {
        // The server closed the connection: what it held is given up.
        client->responder.drop_requests(*client);
        client->responder.close_client(*client);
        return;
    }
    std::string replies;
    const bool ok = client->connection.receive(std::string_view(buf->base, static_cast<std::size_t>(n)), replies);
    if (!replies.empty()) client->responder.send(*client, std::move(replies));
    if (!ok) {
        client->responder.drop_requests(*client);
        client->close_when_flushed = true;
        if (client->writes_in_flight == 0) client->responder.close_client(*client);
    }
}

void on_connection(uv_stream_t* listener, int status) {
    if (status == 0) static_cast<Responder*>(listener->data)->accept_connection();
}

void on_sweep(uv_timer_t* timer) { static_cast<Responder*>(timer->data)->sweep(); }
void on_grace(uv_timer_t* timer) { static_cast<Responder*>(timer->data)->grace_over(); }
void on_stop_signal(uv_signal_t* handle, int) { static_cast<Responder*>(handle->data)->begin_stop(); }

void close_handle(uv_handle_t* handle) {
    if (!uv_is_closing(handle)) uv_close(handle, nullptr);
}

}  // namespace

Responder::Responder(uv_loop_t* l) : loop(l), settings(platform::settings_path()), lane(l) {
    uv_timer_init(loop, &sweep_timer_);
    sweep_timer_.data = this;
    uv_timer_init(loop, &grace_timer_);
    grace_timer_.data = this;
    uv_signal_init(loop, &term_);
    term_.data = this;
    uv_signal_init(loop, &interrupt_);
    interrupt_.data = this;
    uv_signal_init(loop, &hang_up_);
    hang_up_.data = this;
}

int Responder::run(uv_stream_t* listener) {
    listener_ = listener;
    listener_->data = this;
    if (const int error = uv_listen(listener_, backlog, on_connection); error != 0) {
        std::fprintf(stderr, "qg: cannot listen: %s\n", uv_strerror(error));
        return 1;
    }
    uv_signal_start(&term_, on_stop_signal, SIGTERM);
    uv_signal_start(&interrupt_, on_stop_signal, SIGINT);
    // A hang-up stops it too, as it stops the CGI program: the settings need
    // no signal to be read again.
    uv_signal_start(&hang_up_, on_stop_signal, SIGHUP);
    // Settings are read before the first request, so a first run's settings
    // file is written once, at start.
    settings.current();
    uv_run(loop, UV_RUN_DEFAULT);
    return 0;
}

void Responder::accept_connection() {
    auto client = std::make_unique<Client>(*this);
    const uv_handle_type type = listener_->type;
    if (type == UV_TCP) {
        uv_tcp_init(loop, &client->io.tcp);
    } else {
        uv_pipe_init(loop, &client->io.pipe, 0);
    }
    client->io.handle.data = client.get();
    Client* raw = client.get();
    clients_[raw] = std::move(client);
    if (uv_accept(listener_, &raw->io.stream) != 0) {
        close_client(*raw);
        return;
    }
    if (type == UV_TCP) uv_tcp_nodelay(&raw->io.tcp, 1);
    uv_read_start(&raw->io.stream, on_alloc, on_read);
}

void Responder::send(Client& client, std::string bytes) {
    if (client.closing) return;
    auto* w = new WriteRequest;
    w->bytes = std::move(bytes);
    w->client = &client;
    w->req.data = w;
    const uv_buf_t buf = uv_buf_init(w->bytes.data(), static_cast<unsigned>(w->bytes.size()));
    // Queued, never waited for: a client that reads slowly holds only its
    // own answer in memory, and every other request goes on.
    if (uv_write(&w->req, &client.io.stream, &buf, 1, on_write) != 0) {
        delete w;
        return;
    }
    ++client.writes_in_flight;
}

void Responder::answer(Client& client, std::uint16_t id, std::string_view response) {
    Answer page(id);
    page.add(response);
    answer(client, id, std::move(page));
}

void Responder::answer(Client& client, std::uint16_t id, Answer answer) {
    std::string records = answer.take();
    client.connection.finished(id, records);
    send(client, std::move(records));
    end_request(client, id);
}

void Responder::end_request(Client& client, std::uint16_t id) {
    std::string records;
    client.connection.finished(id, records);  // nothing when answer() ended it already
    if (!records.empty()) send(client, std::move(records));
    const auto keep = client.keep_conn.find(id);
    const bool keep_conn = keep != client.keep_conn.end() && keep->second;
    if (keep != client.keep_conn.end()) client.keep_conn.erase(keep);
    // Without KEEP_CONN the responder closes the connection after the
    // request; when stopping, every connection closes once idle.
    if (!keep_conn || (stopping_ && !client.connection.busy())) {
        client.close_when_flushed = true;
        if (client.writes_in_flight == 0) close_client(client);
    }
    maybe_finish();
}

void Responder::close_client(Client& client) {
    if (client.closing) return;
    client.closing = true;
    drop_requests(client);
    uv_close(&client.io.handle, on_client_closed);
}

void Responder::client_closed(Client* client) {
    // A client whose jobs are still on the thread pool stays until they are back.
    if (client->jobs > 0) {
        client->handle_closed = true;
        return;
    }
    clients_.erase(client);
    maybe_finish();
}

void Responder::arm_sweep(std::uint32_t poll_ms) {
    const std::uint32_t every = std::max(poll_ms, min_sweep_ms);
    if (sweep_ms_ == every) return;
    sweep_ms_ = every;
    uv_timer_start(&sweep_timer_, on_sweep, every, every);
}

void Responder::begin_stop() {
    if (stopping_) return;
    stopping_ = true;
    // No new connections; idle ones close now, busy ones once their
    // requests are answered.
    close_handle(reinterpret_cast<uv_handle_t*>(listener_));
    std::vector<Client*> idle;
    for (auto& [raw, client] : clients_)
        if (!client->connection.busy()) idle.push_back(raw);
    for (Client* c : idle) close_client(*c);
    uv_timer_start(&grace_timer_, on_grace, grace_ms, 0);
    maybe_finish();
}

void Responder::grace_over() {
    // Waiting requests get the time-out page and its log line; requests
    // still arriving are dropped with their connection.
    std::vector<Pending*> left;
    for (auto& [raw, client] : clients_)
        for (auto& [id, p] : client->pending) left.push_back(p.get());
    for (Pending* p : left) timed_out(*p);
    std::vector<Client*> open;
    for (auto& [raw, client] : clients_) open.push_back(raw);
    for (Client* c : open) close_client(*c);
    maybe_finish();
}

void Responder::maybe_finish() {
    if (!stopping_ || finished_ || !clients_.empty()) return;
    finished_ = true;
    // Nothing is left to answer: closing every handle ends the loop.
    for (auto& [dir, watched] : watched_)
        if (watched->initialized) close_handle(reinterpret_cast<uv_handle_t*>(&watched->event));
    close_handle(reinterpret_cast<uv_handle_t*>(&sweep_timer_));
    close_handle(reinterpret_cast<uv_handle_t*>(&grace_timer_));
    close_handle(reinterpret_cast<uv_handle_t*>(&term_));
    close_handle(reinterpret_cast<uv_handle_t*>(&interrupt_));
    close_handle(reinterpret_cast<uv_handle_t*>(&hang_up_));
    lane.close();
}

std::optional<ListenAddress> parse_listen_address(std::string_view text) {
    constexpr std::string_view unix_scheme = "unix:";
    if (text.substr(0, unix_scheme.size()) == unix_scheme) {
        const auto path = text.substr(unix_scheme.size());
        if (path.empty() || path.find('\0') != std::string_view::npos) return std::nullopt;
        return ListenAddress{true, std::string(path), 0};
    }
    const auto colon = text.rfind(':');
    if (colon == std::string_view::npos || colon == 0 || colon + 1 == text.size()) return std::nullopt;
    int port = 0;
    for (const char c : text.substr(colon + 1)) {
        if (c < '0' || c > '9') return std::nullopt;
        port = port * 10 + (c - '0');
        if (port > 65535) return std::nullopt;
    }
    std::string host(text.substr(0, colon));
    sockaddr_in probe{};
    if (uv_ip4_addr(host.c_str(), port, &probe) != 0) return std::nullopt;
    return ListenAddress{false, std::move(host), port};
}

namespace {

// Opens the socket to serve on: the inherited one, or a new one bound to
// `address`. The handle lives in `storage`.
int open_listener(uv_loop_t* loop, const std::optional<std::intptr_t>& inherited, const ListenAddress* address,
                  uv_pipe_t& pipe, uv_tcp_t& tcp, uv_stream_t*& out) {
    if (inherited) {
        const auto fd = static_cast<uv_os_sock_t>(*inherited);
        if (uv_guess_handle(static_cast<uv_file>(*inherited)) == UV_TCP) {
            uv_tcp_init(loop, &tcp);
            out = reinterpret_cast<uv_stream_t*>(&tcp);
            return uv_tcp_open(&tcp, fd);
        }
        uv_pipe_init(loop, &pipe, 0);
        out = reinterpret_cast<uv_stream_t*>(&pipe);
        return uv_pipe_open(&pipe, static_cast<uv_file>(*inherited));
    }
    if (address->unix_socket) {
        uv_pipe_init(loop, &pipe, 0);
        out = reinterpret_cast<uv_stream_t*>(&pipe);
        platform::remove_stale_socket(address->path);
        return uv_pipe_bind(&pipe, address->path.c_str());
    }
    uv_tcp_init(loop, &tcp);
    out = reinterpret_cast<uv_stream_t*>(&tcp);
    sockaddr_in addr{};
    uv_ip4_addr(address->path.c_str(), address->port, &addr);
    return uv_tcp_bind(&tcp, reinterpret_cast<const sockaddr*>(&addr), 0);
}

// Whether the program runs under a CGI host: then no argument may switch
// the mode, since a query without "=" may arrive as command-line words.
bool cgi_environment() {
    return platform::environment_value("GATEWAY_INTERFACE").has_value() ||
           platform::environment_value("REQUEST_METHOD").has_value();
}

}  // namespace

std::optional<int> serve_if_responder(int argc, char** argv) {
    const auto inherited = platform::inherited_listener();
    std::optional<ListenAddress> address;
    if (!inherited) {
        if (argc != 3 || std::strcmp(argv[1], "--listen") != 0 || cgi_environment()) return std::nullopt;
        address = parse_listen_address(argv[2]);
        if (!address) {
            std::fprintf(stderr, "qg: --listen takes unix:/path or 127.0.0.1:PORT, not %s\n", argv[2]);
            return 2;
        }
    }
    platform::prepare_responder_process();
    uv_loop_t* loop = uv_default_loop();
    uv_pipe_t pipe{};
    uv_tcp_t tcp{};
    uv_stream_t* listener = nullptr;
    if (const int error = open_listener(loop, inherited, address ? &*address : nullptr, pipe, tcp, listener);
        error != 0) {
        std::fprintf(stderr, "qg: cannot open %s: %s\n", address ? argv[2] : "the inherited socket",
                     uv_strerror(error));
        return 1;
    }
    int status = 0;
    {
        Responder responder(loop);
        if (address && !address->unix_socket) {
            sockaddr_in bound{};
            int length = sizeof bound;
            uv_tcp_getsockname(&tcp, reinterpret_cast<sockaddr*>(&bound), &length);
            std::fprintf(stderr, "qg: listening on %s:%d\n", address->path.c_str(), ntohs(bound.sin_port));
        } else if (address) {
            std::fprintf(stderr, "qg: listening on unix:%s\n", address->path.c_str());
        }
        status = responder.run(listener);
        close_handle(reinterpret_cast<uv_handle_t*>(listener));
        uv_run(loop, UV_RUN_DEFAULT);
    }
    if (address && address->unix_socket) platform::delete_file(address->path);
    uv_loop_close(loop);
    return status;
}

}  // namespace qg::fastcgi
