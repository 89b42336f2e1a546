// The library's contract, in one process on every system (under Wine for the
// Windows build): two open work directories stand for two application
// processes, eight threads each; the test plays several gateways that reuse a
// few request names over and over. Every request is answered once and right,
// and nothing is left behind.

#include <quillgate/app.h>

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <iostream>
#include <map>
#include <mutex>
#include <string>
#include <string_view>
#include <initializer_list>
#include <thread>
#include <vector>

#include "file_io.h"
#include "scratch_dir.h"

namespace {

namespace fs = std::filesystem;
using quillgate::testing::read_file;
using quillgate::testing::write_file;

// Text built by appending: GCC 12 warns wrongly about "literal" + std::string
// in optimised builds.
std::string join(std::initializer_list<std::string_view> parts) {
    std::string text;
    for (const auto part : parts) text += part;
    return text;
}

std::string hex(int n) {
    char text[8];
    std::snprintf(text, sizeof text, "%X", n);
    return text;
}

class Instance {
public:
    Instance(const fs::path& work, std::map<std::string, int>& answers, std::mutex& mutex)
        : answers_(answers), mutex_(mutex) {
        if (qga_open(work.string().c_str(), "qg_", nullptr, &dir_) != QGA_OK) throw std::runtime_error(qga_last_error());
        for (int i = 0; i < 8; ++i) threads_.emplace_back([this] { serve(); });
    }
    Instance(const Instance&) = delete;
    Instance& operator=(const Instance&) = delete;
    ~Instance() {
        stop_ = true;
        qga_interrupt(dir_);
        for (auto& thread : threads_) thread.join();
        qga_close(dir_);
    }
    int errors() const { return errors_; }

private:
    void serve() {
        while (!stop_) {
            qga_request* req = nullptr;
            const int rc = qga_accept(dir_, 1000, &req);
            if (rc == QGA_TIMEOUT) continue;
            if (rc != QGA_OK) {
                ADD_FAILURE() << "accept: " << rc << " " << qga_last_error();
                ++errors_;
                continue;
            }
            const char* query = qga_param(req, "QUERY_STRING", nullptr);
            const std::string answer = join({"tag=", query ? query : "", "\n"});
            if (qga_answer(req, answer.data(), answer.size()) == QGA_OK) {
                const std::lock_guard lock(mutex_);
                ++answers_[query ? query : ""];
            } else {
                ADD_FAILURE() << "answer to " << (query ? query : "") << ": " << qga_last_error();
                ++errors_;
            }
            qga_release(req);
        }
    }

    qga_dir* dir_ = nullptr;
    std::map<std::string, int>& answers_;
    std::mutex& mutex_;
    std::atomic<bool> stop_{false};
    std::atomic<int> errors_{0};
    std::vector<std::thread> threads_;
};

TEST(AppContract, TwoInstancesAnswerEachRequestOnce) {
    quillgate::testing::ScratchDir root("qga-contract");
    const fs::path work = root.path() / "work";
    fs::create_directory(work);
    std::map<std::string, int> answers;
    std::mutex mutex;
    constexpr int gateways = 4, rounds = 40;
    std::atomic<int> right{0}, late{0};
    {
        Instance a(work, answers, mutex), b(work, answers, mutex);
        std::vector<std::thread> sims;
        for (int g = 0; g < gateways; ++g) {
            sims.emplace_back([&, g] {
                for (int i = 0; i < rounds; ++i) {
                    // Four names per gateway, reused every fourth round.
                    const std::string id = hex(0x100 + g * 16 + i % 4);
                    const fs::path output = work / join({"cgi", id, ".TMP"});
                    const fs::path request = work / join({"qg_", id, ".TMP"});
                    const fs::path signal = work / join({"qg_", id, ".ret"});
                    const std::string query = join({"g", std::to_string(g), "r", std::to_string(i), "x"});
                    // A gateway takes no number whose signal file is in sight.
                    // Windows keeps a deleted file's name until the last handle
                    // on it closes (the answering thread may not have closed
                    // its own yet), and Wine even lets it be opened meanwhile.
                    const auto free_by = std::chrono::steady_clock::now() + std::chrono::seconds(20);
                    while (fs::exists(signal) && std::chrono::steady_clock::now() < free_by)
                        std::this_thread::sleep_for(std::chrono::milliseconds(1));
                    write_file(output.string(), "");
                    // Half the requests start as an empty placeholder.
                    if (i % 2 == 0) write_file(request.string(), "");
                    write_file(request.string(), join({"&OUTPUT+FILE=", output.string(), "&REQUEST+METHOD=GET&QUERY+STRING=",
                                                       query, "&DllVersion=Quillgate+3%2E00%2E02&\r\n#@$ FORM VARIABLES $@#\r\n"}));
                    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
                    while (!fs::exists(signal) && std::chrono::steady_clock::now() < deadline)
                        std::this_thread::sleep_for(std::chrono::milliseconds(1));
                    if (!fs::exists(signal)) ++late;
                    // The gateway's clean-up order: signal, request, output.
                    std::error_code ec;
                    fs::remove(signal, ec);
                    fs::remove(request, ec);
                    right += read_file(output.string()) == join({"tag=", query, "\n"});
                    fs::remove(output, ec);
                }
            });
        }
        for (auto& sim : sims) sim.join();
        // The owners drop their claims once the request files are gone.
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
        auto claims = [&] {
            int n = 0;
            if (fs::exists(work / "claims"))
                for (const auto& entry : fs::directory_iterator(work / "claims")) n += entry.path().extension() == ".clm";
            return n;
        };
        while (claims() > 0 && std::chrono::steady_clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        EXPECT_EQ(claims(), 0);
        EXPECT_EQ(a.errors() + b.errors(), 0);
    }
    int total = 0, duplicates = 0;
    for (const auto& [query, n] : answers) {
        total += n;
        duplicates += n - 1;
    }
    std::cout << "[figures] 2 instances x 8 threads, " << gateways * rounds << " requests on " << gateways * 4
              << " names: right " << right << ", answers " << total << ", duplicates " << duplicates
              << ", unanswered " << late << "\n";
    EXPECT_EQ(right, gateways * rounds);
    EXPECT_EQ(total, gateways * rounds);
    EXPECT_EQ(duplicates, 0);
    std::string left;
    for (const auto& entry : fs::recursive_directory_iterator(work)) left += entry.path().filename().string() + " ";
    EXPECT_EQ(left, "") << "left in the work directory";
}

TEST(AppContract, OnlyOurOwnLateSignalFileIsRemoved) {
    // After the answer the gateway's request file goes. Either the gateway
    // gave up between the answer's last look at the request and its signal
    // file (it had already deleted the not yet made signal file): the signal
    // file made after that must not stay behind to block the number. Or the
    // gateway took the answer and the name was used again, and the signal file
    // there now belongs to another process's answer: it must stay.
    struct Case {
        const char* what;
        bool taken_and_reused;
    };
    for (const Case& c : {Case{"given up", false}, Case{"taken, name used again", true}}) {
        SCOPED_TRACE(c.what);
        quillgate::testing::ScratchDir root("qga-late-signal");
        const fs::path work = root.path() / "work";
        fs::create_directory(work);
        const fs::path output = work / "cgi2B.TMP", request = work / "qg_2B.TMP", signal = work / "qg_2B.ret";
        write_file(output.string(), "");
        write_file(request.string(), join({"&OUTPUT+FILE=", output.string(),
                                           "&DllVersion=Quillgate+3%2E00%2E02&\r\n#@$ FORM VARIABLES $@#\r\n"}));
        qga_dir* dir = nullptr;
        ASSERT_EQ(qga_open(work.string().c_str(), "qg_", nullptr, &dir), QGA_OK) << qga_last_error();
        qga_request* req = nullptr;
        ASSERT_EQ(qga_accept(dir, 10000, &req), QGA_OK) << qga_last_error();
        EXPECT_EQ(qga_answer(req, "late", 4), QGA_OK) << qga_last_error();
        qga_release(req);
        ASSERT_TRUE(fs::exists(signal));
        if (c.taken_and_reused) fs::remove(signal);
        fs::remove(request);
        if (c.taken_and_reused) {
            // The next gateway's placeholder, and another process's signal.
            write_file(request.string(), "");
            write_file(signal.string(), "");
        }
        // Until the claim is released.
        auto claimed = [&] {
            for (const auto& entry : fs::directory_iterator(work / "claims"))
                if (entry.path().extension() == ".clm") return true;
            return false;
        };
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
        while (claimed() && std::chrono::steady_clock::now() < deadline) {
            qga_request* none = nullptr;
            EXPECT_EQ(qga_accept(dir, 100, &none), QGA_TIMEOUT);
        }
        qga_close(dir);
        EXPECT_EQ(fs::exists(signal), c.taken_and_reused);
        if (!c.taken_and_reused) {
            fs::remove(output);
            std::string left;
            for (const auto& entry : fs::recursive_directory_iterator(work)) left += entry.path().filename().string() + " ";
            EXPECT_EQ(left, "") << "left in the work directory";
        }
    }
}

// A work directory holding requests written before it was opened, as a
// gateway leaves them, and one instance on it.
class Pending : public ::testing::Test {
protected:
    void open(int count) {
        fs::create_directory(work_);
        for (int i = 0; i < count; ++i) {
            const std::string id = hex(0x300 + i);
            const fs::path output = work_ / join({"cgi", id, ".TMP"});
            write_file(output.string(), "");
            write_file((work_ / join({"qg_", id, ".TMP"})).string(),
                       join({"&OUTPUT+FILE=", output.string(), "&QUERY+STRING=q", id,
                             "&DllVersion=Quillgate+3%2E00%2E02&\r\n#@$ FORM VARIABLES $@#\r\n"}));
        }
        ASSERT_EQ(qga_open(work_.string().c_str(), "qg_", nullptr, &dir_), QGA_OK) << qga_last_error();
    }
    void TearDown() override {
        if (dir_ != nullptr) qga_close(dir_);
    }
    quillgate::testing::ScratchDir root_{"qga-pending"};
    fs::path work_ = root_.path() / "work";
    qga_dir* dir_ = nullptr;
};

TEST_F(Pending, AZeroTimeoutTakesWhatIsReady) {
    open(5);
    int accepted = 0;
    for (int call = 0; call < 50 && accepted < 5; ++call) {
        qga_request* req = nullptr;
        const int rc = qga_accept(dir_, 0, &req);
        if (rc == QGA_OK) {
            ++accepted;
            qga_release(req);
        } else {
            EXPECT_EQ(rc, QGA_TIMEOUT) << qga_last_error();
        }
    }
    EXPECT_EQ(accepted, 5);
}

TEST_F(Pending, EveryWriteAfterTheGatewayGaveUpIsGone) {
    open(1);
    qga_request* req = nullptr;
    ASSERT_EQ(qga_accept(dir_, 10000, &req), QGA_OK) << qga_last_error();
    EXPECT_EQ(qga_write(req, "first", 5), QGA_OK) << qga_last_error();
    // The gateway's time-out: all three files go.
    fs::remove(work_ / "qg_300.TMP");
    fs::remove(work_ / "cgi300.TMP");
    EXPECT_EQ(qga_write(req, "second", 6), QGA_GONE) << qga_last_error();
    EXPECT_EQ(qga_finish(req), QGA_INVALID);
    qga_release(req);
    EXPECT_FALSE(fs::exists(work_ / "qg_300.ret"));
    EXPECT_FALSE(fs::exists(work_ / "cgi300.TMP"));
}

}  // namespace
