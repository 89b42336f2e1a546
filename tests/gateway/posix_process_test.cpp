// Process tests that only the POSIX gateway can show: stop signals and the
// dispositions a web server leaves, the output file's lease, the memory a
// waiting gateway keeps, and signal files that earlier requests left behind.
#include <fcntl.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <iterator>
#include <fstream>
#include <iostream>
#include <sstream>
#include <stdexcept>
#include <string>

#include "application.h"
#include "gateway_process.h"
#include "log_format.h"
#include "relay.h"
#include "texts.h"

namespace qg::test {
namespace {

void expect_clean_exit(const GatewayResult& r) {
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(r.status, 0);
}

bool has_request_file(const GatewaySandbox& box) {
    for (const auto& name : box.work_files())
        if (name.rfind("qg_", 0) == 0 && name.size() > 4 && name.substr(name.size() - 4) == ".TMP") return true;
    return false;
}

// One field of /proc/PID/status ("State", "SigCgt", "VmRSS") without its name.
std::string status_field(pid_t pid, const std::string& field) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind(field + ":", 0) != 0) continue;
        const auto at = line.find_first_not_of(" \t", field.size() + 1);
        return at == std::string::npos ? std::string() : line.substr(at);
    }
    return {};
}

// Whether the gateway has taken over the stop signals and sleeps: it is then
// in one of its blocking calls.
bool blocked_with_handlers(pid_t pid) {
    const auto caught = std::strtoull(status_field(pid, "SigCgt").c_str(), nullptr, 16);
    return ((caught >> (SIGTERM - 1)) & 1) != 0 && status_field(pid, "State").rfind('S', 0) == 0;
}

// A FIFO as a gateway's standard input. The test holds it open for reading
// and writing, so the gateway's open never blocks and its reads wait until
// the test sends; closing it ends the input.
class BodyPipe {
public:
    explicit BodyPipe(std::string path) : path_(std::move(path)) {
        if (::mkfifo(path_.c_str(), 0600) != 0) throw std::runtime_error("mkfifo failed");
        fd_ = ::open(path_.c_str(), O_RDWR | O_CLOEXEC);
        if (fd_ < 0) throw std::runtime_error("cannot open the FIFO");
    }
    BodyPipe(const BodyPipe&) = delete;
    BodyPipe& operator=(const BodyPipe&) = delete;
    ~BodyPipe() { close(); }

    const std::string& path() const { return path_; }
    bool send(const std::string& bytes) {
        return ::write(fd_, bytes.data(), bytes.size()) == static_cast<ssize_t>(bytes.size());
    }
    void close() {
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
    }

private:
    std::string path_;
    int fd_ = -1;
};

TEST(GatewayPosix, SignalFilesLeftBehindNeverAnswerANewRequest) {
    GatewaySandbox box(std::nullopt);
    write_file(box.settings_file(), box.settings_for("Timeout=20\r\nPollTime=10\r\n"));
    // Signal files of earlier requests for every even number, in both cases:
    // links to one empty file, far quicker to make than new files.
    const std::string stale = box.root() + "stale.ret";
    write_file(stale, "");
    std::size_t planted = 0;
    for (unsigned n = 2; n <= 0xFFFF; n += 2, ++planted) {
        std::ostringstream name;
        name << "qg_" << std::uppercase << std::hex << n << (n % 4 == 0 ? ".ret" : ".RET");
        ASSERT_EQ(::link(stale.c_str(), (box.work() + name.str()).c_str()), 0) << name.str();
    }
    Application app(box.work(), "qg_", [](const std::string& request) {
        const auto at = request.find("&QUERY+STRING=") + 14;
        return std::optional<Answer>(Answer{"id " + request.substr(at, request.find('&', at) - at)});
    });
    for (int i = 0; i < 20; ++i) {
        const auto r = box.run({"QUERY_STRING=" + std::to_string(i)});
        expect_clean_exit(r);
        EXPECT_EQ(r.output, std::string(text::default_header) + "id " + std::to_string(i));
    }
    EXPECT_EQ(box.work_files().size(), planted);  // the gateway deletes only its own
    EXPECT_EQ(box.log(), "");
}

TEST(GatewayPosix, LinkAtTheOutputNameIsNotFollowed) {
    GatewaySandbox box(std::nullopt);
    write_file(box.settings_file(), box.settings_for("Timeout=20\r\nPollTime=10\r\n"));
    const std::string secret = box.root() + "/secret.env";
    write_file(secret, "DB_PASSWORD=hunter2");
    Application app(box.work(), "qg_", [&](const std::string&) {
        return std::optional<Answer>(Answer{secret, ".ret", false, false, Answer::Replace::link});
    });
    const auto r = box.run({});
    expect_clean_exit(r);
    EXPECT_EQ(r.output, error_page(text::title_unreadable, text::page_unreadable));
    EXPECT_EQ(test::log_messages(box.log()), std::vector<std::string>{std::string(text::log_unreadable)});
    EXPECT_EQ(read_file(secret), "DB_PASSWORD=hunter2");  // the link went, not its target
}

// Runs the gateway in a mount namespace of its own with an empty /proc, started
// under the name `argv0` ("$0": the program's full path).
TEST(GatewayPosix, SettingsFoundWithoutProc) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "a sanitizer's runtime reads /proc as the program starts";
#endif
    if (std::system("/usr/bin/unshare --mount --propagation private /bin/true 2>/dev/null") != 0)
        GTEST_SKIP() << "no private mount namespace here (needs root and unshare)";
    struct Case {
        std::string name, argv0;
        bool script_filename;
        bool answered;
    };
    const std::vector<Case> cases = {
        {"full path", "\"$0\"", false, true},
        {"bare name, SCRIPT_FILENAME", "qg-bare", true, true},
        {"bare name alone", "qg-bare", false, false},
    };
    for (const auto& c : cases) {
        GatewaySandbox box(std::nullopt);
        write_file(box.settings_file(), box.settings_for("Timeout=20\r\nPollTime=10\r\n"));
        const std::string tmp = box.root() + "tmp/";
        std::filesystem::create_directory(tmp);
        Application app(box.work(), "qg_", [](const std::string&) { return std::optional<Answer>(Answer{"found"}); });
        const std::string script =
            "/bin/mount -t tmpfs none /proc && cd / && exec -a " + c.argv0 + " \"$0\"";
        std::vector<std::string> env = {"TMPDIR=" + tmp};
        if (c.script_filename) env.push_back("SCRIPT_FILENAME=" + box.program());
        const std::string out = box.root() + "noproc.out";
        Child child("/usr/bin/unshare", ChildOptions{{"--mount", "--propagation", "private", "--", "/bin/bash", "-c",
                                                      script, box.program()},
                                                     env, "", out, ChildOutput::file});
        const ChildExit exit = child.wait();
        EXPECT_TRUE(exit.exited && exit.status == 0) << c.name;
        if (c.answered) {
            EXPECT_EQ(read_file(out), std::string(text::default_header) + "found") << c.name;
            EXPECT_EQ(box.log(), "") << c.name;
        } else {
            EXPECT_EQ(read_file(out), error_page(text::title_no_settings, text::page_no_settings)) << c.name;
            EXPECT_EQ(test::log_messages(read_file(tmp + "zrCGIErr.txt")),
                      std::vector<std::string>{std::string(text::log_no_settings)})
                << c.name;
        }
        // No settings file was made anywhere else, and nothing waited in TMPDIR.
        EXPECT_EQ(std::distance(std::filesystem::directory_iterator(tmp), {}), c.answered ? 0 : 1) << c.name;
    }
}

// User and system CPU of a process so far, in clock ticks (/proc/PID/stat
// fields 14 and 15, after the parenthesised command name).
long cpu_ticks(pid_t pid) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    const std::string stat{std::istreambuf_iterator<char>(in), {}};
    std::istringstream fields(stat.substr(stat.rfind(')') + 2));
    std::string field;
    long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && fields >> field; ++i) {
        if (i == 14) utime = std::stol(field);
        if (i == 15) stime = std::stol(field);
    }
    return utime + stime;
}

// Waiting costs next to nothing however many files the work directory holds
// and however many gateways wait: 200 gateways wait among 10,000 leftover
// files with nothing to answer them. They are the polling build, as every
// gateway beyond the account's 128 inotify instances is (and so the test
// takes no instance from tests running beside it): each check is a look-up
// of the name and of the directory's times. The bound, 2 ms of CPU per
// waiting second, is some 40 times that fixed cost; reading the directory at
// every check costs more than the bound.
TEST(GatewayPosix, WaitingCostsLittleAmongManyFiles) {
    constexpr int waiting = 200;
    GatewaySandbox box(std::nullopt, QG_POLLING_BINARY);
    write_file(box.settings_file(), box.settings_for("Timeout=120\r\nPollTime=150\r\n"));
    const std::string left = box.root() + "left.dat";
    write_file(left, "");
    for (int i = 0; i < 10000; ++i) {
        std::string name = box.work();
        name += "left";
        name += std::to_string(i);
        ASSERT_EQ(::link(left.c_str(), name.c_str()), 0);
    }
    std::vector<Child> gateways;
    for (int i = 0; i < waiting; ++i) {
        std::string tag = "w";
        tag += std::to_string(i);
        gateways.push_back(box.start({}, "", tag));
    }
    // Every gateway has made its request: all of them wait from here on.
    const auto all_waiting = [&] {
        std::size_t requests = 0;
        for (const auto& name : box.work_files()) requests += name.rfind("qg_", 0) == 0 ? 1 : 0;
        return requests == waiting;
    };
    if (!eventually(all_waiting)) {
        for (auto& g : gateways) g.kill();
        FAIL() << "not every gateway made its request";
    }
    // The directory has been quiet for more than a second: its times no
    // longer call for a search.
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));

    const auto total_ticks = [&] {
        long ticks = 0;
        for (const auto& g : gateways) ticks += cpu_ticks(g.pid());
        return ticks;
    };
    const long before = total_ticks();
    const auto start = std::chrono::steady_clock::now();
    std::this_thread::sleep_for(std::chrono::seconds(3));
    const long after = total_ticks();

    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    const double ms_per_waiting_second =
        static_cast<double>(after - before) * 1000.0 / static_cast<double>(::sysconf(_SC_CLK_TCK)) /
        (waiting * seconds);
    EXPECT_LT(ms_per_waiting_second, 2.0) << "CPU per waiting second of one gateway";
    std::cout << "CPU per waiting second: " << ms_per_waiting_second << " ms\n";

    for (auto& g : gateways) g.kill();
    for (auto& g : gateways) expect_clean_exit(GatewayResult{g.wait().exited, 0, {}});
    EXPECT_EQ(box.work_files().size(), 10000u);  // only the gateways' own files went
}

TEST(GatewayPosix, HangUpOrInterruptLeftIgnoredStaysIgnored) {
    for (const int sig : {SIGHUP, SIGINT}) {
        GatewaySandbox box(std::nullopt);
        write_file(box.settings_file(), box.settings_for("Timeout=20\r\nPollTime=10\r\n"));
        std::atomic<bool> sent{false};
        Application app(box.work(), "qg_", [&](const std::string&) {
            while (!sent) std::this_thread::sleep_for(std::chrono::milliseconds(1));
            return std::optional<Answer>(Answer{"still here"});
        });
        // What the web server ignores, its CGI programs inherit as ignored.
        struct sigaction ignore {}, previous {};
        ignore.sa_handler = SIG_IGN;
        ::sigaction(sig, &ignore, &previous);
        Child gateway = box.start({"REQUEST_METHOD=GET"}, "", "ignored");
        ::sigaction(sig, &previous, nullptr);

        const bool waiting = eventually([&] { return has_request_file(box); });
        gateway.kill(sig);
        sent = true;  // only now may the answer come
        ASSERT_TRUE(waiting) << sig;
        const auto r = box.finish(gateway, "ignored");
        expect_clean_exit(r);
        EXPECT_EQ(r.output, std::string(text::default_header) + "still here") << sig;
        EXPECT_TRUE(box.work_files().empty()) << sig;
    }
}

TEST(GatewayPosix, StopWhileReadingTheBodyEndsCleanly) {
    for (const int sig : termination_signals) {
        GatewaySandbox box(std::nullopt);
        write_file(box.settings_file(), box.settings_for("Timeout=0\r\nPollTime=50\r\n"));
        BodyPipe body(box.root() + "body.fifo");
        Child gateway = box.start_reading({"CONTENT_LENGTH=10"}, body.path(), "reading");
        ASSERT_TRUE(eventually([&] { return blocked_with_handlers(gateway.pid()); })) << sig;
        // Part of the body, then the stop: it may land in a read or between two.
        body.send("a=1");
        gateway.kill(sig);
        const bool ended = eventually([&] { return !gateway.running(); });
        body.close();  // a gateway that missed the stop would wait here for the rest
        EXPECT_TRUE(ended) << sig;
        const auto r = box.finish(gateway, "reading");
        expect_clean_exit(r);
        EXPECT_EQ(r.output, "") << sig;
        EXPECT_TRUE(box.work_files().empty()) << sig;
    }
}

TEST(GatewayPosix, FirstRunIsDecidedByTheSettingsAsRead) {
    GatewaySandbox box(std::nullopt);  // no settings file when the run starts
    Application app(box.work(), "qg_", [](const std::string&) { return std::optional<Answer>(Answer{"ok"}); });
    BodyPipe body(box.root() + "body.fifo");
    auto environment = temp_dir_environment(box.work());
    environment.push_back("CONTENT_LENGTH=3");
    Child gateway = box.start_reading(environment, body.path(), "first");
    ASSERT_TRUE(eventually([&] { return blocked_with_handlers(gateway.pid()); }));
    // Another run writes the settings file during this run's upload; this run
    // still read none, so it stays a first run with its limit.
    write_file(box.settings_file(), "[zrcgi]\r\nTimeout=0\r\n");
    body.send("a=1");
    body.close();
    const auto r = box.finish(gateway, "first");
    expect_clean_exit(r);
    EXPECT_EQ(r.output, std::string(text::default_header) + "ok");
    EXPECT_EQ(read_file(box.settings_file()), "[zrcgi]\r\nTimeout=50\r\nPollTime=150\r\n");
}

TEST(GatewayPosix, OutputFileStaysOpenToOthersDuringARelay) {
    GatewaySandbox box(std::nullopt);
    write_file(box.settings_file(), box.settings_for("Timeout=20\r\nPollTime=10\r\n"));
    std::string output;  // written before answered() counts, read after
    Application app(box.work(), "qg_", [&](const std::string& request) {
        output = output_path_of(request);
        return std::optional<Answer>(Answer{std::string(4 << 20, 'r')});  // more than a pipe holds
    });
    Child gateway = box.start({"REQUEST_METHOD=GET"}, "", "stalled", GatewaySandbox::Output::stalled);
    // The request file goes just before the relay, which then stalls on the
    // unread pipe.
    ASSERT_TRUE(eventually([&] {
        return app.answered() == 1 && !has_request_file(box) && blocked_with_handlers(gateway.pid());
    }));
    // A non-blocking open fails with EWOULDBLOCK while a lease is held.
    const int fd = ::open(output.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    const int error = errno;
    if (fd >= 0) ::close(fd);
    gateway.kill(SIGTERM);
    const auto r = box.finish(gateway, "stalled");
    EXPECT_GE(fd, 0) << std::strerror(error);
    expect_clean_exit(r);
    EXPECT_TRUE(box.work_files().empty());
}

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr bool sanitized = true;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr bool sanitized = true;
#else
constexpr bool sanitized = false;
#endif
#else
constexpr bool sanitized = false;
#endif

TEST(GatewayPosix, WaitingGatewayGivesTheBodyMemoryBack) {
    if (sanitized) GTEST_SKIP() << "a sanitizer's allocator keeps freed memory in quarantine";
    constexpr std::size_t body_size = 64 << 20;
    GatewaySandbox box(std::nullopt);
    write_file(box.settings_file(), box.settings_for("Timeout=0\r\nPollTime=50\r\n"));  // waits until stopped
    Child gateway = box.start({"CONTENT_LENGTH=" + std::to_string(body_size)}, std::string(body_size, 'b'), "big");
    // Once the request file is there, the whole body has been in memory.
    ASSERT_TRUE(eventually([&] { return has_request_file(box); }));
    long resident_kib = 0;
    const bool small = eventually([&] {
        resident_kib = std::strtol(status_field(gateway.pid(), "VmRSS").c_str(), nullptr, 10);
        return resident_kib > 0 && resident_kib < 16 * 1024;
    });
    gateway.kill(SIGTERM);
    expect_clean_exit(box.finish(gateway, "big"));
    EXPECT_TRUE(small) << resident_kib << " KiB resident while waiting";
    EXPECT_TRUE(box.work_files().empty());
}

}  // namespace
}  // namespace qg::test
