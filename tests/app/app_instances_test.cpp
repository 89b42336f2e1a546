// Several processes on the library serve one work directory behind the real
// gateway: every request is answered exactly once, nothing is left, a killed
// process blocks nothing, and a request still being written is never read.

#include <gtest/gtest.h>

#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <future>
#include <csignal>
#include <deque>
#include <filesystem>
#include <fstream>
#include <iostream>
#include <sstream>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "child_process.h"
#include "eventually.h"
#include "file_io.h"
#include "scratch_dir.h"

#ifndef QG_BIN
#error "QG_BIN must name the gateway"
#endif
#ifndef APP_WORKER_BIN
#error "APP_WORKER_BIN must name the test application"
#endif

namespace {

namespace fs = std::filesystem;
using qg::test::Child;
using qg::test::ChildOptions;
using quillgate::testing::eventually;
using quillgate::testing::read_file;
using quillgate::testing::ScratchDir;
using quillgate::testing::write_file;

std::size_t count_lines(const std::string& text, const std::string& line) {
    std::size_t n = 0;
    std::istringstream in(text);
    for (std::string got; std::getline(in, got);) n += got == line;
    return n;
}

// A work directory with the gateway beside it, and application processes.
class Instances : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directory(work());
        fs::copy_file(QG_BIN, root_.path() / "qg");
        write_file(root_.path() / "qg.ini", "[zrcgi]\nPath=" + work().string() + "/\nTimeout=" +
                                                std::to_string(timeout_s_) + "\nPollTime=50\nTemplate=qg_\n");
    }
    void TearDown() override {
        for (auto& worker : workers_) worker.kill(SIGKILL);
    }
    fs::path work() const { return root_.path() / "work"; }

    // `wrapper`: a program (full path) and its arguments that run the worker
    // (setpriv, faketime); `environment`: entries added to this process's.
    Child& start_worker(int threads, std::vector<std::string> wrapper = {},
                        const std::vector<std::string>& environment = {}) {
        const fs::path log = root_.path() / ("worker" + std::to_string(workers_.size()) + ".log");
        ChildOptions options;
        options.arguments = {work().string(), std::to_string(threads)};
        options.stdout_path = log.string();
        if (!environment.empty()) {
            std::vector<std::string> all;
            for (char** entry = environ; *entry != nullptr; ++entry) all.emplace_back(*entry);
            all.insert(all.end(), environment.begin(), environment.end());
            options.environment = all;
        }
        std::string program = worker_bin_;
        if (!wrapper.empty()) {
            program = wrapper.front();
            wrapper.erase(wrapper.begin());
            wrapper.emplace_back(worker_bin_);
            options.arguments.insert(options.arguments.begin(), wrapper.begin(), wrapper.end());
        }
        Child& worker = workers_.emplace_back(program, options);
        logs_.push_back(log);
        EXPECT_TRUE(eventually([&] { return read_file(log).find("ready\n") != std::string::npos; })) << read_file(log);
        return worker;
    }
    void stop_worker(std::size_t index) {
        workers_[index].kill(SIGTERM);
        const auto exit = workers_[index].wait();
        EXPECT_TRUE(exit.exited && exit.status == 0) << exit.status;
    }
    std::size_t log_lines(const std::string& line) const { return count_lines(all_logs(), line); }
    std::string all_logs() const {
        std::string text;
        for (const auto& log : logs_) text += read_file(log);
        return text;
    }

    // Runs the gateway `count` times, `parallel` at once, each with the query
    // string "<tag><n>x"; returns the responses.
    std::vector<std::string> run_gateways(const std::string& tag, int count, int parallel) {
        std::vector<std::string> responses(static_cast<std::size_t>(count));
        std::deque<std::pair<Child, int>> running;
        const fs::path out_dir = root_.path() / ("out-" + tag);
        fs::create_directory(out_dir);
        auto finish_one = [&] {
            auto& [gateway, i] = running.front();
            gateway.wait();
            responses[static_cast<std::size_t>(i)] = read_file(out_dir / std::to_string(i));
            running.pop_front();
        };
        for (int i = 0; i < count; ++i) {
            while (static_cast<int>(running.size()) >= parallel) finish_one();
            ChildOptions options;
            options.environment = {"REQUEST_METHOD=GET", "QUERY_STRING=" + tag + std::to_string(i) + "x"};
            options.stdout_path = (out_dir / std::to_string(i)).string();
            running.emplace_back(std::piecewise_construct, std::forward_as_tuple((root_.path() / "qg").string(), options),
                                 std::forward_as_tuple(i));
        }
        while (!running.empty()) finish_one();
        return responses;
    }

    // What is left in the work directory: the gateway's files, and claims.
    std::pair<int, int> files_left() const {
        int gateway = 0, claims = 0;
        for (const auto& entry : fs::recursive_directory_iterator(work())) {
            const std::string name = entry.path().filename().string();
            if (name.ends_with(".clm")) ++claims;
            if (name.ends_with(".TMP") || name.ends_with(".ret")) ++gateway;
        }
        return {gateway, claims};
    }

    int timeout_s_ = 30;
    std::string worker_bin_ = APP_WORKER_BIN;
    ScratchDir root_{"qga-test"};
    std::deque<Child> workers_;  // a deque: Child stays where it was made
    std::vector<fs::path> logs_;
};

TEST_F(Instances, EveryRequestAnsweredOnceBySeveralProcesses) {
    for (const int processes : {2, 3}) {
        const std::size_t first = workers_.size();
        for (int p = 0; p < processes; ++p) start_worker(8);
        const std::string tag = "p" + std::to_string(processes) + "r";
        constexpr int requests = 200;
        const auto responses = run_gateways(tag, requests, 12);
        int right = 0;
        for (int i = 0; i < requests; ++i) {
            const std::string want = "tag=" + tag + std::to_string(i) + "x\n";
            right += responses[static_cast<std::size_t>(i)].ends_with("\r\n\r\n" + want);
        }
        for (std::size_t w = first; w < workers_.size(); ++w) stop_worker(w);
        const std::string logs = all_logs();
        int answers = 0, duplicates = 0;
        for (int i = 0; i < requests; ++i) {
            const auto n = static_cast<int>(count_lines(logs, "answered " + tag + std::to_string(i) + "x"));
            answers += n;
            duplicates += n > 1 ? n - 1 : 0;
        }
        const auto [left, claims] = files_left();
        std::cout << "[figures] " << processes << " processes x 8 threads: requests " << requests << ", right answers "
                  << right << ", answers " << answers << ", duplicates " << duplicates << ", files left " << left
                  << ", claims left " << claims << "\n";
        EXPECT_EQ(right, requests);
        EXPECT_EQ(answers, requests);
        EXPECT_EQ(duplicates, 0);
        EXPECT_EQ(left, 0);
        EXPECT_EQ(claims, 0);
        EXPECT_FALSE(fs::exists(work() / "claims")) << "the last process leaves no claims folder";
    }
}

// The test plays the gateway here, to choose the names and the moment.
class Handoff : public Instances {
protected:
    std::string request_text(const std::string& id, const std::string& query, const std::string& body = "") const {
        std::string text = "&OUTPUT+FILE=" + (work() / ("cgi" + id + ".TMP")).string() +
                           "&REQUEST+METHOD=GET&QUERY+STRING=" + query + "&DllVersion=Quillgate+3%2E00%2E02&\r\n"
                           "#@$ FORM VARIABLES $@#\r\n";
        if (!body.empty()) text += body + "\r\n";
        return text;
    }
    fs::path file(const std::string& name) const { return work() / name; }
    void gateway_cleanup(const std::string& id) {
        fs::remove(file("qg_" + id + ".ret"));
        fs::remove(file("qg_" + id + ".TMP"));
        fs::remove(file("cgi" + id + ".TMP"));
    }
};

TEST_F(Handoff, KilledProcessBlocksNoLaterRequestOfTheSameName) {
    Child& doomed = start_worker(2);
    write_file(file("cgi1A.TMP"), "");
    write_file(file("qg_1A.TMP"), request_text("1A", "hold"));
    ASSERT_TRUE(eventually([&] { return all_logs().find("holding hold") != std::string::npos; })) << all_logs();
    doomed.kill(SIGKILL);
    doomed.wait();
    // The gateway times out and deletes its files; a new request takes the
    // same numbers. The dead process's claim is still there.
    gateway_cleanup("1A");
    ASSERT_EQ(files_left().second, 1);
    start_worker(2);
    write_file(file("cgi1A.TMP"), "");
    write_file(file("qg_1A.TMP"), request_text("1A", "later"));
    ASSERT_TRUE(eventually([&] { return fs::exists(file("qg_1A.ret")); })) << all_logs();
    EXPECT_EQ(read_file(file("cgi1A.TMP")), "tag=later\n");
    gateway_cleanup("1A");
    stop_worker(1);
    EXPECT_EQ(files_left().first, 0);
}

TEST_F(Handoff, RequestIsReadOnlyWhenWhole) {
    start_worker(2);
    // The gateway's placeholder, then a request whose write stops half-way
    // (a body without its line end), then the rest.
    const std::string whole = request_text("2B", "part", "a=1&b=2");
    write_file(file("cgi2B.TMP"), "");
    write_file(file("qg_2B.TMP"), "");
    {
        std::ofstream out(file("qg_2B.TMP"), std::ios::binary);
        out << whole.substr(0, whole.size() - 5);
        out.flush();
        // Held open and unchanged past several listings and confirmations.
        std::this_thread::sleep_for(std::chrono::milliseconds(1500));
        EXPECT_FALSE(fs::exists(file("qg_2B.ret")));
        EXPECT_EQ(read_file(file("cgi2B.TMP")), "");
        EXPECT_EQ(files_left().second, 0) << "claimed before the write was finished";
        out << whole.substr(whole.size() - 5);
    }
    ASSERT_TRUE(eventually([&] { return fs::exists(file("qg_2B.ret")); })) << all_logs();
    EXPECT_EQ(read_file(file("cgi2B.TMP")), "tag=part\n");
    // The worker logs its answer just after making the signal file.
    stop_worker(0);
    EXPECT_EQ(count_lines(all_logs(), "answered part"), 1U);
}

TEST_F(Handoff, OutputOnlyInsideTheWorkDirectory) {
    start_worker(2);
    const fs::path outside = root_.path() / "outside";
    write_file(outside, "precious");
    fs::create_symlink(outside, file("cgi3C.TMP"));
    struct Case {
        std::string id, output;
    };
    const std::vector<Case> cases = {
        {"3C", file("cgi3C.TMP").string()},           // a symbolic link in the directory
        {"3D", outside.string()},                     // not a file of the gateway's kind
        {"3E", (root_.path() / "cgi3E.TMP").string()},  // its kind, named outside: written inside
        {"3F", file("cgi3F.TMP").string()},           // a hard link to a file outside
    };
    write_file(root_.path() / "secret", "precious");
    fs::create_hard_link(root_.path() / "secret", file("cgi3F.TMP"));
    write_file(root_.path() / "cgi3E.TMP", "precious");
    write_file(file("cgi3E.TMP"), "");
    for (const auto& c : cases) {
        std::string text = request_text(c.id, c.id);
        text.replace(13, (work() / ("cgi" + c.id + ".TMP")).string().size(), c.output);
        write_file(file("qg_" + c.id + ".TMP"), text);
    }
    ASSERT_TRUE(eventually([&] { return fs::exists(file("qg_3E.ret")); })) << all_logs();
    EXPECT_EQ(read_file(file("cgi3E.TMP")), "tag=3E\n");
    EXPECT_EQ(read_file(root_.path() / "cgi3E.TMP"), "precious");
    ASSERT_TRUE(eventually([&] { return log_lines("failed 3C") + log_lines("failed 3D") + log_lines("failed 3F") == 3; }))
        << all_logs();
    EXPECT_EQ(read_file(outside), "precious");
    EXPECT_EQ(read_file(root_.path() / "secret"), "precious");
    EXPECT_FALSE(fs::exists(file("qg_3F.ret")));
    EXPECT_FALSE(fs::exists(file("qg_3C.ret")));
    EXPECT_FALSE(fs::exists(file("qg_3D.ret")));
}

// The CPU time a process has used, from /proc (user and system, seconds).
double cpu_seconds(pid_t pid) {
    std::istringstream in(read_file("/proc/" + std::to_string(pid) + "/stat"));
    std::string field;
    // The command name may hold spaces: fields are counted after its ")".
    std::getline(in, field, ')');
    std::vector<std::string> fields;
    while (in >> field) fields.push_back(field);
    const double ticks = static_cast<double>(sysconf(_SC_CLK_TCK));
    return (std::stod(fields.at(11)) + std::stod(fields.at(12))) / ticks;
}

TEST_F(Handoff, FilesThatAreNotRequestsCostNoCpu) {
    // Left by gateways ended halfway through their write: garbage, and a
    // body cut short. An idle instance beside them stays idle, and a request
    // that comes later is answered.
    write_file(file("qg_4A.TMP"), "garbage\r\n");
    std::string cut = request_text("4B", "cut", "a=1&b=2");
    write_file(file("qg_4B.TMP"), cut.substr(0, cut.size() - 4));
    Child& worker = start_worker(2);
    std::this_thread::sleep_for(std::chrono::seconds(3));
    const double used = cpu_seconds(worker.pid());
    std::cout << "[figures] CPU of an instance beside two bad files over 3 s: " << used << " s\n";
    EXPECT_LT(used, 1.0) << "the instance spins on files that are not requests";
    write_file(file("cgi4C.TMP"), "");
    write_file(file("qg_4C.TMP"), request_text("4C", "after"));
    ASSERT_TRUE(eventually([&] { return fs::exists(file("qg_4C.ret")); })) << all_logs();
    EXPECT_EQ(read_file(file("cgi4C.TMP")), "tag=after\n");
}

// Gateways ended by SIGKILL (as Apache and IIS end a CGI program) while their
// answers were on the way leave request and signal files behind; the
// instance that answered is restarted, and the claims age out. No request is
// answered twice.
TEST_F(Instances, AnsweredRequestsStayAnsweredAcrossRestarts) {
    constexpr int requests = 20;
    std::deque<Child> gateways;
    for (int i = 0; i < requests; ++i) {
        ChildOptions options;
        options.environment = {"REQUEST_METHOD=GET", "QUERY_STRING=r" + std::to_string(i) + "x"};
        options.stdout_path = (root_.path() / ("gw" + std::to_string(i))).string();
        gateways.emplace_back((root_.path() / "qg").string(), options);
    }
    auto written = [&] {
        int n = 0;
        for (const auto& entry : fs::directory_iterator(work()))
            n += entry.path().filename().string().starts_with("qg_") && fs::file_size(entry.path()) > 0;
        return n;
    };
    ASSERT_TRUE(eventually([&] { return written() == requests; }));
    for (auto& gateway : gateways) gateway.kill(SIGSTOP);  // they will never take their answers
    const std::vector<std::string> expiry = {"QGA_TEST_EXPIRY=10"};
    start_worker(4, {}, expiry);
    ASSERT_TRUE(eventually([&] {
        int n = 0;
        for (int i = 0; i < requests; ++i) n += log_lines("answered r" + std::to_string(i) + "x") == 1;
        return n == requests;
    })) << all_logs();
    for (auto& gateway : gateways) gateway.kill(SIGKILL);
    gateways.clear();
    workers_.front().kill(SIGKILL);
    workers_.front().wait();
    // Restarted, and kept past the expiry of the dead instance's claims.
    start_worker(4, {}, expiry);
    ASSERT_TRUE(eventually([&] { return files_left().second == 0; })) << "claims never aged out";
    std::this_thread::sleep_for(std::chrono::seconds(2));
    stop_worker(1);
    int answers = 0, duplicates = 0;
    for (int i = 0; i < requests; ++i) {
        const auto n = static_cast<int>(log_lines("answered r" + std::to_string(i) + "x"));
        answers += n;
        duplicates += n > 1 ? n - 1 : 0;
    }
    std::cout << "[figures] restart: requests " << requests << ", answers " << answers << ", duplicates "
              << duplicates << ", files left " << files_left().first << " (the killed gateways'), claims left "
              << files_left().second << "\n";
    EXPECT_EQ(answers, requests);
    EXPECT_EQ(duplicates, 0);
}

// A handler slower than the claim expiry, with a second instance beside it
// whose clock runs 45 s ahead (where faketime is installed): the owner's claim
// is renewed for it, and nobody else answers.
TEST_F(Instances, ASlowHandlerKeepsItsClaim) {
    const std::vector<std::string> expiry = {"QGA_TEST_EXPIRY=10"};
    start_worker(2, {}, expiry);
    // libfaketime preloaded (Debian's faketime), not its wrapper program,
    // which would stand between the test and the worker's exit status.
    constexpr const char* faketime = "/usr/lib/x86_64-linux-gnu/faketime/libfaketime.so.1";
    std::vector<std::string> ahead = expiry;
    if (fs::exists(faketime)) {
        const char* asan = std::getenv("ASAN_OPTIONS");
        ahead.insert(ahead.end(), {std::string("LD_PRELOAD=") + faketime, "FAKETIME=+45s",
                                   // Only the wall clock runs ahead, as on a host set wrong.
                                   "FAKETIME_DONT_FAKE_MONOTONIC=1", "NO_FAKE_STAT=1",
                                   std::string("ASAN_OPTIONS=") + (asan ? asan : "") + ":verify_asan_link_order=0"});
    }
    auto run = std::async(std::launch::async, [&] { return run_gateways("sleep14s", 1, 1); });
    ASSERT_TRUE(eventually([&] { return log_lines("claimed sleep14s0x") == 1; })) << all_logs();
    start_worker(2, {}, ahead);
    const auto responses = run.get();
    EXPECT_TRUE(responses[0].ends_with("tag=sleep14s0x\n")) << responses[0];
    stop_worker(0);
    stop_worker(1);
    std::cout << "[figures] slow handler (14 s, expiry 10 s" << (fs::exists(faketime) ? ", second clock +45 s" : "")
              << "): answers " << log_lines("answered sleep14s0x") << "\n";
    EXPECT_EQ(log_lines("claimed sleep14s0x"), 1U) << all_logs();
    EXPECT_EQ(log_lines("answered sleep14s0x"), 1U) << all_logs();
}

// An owner stopped (SIGSTOP) past the expiry loses its claim to another
// instance, which answers; once continued, the first writes nothing and
// makes no signal file.
// What each thread of a process is doing (state and kernel wait channel), for
// a failure message.
std::string threads_state(pid_t pid) {
    std::string out;
    const fs::path tasks = "/proc/" + std::to_string(pid) + "/task";
    std::error_code ec;
    for (const auto& task : fs::directory_iterator(tasks, ec)) {
        const std::string stat = read_file(task.path() / "stat");
        const auto close = stat.rfind(')');
        out += "thread " + task.path().filename().string() + ": " +
               (close == std::string::npos ? stat : stat.substr(close + 2, 1)) + " " +
               read_file(task.path() / "wchan") + "\n";
    }
    return out.empty() ? "no such process\n" : out;
}

TEST_F(Instances, AStoppedOwnerIsFencedOff) {
    const std::vector<std::string> expiry = {"QGA_TEST_EXPIRY=10"};
    Child& first = start_worker(1, {}, expiry);
    auto run = std::async(std::launch::async, [&] { return run_gateways("sleep2s", 1, 1); });
    ASSERT_TRUE(eventually([&] { return log_lines("claimed sleep2s0x") == 1; })) << all_logs();
    first.kill(SIGSTOP);
    start_worker(1, {}, expiry);
    const auto responses = run.get();
    first.kill(SIGCONT);
    ASSERT_TRUE(eventually([&] { return log_lines("gone sleep2s0x") == 1; })) << all_logs() << threads_state(first.pid());
    EXPECT_TRUE(responses[0].ends_with("tag=sleep2s0x\n")) << responses[0];
    stop_worker(0);
    stop_worker(1);
    EXPECT_EQ(log_lines("answered sleep2s0x"), 1U) << all_logs();
    EXPECT_EQ(files_left().first, 0);
}

// The two-account recipe of docs/deploying.md: a default ACL that gives both read
// and write on every file made in the work directory. Whichever instance
// makes the claims folder, the other can use it.
TEST_F(Instances, TwoAccountsShareTheClaimsFolder) {
    if (::geteuid() != 0 || !fs::exists("/usr/bin/setpriv") || !fs::exists("/usr/bin/setfacl")) {
        GTEST_SKIP() << "needs root, setpriv and setfacl";
    }
    fs::permissions(root_.path(), fs::perms::owner_all | fs::perms::group_read | fs::perms::group_exec |
                                      fs::perms::others_read | fs::perms::others_exec);
    const std::string dir = work().string();
    ASSERT_EQ(std::system(("chmod 2770 '" + dir + "' && setfacl -m u:61001:rwx,u:61002:rwx '" + dir +
                           "' && setfacl -d -m u:61001:rw,u:61002:rw,m::rw '" + dir + "'").c_str()),
              0);
    // The worker and its library, where the other accounts can reach them
    // (a build tree may sit in a folder only root may enter).
    const fs::path bin = root_.path() / "bin";
    fs::create_directory(bin);
    fs::copy_file(APP_WORKER_BIN, bin / "app_worker");
    fs::copy_file(QGA_LIBRARY, bin / "libquillgate-app.so.1");
    worker_bin_ = (bin / "app_worker").string();
    const std::vector<std::string> library = {"LD_LIBRARY_PATH=" + bin.string()};
    if (std::system(("/usr/bin/setpriv --reuid=61001 --regid=61000 --clear-groups /usr/bin/test -x '" + worker_bin_ +
                     "'").c_str()) != 0) {
        GTEST_SKIP() << "the scratch folder " << root_.path() << " is out of other accounts' reach";
    }
    for (const char* uid : {"61001", "61002"}) {
        start_worker(2, {"/usr/bin/setpriv", std::string("--reuid=") + uid, "--regid=61000", "--clear-groups"},
                     library);
    }
    EXPECT_EQ(log_lines("ready"), 2U) << all_logs();
    const auto responses = run_gateways("acl", 20, 4);
    int right = 0;
    for (int i = 0; i < 20; ++i) right += responses[static_cast<std::size_t>(i)].ends_with("tag=acl" + std::to_string(i) + "x\n");
    EXPECT_EQ(right, 20) << all_logs();
    stop_worker(0);
    stop_worker(1);
    EXPECT_EQ(log_lines("error"), 0U) << all_logs();
}

}  // namespace
