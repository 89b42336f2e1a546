// qg.exe started as IIS's FastCGI module starts it: the server end of a
// named pipe as its standard input, the module connecting as the client and
// sending FastCGI records. The application is played in this process.
#include <windows.h>

#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <optional>
#include <chrono>
#include <string>
#include <thread>
#include <vector>

#include "application.h"
#include "fastcgi/record.h"
#include "gateway_process.h"
#include "texts.h"

namespace qg::test {
namespace {

using fastcgi::Type;

std::string record(Type type, std::uint16_t id, std::string_view content = {}) {
    std::string out;
    fastcgi::append_records(out, type, id, content);
    return out;
}

// BEGIN_REQUEST (RESPONDER), the parameters, and the body.
std::string request_records(std::uint16_t id, const std::vector<std::string>& environment, std::string_view body,
                            bool keep_conn) {
    const char begin[8] = {0, 1, keep_conn ? '\1' : '\0'};
    std::string params;
    for (const auto& entry : environment) {
        const auto eq = entry.find('=');
        fastcgi::append_pair(params, entry.substr(0, eq), entry.substr(eq + 1));
    }
    return record(Type::begin_request, id, std::string_view(begin, 8)) + record(Type::params, id, params) +
           record(Type::params, id) + (body.empty() ? "" : record(Type::stdin_stream, id, body)) +
           record(Type::stdin_stream, id);
}

// The module's side of the pipe: the pipe it makes, and its connections.
class PipeClient {
public:
    explicit PipeClient(std::string name) : name_(std::move(name)) {}
    PipeClient(const PipeClient&) = delete;
    PipeClient& operator=(const PipeClient&) = delete;
    ~PipeClient() { disconnect(); }

    // Opens the pipe as the client, as the module does for each connection.
    bool connect() {
        disconnect();
        reader_ = fastcgi::RecordReader();
        return eventually([&] {
            client_ = ::CreateFileA(name_.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
            if (client_ == INVALID_HANDLE_VALUE && ::GetLastError() == ERROR_PIPE_BUSY) ::WaitNamedPipeA(name_.c_str(), 100);
            return client_ != INVALID_HANDLE_VALUE;
        });
    }
    void disconnect() {
        if (client_ != INVALID_HANDLE_VALUE) ::CloseHandle(std::exchange(client_, INVALID_HANDLE_VALUE));
    }

    bool send(const std::string& bytes) {
        DWORD n = 0;
        return ::WriteFile(client_, bytes.data(), static_cast<DWORD>(bytes.size()), &n, nullptr) && n == bytes.size();
    }

    // The STDOUT stream of request `id` up to its END_REQUEST; false when
    // none came within 20 seconds or the pipe broke first.
    bool answer(std::uint16_t id, std::string& stdout_stream) {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        while (std::chrono::steady_clock::now() < deadline) {
            while (const auto r = reader_.next()) {
                if (r->request_id != id) continue;
                if (r->type == static_cast<std::uint8_t>(Type::stdout_stream)) stdout_stream += r->content;
                if (r->type == static_cast<std::uint8_t>(Type::end_request)) return true;
            }
            DWORD available = 0;
            if (!::PeekNamedPipe(client_, nullptr, 0, nullptr, &available, nullptr)) return false;
            if (available == 0) {
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
                continue;
            }
            std::string bytes(available, '\0');
            DWORD n = 0;
            if (!::ReadFile(client_, bytes.data(), available, &n, nullptr)) return false;
            reader_.feed(std::string_view(bytes.data(), n));
        }
        return false;
    }

private:
    std::string name_;
    HANDLE client_ = INVALID_HANDLE_VALUE;
    fastcgi::RecordReader reader_;
};

class PipeServerPlay : public PipeClient {
public:
    PipeServerPlay() : PipeServerPlay(unique_name()) {}
    ~PipeServerPlay() {
        if (server_ != INVALID_HANDLE_VALUE) ::CloseHandle(server_);
    }
    HANDLE server() const { return server_; }
    const std::string& name() const { return name_; }

private:
    explicit PipeServerPlay(std::string name) : PipeClient(name), name_(std::move(name)) {
        server_ = ::CreateNamedPipeA(name_.c_str(), PIPE_ACCESS_DUPLEX, PIPE_TYPE_BYTE | PIPE_READMODE_BYTE | PIPE_WAIT,
                                     PIPE_UNLIMITED_INSTANCES, 65536, 65536, 0, nullptr);
    }
    static std::string unique_name() {
        static std::atomic<int> made{0};
        return "\\\\.\\pipe\\qg-test-" + std::to_string(::GetCurrentProcessId()) + "-" + std::to_string(++made);
    }

    std::string name_;
    HANDLE server_ = INVALID_HANDLE_VALUE;
};

// The request file without its first variable, the output file's name,
// which differs from run to run.
std::string without_output_file(const std::string& request) {
    const auto next = request.find('&', 1);
    return next == std::string::npos ? request : request.substr(next);
}

class FastcgiPipe : public ::testing::Test {
protected:
    void SetUp() override {
        write_file(box_.settings_file(), box_.settings_for("Timeout=20\r\nPollTime=20\r\n"));
        ASSERT_NE(pipe_.server(), INVALID_HANDLE_VALUE);
        ChildOptions options;
        options.environment = std::vector<std::string>{};  // no CGI environment, as under IIS
        options.stdin_handle = reinterpret_cast<std::intptr_t>(pipe_.server());
        options.stdout_path = box_.root() + "responder.out";
        gateway_.emplace(box_.program(), options);
    }
    void TearDown() override {
        gateway_->kill();
        gateway_->wait();
    }

    bool work_dir_empty() const {
        return eventually([&] { return box_.work_files().empty(); });
    }

    GatewaySandbox box_{std::nullopt};
    PipeServerPlay pipe_;
    std::optional<Child> gateway_;
};

const std::vector<std::string> environment = {"REQUEST_METHOD=POST", "QUERY_STRING=a b&c", "CONTENT_LENGTH=9",
                                              "HTTP_X_THING=one two", "SCRIPT_NAME=/qg.exe"};

// The same request as CGI and as FastCGI makes the same request file; the
// application's status line comes back as a Status: header, and a kept
// connection serves the next request.
TEST_F(FastcgiPipe, AnswersAsTheCgiProgramOverAKeptConnection) {
    std::mutex lock;
    std::vector<std::string> requests;
    Application app(box_.work(), "qg_", [&](const std::string& request) {
        std::lock_guard hold(lock);
        requests.push_back(request);
        return std::optional<Answer>(Answer{requests.size() == 2 ? "HTTP/1.0 404 Not Found\r\nX-A: 1\r\n\r\nnone"
                                                                 : "plain"});
    });
    const auto cgi = box_.run(environment, "x=1\r\ny=22");
    EXPECT_EQ(cgi.output, std::string(text::default_header) + "plain");

    ASSERT_TRUE(pipe_.connect());
    ASSERT_TRUE(pipe_.send(request_records(1, environment, "x=1\r\ny=22", true)));
    std::string answer;
    ASSERT_TRUE(pipe_.answer(1, answer));
    EXPECT_EQ(answer, "Status: 404 Not Found\r\nX-A: 1\r\n\r\nnone");
    ASSERT_TRUE(pipe_.send(request_records(2, {"REQUEST_METHOD=GET"}, "", false)));
    answer.clear();
    ASSERT_TRUE(pipe_.answer(2, answer));
    EXPECT_EQ(answer, "Status: 200 OK\r\nContent-type: text/html\r\n\r\nplain");

    std::lock_guard hold(lock);
    ASSERT_EQ(requests.size(), 3u);
    EXPECT_EQ(without_output_file(requests[1]), without_system_variables(without_output_file(requests[0])));
    EXPECT_TRUE(work_dir_empty());
    EXPECT_EQ(box_.log(), "");
}

// The server gives a waiting request up, by closing the connection or with
// FCGI_ABORT_REQUEST: the files go, nothing is relayed, and the responder
// serves the next connection.
TEST_F(FastcgiPipe, AGivenUpRequestLeavesNothing) {
    std::atomic<bool> answering{false};
    Application app(box_.work(), "qg_", [&](const std::string&) {
        return answering ? std::optional<Answer>(Answer{"late"}) : std::nullopt;
    });
    const auto request_made = [&] {
        return eventually([&] { return box_.work_files().size() == 2; });  // the request and output files
    };
    for (const bool abort_record : {false, true}) {
        SCOPED_TRACE(abort_record ? "FCGI_ABORT_REQUEST" : "connection closed");
        ASSERT_TRUE(pipe_.connect());
        ASSERT_TRUE(pipe_.send(request_records(1, environment, "x=1\r\ny=22", true)));
        ASSERT_TRUE(request_made());
        if (abort_record) {
            ASSERT_TRUE(pipe_.send(record(Type::abort_request, 1)));
            std::string answer;
            ASSERT_TRUE(pipe_.answer(1, answer));
            EXPECT_EQ(answer, "");
        } else {
            pipe_.disconnect();
        }
        EXPECT_TRUE(work_dir_empty());
    }
    answering = true;
    ASSERT_TRUE(pipe_.connect());
    ASSERT_TRUE(pipe_.send(request_records(3, {"REQUEST_METHOD=GET"}, "", false)));
    std::string answer;
    ASSERT_TRUE(pipe_.answer(3, answer));
    EXPECT_NE(answer.find("late"), std::string::npos);
    EXPECT_TRUE(work_dir_empty());
    EXPECT_EQ(box_.log(), "");
}

// A second connection while the first one's request waits is served on a
// further instance of the same pipe.
TEST_F(FastcgiPipe, ASecondConnectionIsServedWhileTheFirstWaits) {
    Application app(box_.work(), "qg_", [&](const std::string& request) {
        if (request.find("QUERY+STRING=second") == std::string::npos) return std::optional<Answer>();
        return std::optional<Answer>(Answer{"second"});
    });
    ASSERT_TRUE(pipe_.connect());
    ASSERT_TRUE(pipe_.send(request_records(1, {"QUERY_STRING=first"}, "", false)));
    ASSERT_TRUE(eventually([&] { return box_.work_files().size() == 2; }));
    PipeClient other(pipe_.name());
    ASSERT_TRUE(other.connect());
    ASSERT_TRUE(other.send(request_records(1, {"QUERY_STRING=second"}, "", false)));
    std::string second;
    ASSERT_TRUE(other.answer(1, second));
    EXPECT_NE(second.find("second"), std::string::npos);
    EXPECT_EQ(box_.work_files().size(), 2u);  // the first still waits
    pipe_.disconnect();
    EXPECT_TRUE(work_dir_empty());
}

}  // namespace
}  // namespace qg::test
