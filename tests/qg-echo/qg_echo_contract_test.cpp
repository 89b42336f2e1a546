// Runs the qg-echo program against a temporary work directory, with the test
// playing the gateway's side of the file contract.

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "eventually.h"
#include "file_io.h"
#include "scratch_dir.h"

#include <chrono>
#include <csignal>
#include <filesystem>
#include <string>
#include <thread>

#ifndef QG_ECHO_BIN
#error "QG_ECHO_BIN must name the qg-echo program"
#endif

extern char** environ;

namespace {

namespace fs = std::filesystem;
using quillgate::testing::eventually;

// qg-echo running on a work directory; stopped with SIGTERM and reaped at
// the end of the test, whatever happened.
class EchoProcess {
public:
    EchoProcess(const fs::path& workdir, const fs::path& log) : log_(log) {
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, log.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
        const std::string dir = workdir.string() + "/";
        const char* argv[] = {QG_ECHO_BIN, "--workdir", dir.c_str(), "--prefix", "qg_", nullptr};
        const int rc = posix_spawn(&pid_, QG_ECHO_BIN, &actions, nullptr, const_cast<char**>(argv), environ);
        posix_spawn_file_actions_destroy(&actions);
        if (rc != 0) throw std::runtime_error("cannot start qg-echo");
    }
    EchoProcess(const EchoProcess&) = delete;
    EchoProcess& operator=(const EchoProcess&) = delete;
    // A clean stop exits with 0; a sanitizer report at exit makes it fail.
    ~EchoProcess() {
        ::kill(pid_, SIGTERM);
        int status = 0;
        ::waitpid(pid_, &status, 0);
        if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
            ADD_FAILURE() << "qg-echo ended with status " << status << "\n" << log();
        }
    }
    [[nodiscard]] std::string log() const { return read(log_); }

    static std::string read(const fs::path& path) { return quillgate::testing::read_file(path); }

private:
    pid_t pid_ = -1;
    fs::path log_;
};

// head + decimal number + tail, built by appending (GCC 12 warns wrongly
// about "literal" + std::to_string(...) in optimised builds).
std::string numbered(std::string_view head, int number, std::string_view tail = "") {
    std::string text(head);
    text += std::to_string(number);
    text += tail;
    return text;
}

void write_file(const fs::path& path, const std::string& text) { quillgate::testing::write_file(path, text); }

class QgEchoContract : public ::testing::Test {
protected:
    // Does what the gateway does: the empty output file, the request file
    // empty at first, then the whole text in one write. Without
    // `output_file`, the gateway has already given up and deleted the output
    // file by the time the request can be read.
    std::string send(const std::string& id, const std::string& query, const std::string& body = "",
                     bool output_file = true) {
        const fs::path output = work_.path() / ("cgi" + id + ".TMP");
        if (output_file) write_file(output, "");
        const fs::path request = work_.path() / ("qg_" + id + ".TMP");
        write_file(request, "");
        std::string text = "&OUTPUT+FILE=" + output.string() + "&REQUEST+METHOD=" + (body.empty() ? "GET" : "POST") +
                           "&QUERY+STRING=" + query +
                           "&DllVersion=Quillgate+3%2E00%2E02&\r\n#@$ FORM VARIABLES $@#\r\n";
        if (!body.empty()) text += body + "\r\n";
        write_file(request, text);
        return id;
    }
    fs::path file(const std::string& name) const { return work_.path() / name; }
    bool answered(const std::string& id) const { return fs::exists(file("qg_" + id + ".ret")); }
    std::string output(const std::string& id) const { return EchoProcess::read(file("cgi" + id + ".TMP")); }

    quillgate::testing::ScratchDir work_{"qg-echo-test"};
    quillgate::testing::ScratchDir logs_{"qg-echo-test"};
};

TEST_F(QgEchoContract, AnswersEachRequestAndDeletesNothing) {
    send("B0", "early");  // waiting before qg-echo starts
    EchoProcess echo(work_.path(), logs_.path() / "echo.log");
    for (int i = 1; i <= 30; ++i) {
        send(numbered("B", i), numbered("tag%3Dt", i, "x"), i % 2 ? "f=%3Cv%3E" : "");
    }
    for (int i = 0; i <= 30; ++i) {
        const std::string id = numbered("B", i);
        ASSERT_TRUE(eventually([&] { return answered(id); })) << id << "\n" << echo.log();
        const std::string page = output(id);
        EXPECT_NE(page.find(i == 0 ? std::string("Query: <b>early</b>") : numbered("Query: <b>tag=t", i, "x</b>")),
                  std::string::npos)
            << page;
        if (i % 2) {
            EXPECT_NE(page.find("<pre>f=%3Cv%3E</pre>"), std::string::npos) << page;
            EXPECT_NE(page.find("<th>f</th><td>&lt;v&gt;</td>"), std::string::npos) << page;
        }
        EXPECT_TRUE(fs::exists(file("qg_" + id + ".TMP")));
    }
}

TEST_F(QgEchoContract, ReusedNameIsAnsweredAgain) {
    EchoProcess echo(work_.path(), logs_.path() / "echo.log");
    send("C1", "first");
    ASSERT_TRUE(eventually([&] { return answered("C1"); })) << echo.log();
    // The gateway's clean-up, then a new request under the same names.
    fs::remove(file("qg_C1.ret"));
    fs::remove(file("qg_C1.TMP"));
    fs::remove(file("cgiC1.TMP"));
    send("C1", "second");
    ASSERT_TRUE(eventually([&] { return answered("C1"); })) << echo.log();
    EXPECT_NE(output("C1").find("Query: <b>second</b>"), std::string::npos) << output("C1");
}

TEST_F(QgEchoContract, GivenUpRequestGetsNoSignal) {
    EchoProcess echo(work_.path(), logs_.path() / "echo.log");
    // After a time-out the gateway has deleted the output file; answering
    // must neither recreate it nor leave a signal file behind.
    send("D1", "late", "", false);
    ASSERT_TRUE(eventually([&] { return echo.log().find("abandoned qg_D1.TMP") != std::string::npos; })) << echo.log();
    EXPECT_FALSE(fs::exists(file("cgiD1.TMP")));
    EXPECT_FALSE(answered("D1"));
}

TEST_F(QgEchoContract, SpecialAnswers) {
    EchoProcess echo(work_.path(), logs_.path() / "echo.log");
    send("E1", "qg%5Fempty%3D1");
    send("E2", "qg%5Fstatus%3D302%26qg%5Flocation%3Dhttp%3A%2F%2Fexample%2Ecom%2F");
    send("E3", "qg%5Fbytes%3D20000%26qg%5Fsleep%3D50");
    for (const char* id : {"E1", "E2", "E3"}) {
        ASSERT_TRUE(eventually([&] { return answered(id); })) << id << "\n" << echo.log();
    }
    EXPECT_EQ(output("E1"), "");
    EXPECT_TRUE(output("E2").starts_with("HTTP/1.0 302 Found\r\nLocation: http://example.com/\r\n")) << output("E2");
    EXPECT_EQ(output("E3").size(), 20000U);
}

}  // namespace
