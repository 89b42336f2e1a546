// Several processes on the library serve one work directory behind the real
// gateway: every request is answered exactly once, nothing is left, a killed
// process blocks nothing, and a request still being written is never read.

#include <gtest/gtest.h>

#include <chrono>
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

    Child& start_worker(int threads) {
        const fs::path log = root_.path() / ("worker" + std::to_string(workers_.size()) + ".log");
        ChildOptions options;
        options.arguments = {work().string(), std::to_string(threads)};
        options.stdout_path = log.string();
        Child& worker = workers_.emplace_back(APP_WORKER_BIN, options);
        logs_.push_back(log);
        EXPECT_TRUE(eventually([&] { return read_file(log).find("ready\n") != std::string::npos; })) << read_file(log);
        return worker;
    }
    void stop_worker(std::size_t index) {
        workers_[index].kill(SIGTERM);
        const auto exit = workers_[index].wait();
        EXPECT_TRUE(exit.exited && exit.status == 0) << exit.status;
    }
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
    };
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
    ASSERT_TRUE(eventually([&] { return count_lines(all_logs(), "failed 3C") + count_lines(all_logs(), "failed 3D") == 2; }))
        << all_logs();
    EXPECT_EQ(read_file(outside), "precious");
    EXPECT_FALSE(fs::exists(file("qg_3C.ret")));
    EXPECT_FALSE(fs::exists(file("qg_3D.ret")));
}

}  // namespace
