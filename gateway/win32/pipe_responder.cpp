// The responder on Windows: FastCGI over the named pipe IIS's FastCGI module
// passes as standard input. One thread per pipe instance: it waits for the
// server to connect, reads records, and hands each request over on its own
// thread (fastcgi/serial_handoff.cpp), looking at the connection while the
// request waits so that an abort or a closed connection ends it. A further
// instance of the same pipe name is made whenever every instance is busy, so
// a server that opens the pipe again while a request waits is served too.
// (IIS itself sends one request at a time to each process.)
#include <windows.h>

#include <algorithm>
#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <utility>

#include "fastcgi/connection.h"
#include "fastcgi/responder.h"
#include "fastcgi/serial_handoff.h"
#include "fastcgi/settings.h"
#include "platform.h"

namespace qg::fastcgi {
namespace {

// A waiting request looks at its connection this often: an abort or a
// closed connection is noticed within this time.
constexpr std::uint32_t check_ms = 50;
// Further instances made by this process at most, whatever the pipe allows.
constexpr int max_own_instances = 64;

class PipeServer {
public:
    PipeServer(HANDLE first) : settings_(platform::settings_path()) {
        DWORD flags = 0;
        ::GetNamedPipeInfo(first, &flags, &out_size_, &in_size_, &max_instances_);
        message_pipe_ = (flags & PIPE_TYPE_MESSAGE) != 0;
        name_ = pipe_name(first);
    }

    // Serves until no instance is left. Returns the exit status.
    int run(HANDLE first) {
        {
            std::lock_guard lock(mutex_);
            settings_.current();  // a first run's settings file is written at start
            ++live_;
        }
        serve(first);
        std::unique_lock lock(mutex_);
        gone_.wait(lock, [this] { return live_ == 0; });
        return 0;
    }

private:
    // The instance's name, "\\.\pipe\NAME"; empty when the system does not
    // tell it, and then only the first instance serves.
    static std::string pipe_name(HANDLE pipe) {
        alignas(FILE_NAME_INFO) char buffer[sizeof(FILE_NAME_INFO) + 512 * sizeof(WCHAR)] = {};
        auto* info = reinterpret_cast<FILE_NAME_INFO*>(buffer);
        if (!::GetFileInformationByHandleEx(pipe, FileNameInfo, info, sizeof buffer)) return {};
        const int wide = static_cast<int>(info->FileNameLength / sizeof(WCHAR));
        const int n = ::WideCharToMultiByte(CP_ACP, 0, info->FileName, wide, nullptr, 0, nullptr, nullptr);
        if (n <= 0) return {};
        std::string name(static_cast<std::size_t>(n), '\0');
        ::WideCharToMultiByte(CP_ACP, 0, info->FileName, wide, name.data(), n, nullptr, nullptr);
        while (!name.empty() && name.front() == '\\') name.erase(0, 1);
        return name.empty() ? std::string() : "\\\\.\\pipe\\" + name;
    }

    Settings current_settings() {
        std::lock_guard lock(mutex_);
        return settings_.current();
    }

    // Another instance waits for the server when none does.
    void connected() {
        std::lock_guard lock(mutex_);
        if (--idle_ > 0 || name_.empty() || own_ >= max_own_instances) return;
        const DWORD mode = (message_pipe_ ? PIPE_TYPE_MESSAGE | PIPE_READMODE_MESSAGE : PIPE_TYPE_BYTE) | PIPE_WAIT;
        const HANDLE next = ::CreateNamedPipeA(name_.c_str(), PIPE_ACCESS_DUPLEX, mode, max_instances_, out_size_,
                                               in_size_, 0, nullptr);
        if (next == INVALID_HANDLE_VALUE) return;  // the pipe allows no more: the others serve
        try {
            std::thread([this, next] { serve(next); }).detach();
        } catch (...) {
            ::CloseHandle(next);  // no thread to be had: the others serve
            return;
        }
        ++own_;
        ++live_;
    }

    void serve(HANDLE pipe) {
        {
            std::lock_guard lock(mutex_);
            ++idle_;
        }
        for (;;) {
            if (!::ConnectNamedPipe(pipe, nullptr)) {
                const DWORD error = ::GetLastError();
                if (error == ERROR_NO_DATA) {  // the client came and went already
                    ::DisconnectNamedPipe(pipe);
                    continue;
                }
                if (error != ERROR_PIPE_CONNECTED) break;
            }
            connected();
            serve_connection(pipe);
            ::FlushFileBuffers(pipe);  // the server reads the whole answer before the pipe is taken back
            ::DisconnectNamedPipe(pipe);
            std::lock_guard lock(mutex_);
            ++idle_;
        }
        ::CloseHandle(pipe);
        std::lock_guard lock(mutex_);
        --idle_;
        if (--live_ == 0) gone_.notify_all();
    }

    void serve_connection(HANDLE pipe);

    SettingsCache settings_;
    std::string name_;
    DWORD out_size_ = 0;
    DWORD in_size_ = 0;
    DWORD max_instances_ = PIPE_UNLIMITED_INSTANCES;
    bool message_pipe_ = false;
    std::mutex mutex_;
    std::condition_variable gone_;
    int live_ = 0;  // instances with a thread
    int idle_ = 0;  // instances waiting for the server
    int own_ = 0;   // instances this process made
};

// One connection: records in, requests queued and served in turn.
class PipeConnection : public Connection::Handler {
public:
    explicit PipeConnection(HANDLE pipe) : pipe_(pipe), connection_(*this) {}

    void request(std::uint16_t id, Incoming incoming) override { queue_.emplace_back(id, std::move(incoming)); }
    void aborted(std::uint16_t id) override { aborted_.insert(id); }

    // Reads what the server sent, waiting for it when `wait`; false once the
    // connection is over (closed, or a stream that cannot go on).
    bool read(bool wait) {
        while (open_) {
            DWORD available = 0;
            if (!::PeekNamedPipe(pipe_, nullptr, 0, nullptr, &available, nullptr)) {
                open_ = false;
                break;
            }
            if (available == 0 && !wait) break;
            DWORD n = 0;
            const DWORD want = available == 0 ? sizeof buffer_ : std::min<DWORD>(available, sizeof buffer_);
            if (!::ReadFile(pipe_, buffer_, want, &n, nullptr) && ::GetLastError() != ERROR_MORE_DATA) {
                open_ = false;
                break;
            }
            std::string replies;
            const bool ok = connection_.receive(std::string_view(buffer_, n), replies);
            send(replies);
            if (!ok) open_ = false;
            if (wait && n > 0) break;
        }
        return open_;
    }

    void send(const std::string& bytes) {
        std::size_t at = 0;
        while (open_ && at < bytes.size()) {
            DWORD n = 0;
            const DWORD piece = static_cast<DWORD>(std::min<std::size_t>(bytes.size() - at, 1 << 20));
            if (!::WriteFile(pipe_, bytes.data() + at, piece, &n, nullptr)) open_ = false;
            at += n;
        }
    }

    // Ends a request: the end of its STDOUT and its END_REQUEST.
    void end(std::uint16_t id) {
        std::string records;
        connection_.finished(id, records);
        send(records);
    }

    bool open() const { return open_; }
    std::deque<std::pair<std::uint16_t, Incoming>>& queue() { return queue_; }
    bool was_aborted(std::uint16_t id) { return aborted_.erase(id) != 0; }
    bool aborted_now(std::uint16_t id) const { return aborted_.count(id) != 0; }

private:
    HANDLE pipe_;
    Connection connection_;
    std::deque<std::pair<std::uint16_t, Incoming>> queue_;
    std::set<std::uint16_t> aborted_;
    bool open_ = true;
    char buffer_[65536];
};

void PipeServer::serve_connection(HANDLE pipe) {
    auto connection = std::make_unique<PipeConnection>(pipe);
    while (connection->read(true)) {
        auto& queue = connection->queue();
        while (!queue.empty() && connection->open()) {
            auto [id, incoming] = std::move(queue.front());
            queue.pop_front();
            const bool keep_conn = incoming.keep_conn;
            if (!connection->was_aborted(id)) {
                const auto given_up = [&, id = id] { return !connection->read(false) || connection->aborted_now(id); };
                const auto answer = hand_off(id, std::move(incoming), current_settings(), given_up, check_ms);
                connection->was_aborted(id);
                if (answer) connection->send(*answer);
            }
            // The server closed the connection: nothing more goes out.
            if (!connection->open()) return;
            connection->end(id);
            // Without KEEP_CONN the responder ends the connection after the
            // request.
            if (!keep_conn) return;
        }
    }
}

}  // namespace

std::optional<int> serve_if_responder(int, char**) {
    const auto inherited = platform::inherited_listener();
    // A CGI host's body pipe looks the same: under a CGI host the program is
    // the CGI program.
    if (!inherited || platform::environment_value("GATEWAY_INTERFACE") || platform::environment_value("REQUEST_METHOD"))
        return std::nullopt;
    platform::prepare_responder_process();
    const HANDLE pipe = reinterpret_cast<HANDLE>(*inherited);
    // The pipe is served here alone: a child started later must not hold it.
    ::SetHandleInformation(pipe, HANDLE_FLAG_INHERIT, 0);
    PipeServer server(pipe);
    return server.run(pipe);
}

}  // namespace qg::fastcgi
