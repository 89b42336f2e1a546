// Runs the built gateway as a CGI process, with the test playing the
// application.
#include <gtest/gtest.h>

#include <chrono>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "application.h"
#include "log_format.h"
#include "gateway_process.h"
#include "relay.h"
#include "texts.h"

namespace qg::test {
namespace {

// Echoes the whole request file back as the response body.
std::optional<Answer> echo(const std::string& request) { return Answer{request}; }

std::string page(std::string_view title, std::string_view message) { return error_page(title, message); }

// "g7" and the like: built by appending, which also keeps GCC 12's -Wrestrict
// false positive on string concatenation quiet.
std::string numbered(const char* stem, int i) {
    std::string name = stem;
    name += std::to_string(i);
    return name;
}

bool has_file_starting(const GatewaySandbox& box, const std::string& prefix) {
    for (const auto& name : box.work_files())
        if (name.rfind(prefix, 0) == 0) return true;
    return false;
}

void expect_clean_exit(const GatewayResult& r) {
    EXPECT_TRUE(r.exited);
    EXPECT_EQ(r.status, 0);
}

TEST(GatewayProcess, RelaysTheAnswerAndCleansUp) {
    GatewaySandbox box(std::nullopt);
    write_file(box.settings_file(), box.settings_for("Timeout=20\r\nPollTime=10\r\nTemplate=REQuest\r\n"));
    Application app(box.work(), "req", echo);

    // A value with a letter outside ASCII ("\xE9", an e with acute accent, in
    // the ANSI code page) reaches the request file as that byte.
    const auto r = box.run({"REQUEST_METHOD=POST", "HTTP_USER_AGENT=Tool/1.0 caf\xE9", "CONTENT_LENGTH=9"}, "a=1\r\n&b=2");
    expect_clean_exit(r);
    const std::string header(text::default_header);
    ASSERT_EQ(r.output.rfind(header, 0), 0u) << r.output;
    const std::string request = r.output.substr(header.size());
    const std::string out_path = output_path_of(request);
    ASSERT_EQ(out_path.rfind(box.work(), 0), 0u);
    // "cgi", up to four hexadecimal digits without leading zeros, ".TMP", in
    // the letter case the system's temporary names have (lower case in Wine).
    std::string name = out_path.substr(box.work().size());
    for (char& ch : name) ch = static_cast<char>(std::toupper(static_cast<unsigned char>(ch)));
    EXPECT_EQ(name.rfind("CGI", 0), 0u);
    EXPECT_EQ(name.size() - name.rfind(".TMP"), 4u);
    EXPECT_LE(name.size(), 11u);
    EXPECT_EQ(name.substr(3, name.size() - 7).find_first_not_of("0123456789ABCDEF"), std::string::npos);
    EXPECT_NE(name[3], '0');
    EXPECT_EQ(without_system_variables(request.substr(13 + out_path.size())),
              "&REQUEST+METHOD=POST&USER+AGENT=Tool%2F1%2E0+caf%E9&CONTENT+LENGTH=9&DllVersion=Quillgate+3%2E00%2E02&\r\n"
              "#@$ FORM VARIABLES $@#\r\n"
              "a=1\n&b=2\r\n");  // CR LF counted as one byte; the length covers the whole body
    EXPECT_TRUE(box.work_files().empty());
    EXPECT_EQ(box.log(), "");
}

TEST(GatewayProcess, AnswerWakesTheWaitingGateway) {
    struct Case {
        const char* binary;
        bool wakes;  // false: change notification compiled out, the poll alone finds the answer
    };
    for (const auto& c : std::vector<Case>{{QG_BINARY, true}, {QG_POLLING_BINARY, false}}) {
        GatewaySandbox box(std::nullopt, c.binary);
        write_file(box.settings_file(), box.settings_for("Timeout=10\r\nPollTime=2000\r\n"));
        Application app(box.work(), "qg_", [](const std::string&) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            return std::optional<Answer>(Answer{"late"});
        });
        const auto started = std::chrono::steady_clock::now();
        const auto r = box.run({"REQUEST_METHOD=GET"});
        const auto waited = std::chrono::steady_clock::now() - started;
        expect_clean_exit(r);
        EXPECT_EQ(r.output, std::string(text::default_header) + "late") << c.binary;
        // Loose on purpose: a poll would take the whole 2,000 ms pause.
        if (c.wakes) {
            EXPECT_LT(waited, std::chrono::milliseconds(1500)) << c.binary;
        }
        EXPECT_TRUE(box.work_files().empty());
    }
}

TEST(GatewayProcess, SignalFileInAnyLetterCase) {
    struct Case {
        std::string suffix;
        bool upper;
        const char* binary;
        int delay_ms;  // the polling gateway keeps a directory quiet for a second unsearched
    };
    const std::vector<Case> cases = {
        {".ret", false, QG_BINARY, 0},          {".RET", false, QG_BINARY, 0},
        {".Ret", true, QG_BINARY, 0},           {".Ret", true, QG_POLLING_BINARY, 0},
        {".rEt", false, QG_POLLING_BINARY, 1500},
    };
    for (const auto& c : cases) {
        GatewaySandbox box(std::nullopt, c.binary);
        write_file(box.settings_file(), box.settings_for("Timeout=20\r\nPollTime=10\r\n"));
        Application app(box.work(), "qg_", [&](const std::string&) {
            std::this_thread::sleep_for(std::chrono::milliseconds(c.delay_ms));
            Answer a{"HTTP/1.0 302 Found\r\nLocation: /next\r\n\r\n"};
            a.signal_suffix = c.suffix;
            a.upper_case_signal = c.upper;
            return std::optional<Answer>(a);
        });
        const auto r = box.run({"REQUEST_METHOD=GET"});
        expect_clean_exit(r);
        EXPECT_EQ(r.output, "HTTP/1.0 302 Found\r\nLocation: /next\r\n\r\n") << c.suffix << " " << c.binary;
        EXPECT_TRUE(box.work_files().empty()) << c.suffix;
    }
}

TEST(GatewayProcess, UnusableOutputFile) {
    struct Case {
        std::string name;
        Answer answer;
        std::string page;
        std::vector<std::string> log;
        bool output_stays = false;  // the gateway deletes files only, never a directory
    };
    Answer held{"Hello"};
    held.keep_output_open = true;
    Answer fifo{""};
    fifo.replace_output = Answer::Replace::fifo;
    Answer directory{""};
    directory.replace_output = Answer::Replace::directory;
    std::vector<Case> cases = {
        {"empty", Answer{""}, page(text::title_no_output, text::page_no_output), {}},
        {"still open", held, page(text::title_unreadable, text::page_unreadable),
         {std::string(text::log_unreadable)}},
        {"a directory in its place", directory, page(text::title_unreadable, text::page_unreadable),
         {std::string(text::log_unreadable)}, true},
    };
    if (has_fifos) {
        cases.push_back({"a FIFO in its place", fifo, page(text::title_unreadable, text::page_unreadable),
                         {std::string(text::log_unreadable)}});
    }
    for (const auto& c : cases) {
        GatewaySandbox box(std::nullopt);
        write_file(box.settings_file(), box.settings_for("Timeout=20\r\nPollTime=10\r\n"));
        GatewayResult r;
        {
            // Windows removes a deleted file only once its holder closes it.
            Application app(box.work(), "qg_", [&](const std::string&) { return std::optional<Answer>(c.answer); });
            r = box.run({"REQUEST_METHOD=GET"});
        }
        expect_clean_exit(r);
        EXPECT_EQ(r.output, c.page) << c.name;
        EXPECT_EQ(log_messages(box.log()), c.log) << c.name;
        EXPECT_EQ(box.work_files().size(), c.output_stays ? 1u : 0u) << c.name;
    }
}

TEST(GatewayProcess, BrowserGoneStillEndsCleanly) {
    struct Case {
        std::string name;
        std::string settings;
        bool answer;
    };
    const std::vector<Case> cases = {
        {"answered", "Timeout=20\r\nPollTime=10\r\n", true},
        {"timed out", "Timeout=1\r\nPollTime=20\r\n", false},
    };
    for (const auto& c : cases) {
        GatewaySandbox box(std::nullopt);
        write_file(box.settings_file(), box.settings_for(c.settings));
        Application app(box.work(), "qg_", [&](const std::string&) {
            return c.answer ? std::optional<Answer>(Answer{std::string(100000, 'r')}) : std::nullopt;
        });
        Child gateway = box.start({"REQUEST_METHOD=GET"}, "", "gone", GatewaySandbox::Output::hung_up);
        const auto r = box.finish(gateway, "gone");
        expect_clean_exit(r);
        EXPECT_TRUE(box.work_files().empty()) << c.name;
    }
}

TEST(GatewayProcess, HostileContentLength) {
    struct Case {
        std::string content_length;
        std::string body;
        std::string expected_body;  // what follows the marker line
    };
    const std::string big(100000, 'x');
    const std::vector<Case> cases = {
        {"-1", "abc", ""},
        {"abc", "abc", ""},
        {"0", "abc", ""},
        {"99999999999999999999", "abc", ""},
        {"4294967299", "abc", ""},
        {"2147483647", "abc", "abc\r\n"},  // reads what arrives, allocates for nothing more
        {"3xyz", "abcdef", "abc\r\n"},
        {"10", "ab\x1A" "cdef", "ab\r\n"},
        {"100000", big, big + "\r\n"},  // beyond the old 64,536-byte buffer, not cut
    };
    GatewaySandbox box(std::nullopt);
    write_file(box.settings_file(), box.settings_for("Timeout=20\r\nPollTime=10\r\n"));
    Application app(box.work(), "qg_", echo);
    for (const auto& c : cases) {
        const auto r = box.run({"CONTENT_LENGTH=" + c.content_length}, c.body);
        expect_clean_exit(r);
        const std::string marker = "#@$ FORM VARIABLES $@#\r\n";
        const auto at = r.output.find(marker);
        ASSERT_NE(at, std::string::npos) << c.content_length;
        EXPECT_EQ(r.output.substr(at + marker.size()), c.expected_body) << c.content_length;
    }
    EXPECT_TRUE(box.work_files().empty());
}

TEST(GatewayProcess, ChunkedBodyWithoutLengthIsReadToItsEnd) {
    struct Case {
        std::vector<std::string> environment;
        std::string expected_body;  // what follows the marker line
    };
    const std::string big(200000, 'c');
    const std::vector<Case> cases = {
        {{"HTTP_TRANSFER_ENCODING=chunked"}, "a=1&b=2\r\n"},
        {{"HTTP_TRANSFER_ENCODING=gzip, Chunked"}, "a=1&b=2\r\n"},
        {{"HTTP_TRANSFER_ENCODING=identity"}, ""},
        {{}, ""},
        {{"HTTP_TRANSFER_ENCODING=chunked", "CONTENT_LENGTH=3"}, "a=1\r\n"},  // a length still decides
    };
    GatewaySandbox box(std::nullopt);
    write_file(box.settings_file(), box.settings_for("Timeout=20\r\nPollTime=10\r\n"));
    Application app(box.work(), "qg_", echo);
    for (const auto& c : cases) {
        const auto r = box.run(c.environment, "a=1&b=2");
        expect_clean_exit(r);
        const std::string marker = "#@$ FORM VARIABLES $@#\r\n";
        const auto at = r.output.find(marker);
        ASSERT_NE(at, std::string::npos) << r.output;
        EXPECT_EQ(r.output.substr(at + marker.size()), c.expected_body) << c.environment.size();
    }
    const auto r = box.run({"HTTP_TRANSFER_ENCODING=chunked"}, big + "\r\nz");
    EXPECT_NE(r.output.find("#@$ FORM VARIABLES $@#\r\n" + big + "\nz\r\n"), std::string::npos);
    EXPECT_TRUE(box.work_files().empty());
}

TEST(GatewayProcess, SettingsWithByteOrderMark) {
    GatewaySandbox box(std::nullopt);
    write_file(box.settings_file(), "\xEF\xBB\xBF" + box.settings_for("Timeout=20\r\nPollTime=10\r\n"));
    Application app(box.work(), "qg_", [](const std::string&) { return std::optional<Answer>(Answer{"ok"}); });
    const auto r = box.run({"REQUEST_METHOD=GET"});
    expect_clean_exit(r);
    EXPECT_EQ(r.output, std::string(text::default_header) + "ok");
    EXPECT_EQ(app.answered(), 1);
}

TEST(GatewayProcess, SettingsBesideAProgramDeepInAFolderNamedExe) {
    // The whole program path counts, however long, and only the program's own
    // name is searched for ".exe".
    GatewaySandbox box(std::nullopt);
    const std::filesystem::path folder =
        std::filesystem::path(box.root()) / ("cgi.exe-" + std::string(140, 'd'));
    std::filesystem::create_directory(folder);
    const std::string program = (folder / "qg.exe").string();
    std::filesystem::copy_file(box.program(), program);
    write_file((folder / "qg.ini").string(), box.settings_for("Timeout=20\r\nPollTime=10\r\nTemplate=set\r\n"));
    Application app(box.work(), "set", [](const std::string&) { return std::optional<Answer>(Answer{"ok"}); });

    write_file(box.root() + "deep.in", "");
    Child gateway(program, ChildOptions{{}, std::vector<std::string>{"REQUEST_METHOD=GET"}, box.root() + "deep.in",
                                        box.root() + "deep.out"});
    const auto exit = gateway.wait();
    EXPECT_TRUE(exit.exited && exit.status == 0);
    EXPECT_EQ(read_file(box.root() + "deep.out"), std::string(text::default_header) + "ok");
    EXPECT_EQ(app.answered(), 1);
}

TEST(GatewayProcess, EndedByTheWebServerLeavesNoFiles) {
    if (termination_signals.empty()) GTEST_SKIP() << "no stop signal a test can send on this system";
    for (const int sig : termination_signals) {
        GatewaySandbox box(std::nullopt);
        write_file(box.settings_file(), box.settings_for("Timeout=0\r\nPollTime=50\r\n"));  // waits forever
        Child gateway = box.start({"REQUEST_METHOD=GET"}, "", "waiting");
        ASSERT_TRUE(eventually([&] { return has_file_starting(box, "qg_"); })) << sig;
        gateway.kill(sig);
        const auto r = box.finish(gateway, "waiting");
        expect_clean_exit(r);
        EXPECT_EQ(r.output, "") << sig;
        EXPECT_TRUE(box.work_files().empty()) << sig;
        EXPECT_EQ(box.log(), "") << sig;
    }
}

TEST(GatewayProcess, EndedWhileRelayingDeletesTheOutputFile) {
    if (termination_signals.empty()) GTEST_SKIP() << "no stop signal a test can send on this system";
    GatewaySandbox box(std::nullopt);
    write_file(box.settings_file(), box.settings_for("Timeout=20\r\nPollTime=10\r\n"));
    Application app(box.work(), "qg_", [](const std::string&) {
        return std::optional<Answer>(Answer{std::string(4 << 20, 'r')});  // more than a pipe holds
    });
    Child gateway = box.start({"REQUEST_METHOD=GET"}, "", "stalled", GatewaySandbox::Output::stalled);
    // The request file goes just before the relay starts; only the output file stays.
    ASSERT_TRUE(eventually([&] { return app.answered() == 1 && !has_file_starting(box, "qg_"); }));
    gateway.kill(termination_signals.front());
    const auto r = box.finish(gateway, "stalled");
    expect_clean_exit(r);
    EXPECT_TRUE(box.work_files().empty());
    EXPECT_EQ(box.log(), "");
}

TEST(GatewayProcess, UnusableWorkDirectoryEndsAtOnce) {
    struct Case {
        std::string name;
        std::string path_setting;  // relative to the sandbox root
        std::string log_file;      // where the log line lands, empty when nowhere
    };
    const std::vector<Case> cases = {
        {"missing directory without separator", "nosuch", "nosuchzrCGIErr.txt"},
        {"missing directory", "nosuch/", ""},
        {"a file, not a directory", "qg.ini/", ""},
        {"path too long", std::string(120, 'd') + "/", ""},
    };
    for (const auto& c : cases) {
        GatewaySandbox box(std::nullopt);
        // No time-out limit: only an early end lets the run finish.
        write_file(box.settings_file(), "[zrcgi]\r\nPath=" + box.root() + c.path_setting + "\r\nTimeout=0\r\n");
        const auto r = box.run({"REQUEST_METHOD=GET"});
        expect_clean_exit(r);
        EXPECT_EQ(r.output, page(text::title_not_passed, text::page_not_passed)) << c.name;
        if (!c.log_file.empty()) {
            EXPECT_EQ(log_messages(read_file(box.root() + c.log_file)),
                      std::vector<std::string>{std::string(text::log_not_passed)})
                << c.name;
        }
    }
}

TEST(GatewayProcess, TimesOut) {
    GatewaySandbox box(std::nullopt);
    write_file(box.settings_file(), box.settings_for("Timeout=1\r\nPollTime=20\r\n"));
    Application app(box.work(), "qg_", [](const std::string&) { return std::optional<Answer>(); });
    const auto r = box.run({"REQUEST_METHOD=GET"});
    expect_clean_exit(r);
    EXPECT_EQ(r.output, page(text::title_timed_out, text::page_timed_out));
    EXPECT_EQ(app.answered(), 0);
    EXPECT_TRUE(box.work_files().empty());
    const std::string log = box.log();
    const auto entry = parse_log_line(log.substr(0, log.find('\n')));
    ASSERT_TRUE(entry) << log;
    EXPECT_EQ(entry->message, "Request timed out...");
    EXPECT_EQ(entry->code, "2");  // the failed existence check's code
    EXPECT_EQ(log.find('\n'), log.size() - 1);
}

TEST(GatewayProcess, ManyGatewaysAtOnceEachGetTheirOwnAnswer) {
    constexpr int count = concurrent_gateways;
    GatewaySandbox box(std::nullopt);
    write_file(box.settings_file(), box.settings_for("Timeout=60\r\nPollTime=20\r\n"));
    Application app(box.work(), "qg_", [](const std::string& request) {
        const auto at = request.find("&QUERY+STRING=");
        const std::string query = request.substr(at + 14, request.find('&', at + 1) - at - 14);
        return std::optional<Answer>(Answer{"HTTP/1.0 200 OK\r\n\r\n" + query});
    });
    std::vector<Child> gateways;
    for (int i = 0; i < count; ++i)
        gateways.push_back(box.start({"QUERY_STRING=id=" + std::to_string(i)}, "", numbered("g", i)));
    for (int i = 0; i < count; ++i) {
        const auto r = box.finish(gateways[static_cast<std::size_t>(i)], numbered("g", i));
        expect_clean_exit(r);
        EXPECT_EQ(r.output, "HTTP/1.0 200 OK\r\n\r\nid%3D" + std::to_string(i));
    }
    EXPECT_EQ(app.answered(), count);
    EXPECT_TRUE(box.work_files().empty());
    EXPECT_EQ(box.log(), "");
}

TEST(GatewayProcess, ManyGatewaysTimingOutAtOnceLogEveryLine) {
    constexpr int count = concurrent_gateways * 3 / 5;
    GatewaySandbox box(std::nullopt);
    write_file(box.settings_file(), box.settings_for("Timeout=1\r\nPollTime=20\r\n"));
    std::vector<Child> gateways;
    for (int i = 0; i < count; ++i) gateways.push_back(box.start({"REQUEST_METHOD=GET"}, "", numbered("t", i)));
    for (int i = 0; i < count; ++i) {
        const auto r = box.finish(gateways[static_cast<std::size_t>(i)], numbered("t", i));
        expect_clean_exit(r);
        EXPECT_EQ(r.output, page(text::title_timed_out, text::page_timed_out));
    }
    EXPECT_EQ(log_messages(box.log()), std::vector<std::string>(count, std::string(text::log_timed_out)));
    EXPECT_TRUE(box.work_files().empty());
}

TEST(GatewayProcess, AnsweredByTheSampleApplication) {
    GatewaySandbox box(std::nullopt);
    write_file(box.settings_file(), box.settings_for("Timeout=20\r\nPollTime=10\r\n"));
    const std::string echo_log = box.root() + "echo.log";
    Child echo(built_program(QG_ECHO), ChildOptions{{"--workdir", box.work()}, {}, "", echo_log});
    // Ready once it says it is watching.
    ASSERT_TRUE(eventually([&] { return read_file(echo_log).find("watching") != std::string::npos; }));

    const auto r = box.run({"REQUEST_METHOD=GET", "QUERY_STRING=a=1&b=x%20y"});
    expect_clean_exit(r);
    EXPECT_EQ(r.output.rfind(std::string(text::default_header), 0), 0u) << r.output;
    EXPECT_NE(r.output.find("<p>Query: <b>a=1&amp;b=x%20y</b></p>"), std::string::npos) << r.output;
    // qg-echo's scan may still be reading the request file that the gateway
    // deleted; Windows removes the name once that read ends. The running
    // application keeps its claims folder.
    EXPECT_TRUE(eventually([&] {
        auto files = box.work_files();
        std::erase(files, "claims");
        return files.empty();
    }));
    echo.kill();
    echo.wait();
}

TEST(GatewayProcess, FirstRunWritesSettingsAndGivesUpAfterThirtySeconds) {
    GatewaySandbox box(std::nullopt);  // no settings file: the work directory is the temporary one
    const auto started = std::chrono::steady_clock::now();
    std::vector<std::string> environment = temp_dir_environment(box.work());
    environment.push_back("REQUEST_METHOD=GET");
    const auto r = box.run(environment);
    const auto waited = std::chrono::steady_clock::now() - started;
    expect_clean_exit(r);
    EXPECT_EQ(r.output, page(text::title_timed_out, text::page_timed_out));
    EXPECT_EQ(read_file(box.settings_file()), "[zrcgi]\r\nTimeout=50\r\nPollTime=150\r\n");
    EXPECT_GE(waited, std::chrono::seconds(30));  // the first run's limit, never less
    EXPECT_EQ(log_messages(box.log()), std::vector<std::string>{std::string(text::log_timed_out)});
    EXPECT_TRUE(box.work_files().empty());
}

}  // namespace
}  // namespace qg::test
