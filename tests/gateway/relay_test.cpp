#include "relay.h"

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "log_format.h"
#include "file_io.h"
#include "scratch_dir.h"
#include "texts.h"

namespace qg {
namespace {

using quillgate::testing::OpenFile;
using quillgate::testing::read_file;
using quillgate::testing::TempDir;
using quillgate::testing::write_file;

struct Capture {
    std::vector<std::string> pieces;
    Sink sink() {
        return [this](std::string_view bytes) { pieces.emplace_back(bytes); };
    }
    std::string all() const {
        std::string out;
        for (const auto& p : pieces) out += p;
        return out;
    }
};

TEST(Relay, LargeFileGoesOutInPieces) {
    TempDir dir;
    std::string content = "HTTP/1.0 200 OK\r\n\r\n";
    while (content.size() < 40000) content += static_cast<char>('a' + content.size() % 26);
    write_file(dir.file("out.TMP"), content);

    Capture out;
    EXPECT_TRUE(relay_output_file(dir.file("out.TMP"), dir.file("log"), out.sink()));
    ASSERT_EQ(out.pieces.size(), 3u);
    EXPECT_EQ(out.pieces[0].size(), 16384u);
    EXPECT_EQ(out.pieces[1].size(), 16384u);
    EXPECT_EQ(out.pieces[2].size(), 7232u);
    EXPECT_EQ(out.all(), content);
    EXPECT_FALSE(platform::file_exists(dir.file("log")));
}

TEST(Relay, DefaultHeaderOnlyWithoutOwnStatusLine) {
    struct Case {
        std::string content;
        bool header;
    };
    const std::vector<Case> cases = {
        {"HTTP/1.0 302 Found\r\nLocation: /x\r\n\r\n", false},
        {"http/1.1 200 OK\r\n\r\nbody", false},
        {"HtTp", false},
        {"Hello", true},
        {"ok", true},
        {"HTT", true},
        {" HTTP/1.0 200 OK", true},
        {"<html>HTTP</html>", true},
    };
    for (const auto& c : cases) {
        TempDir dir;
        write_file(dir.file("out.TMP"), c.content);
        Capture out;
        relay_output_file(dir.file("out.TMP"), dir.file("log"), out.sink());
        const std::string expected = (c.header ? std::string(text::default_header) : "") + c.content;
        EXPECT_EQ(out.all(), expected) << c.content;
    }
}

TEST(Relay, StatusLineAsCgiHeaderBehindFastCgi) {
    struct Case {
        std::string content;
        std::string expected;
    };
    const std::string big(20000, 'x');
    const std::vector<Case> cases = {
        {"HTTP/1.0 404 Not Found\r\nX: y\r\n\r\nbody", "Status: 404 Not Found\r\nX: y\r\n\r\nbody"},
        {"http/1.1 302 Found\r\nLocation: /x\r\n\r\n", "Status: 302 Found\r\nLocation: /x\r\n\r\n"},
        {"HTTP/1.0 200 OK\r\n\r\n" + big, "Status: 200 OK\r\n\r\n" + big},  // only the first line changes
        {"HTTP\r\nbody", "HTTP\r\nbody"},                                    // no status to carry
        {"HTTP/1.0" + big, "HTTP/1.0" + big},                                 // no whole first line
        {"Hello", std::string(text::default_header) + "Hello"},
    };
    for (const auto& c : cases) {
        TempDir dir;
        write_file(dir.file("out.TMP"), c.content);
        Capture out;
        relay_output_file(dir.file("out.TMP"), dir.file("log"), out.sink(), StatusLine::as_header);
        EXPECT_EQ(out.all(), c.expected) << c.content.substr(0, 40);
    }
}

TEST(Relay, Failures) {
    TempDir dir;
    const std::string log = dir.file("zrCGIErr.txt");

    // Empty output: only the no-output page, and no log line.
    write_file(dir.file("empty.TMP"), "");
    Capture empty;
    EXPECT_TRUE(relay_output_file(dir.file("empty.TMP"), log, empty.sink()));
    EXPECT_EQ(empty.all(), error_page(text::title_no_output, text::page_no_output));
    EXPECT_FALSE(platform::file_exists(log));

    // Missing output: logged with the error code of the failed open.
    Capture missing;
    EXPECT_FALSE(relay_output_file(dir.file("none.TMP"), log, missing.sink()));
    EXPECT_EQ(missing.all(), error_page(text::title_unreadable, text::page_unreadable));
    const std::string logged = read_file(log);
    const auto entry = test::parse_log_line(logged.substr(0, logged.size() - 1));
    ASSERT_TRUE(entry) << logged;
    EXPECT_EQ(entry->message, "Error reading server output");
    EXPECT_EQ(entry->code, "2");
    EXPECT_EQ(logged.back(), '\n');
}

TEST(Relay, OutputHeldOpenElsewhereIsWaitedForThenUnreadable) {
    struct Case {
        std::string name;
        bool for_writing;
        bool released_soon;  // closed after 100 ms, within the relay's wait
    };
    const std::vector<Case> cases = {
        {"held for reading", false, false},
        {"held for writing", true, false},
        {"released after 100 ms", true, true},
    };
    for (const auto& c : cases) {
        TempDir dir;
        const std::string path = dir.file("held.TMP");
        write_file(path, "Hello");
        // Opened elsewhere, as another program would.
        auto held = std::make_unique<OpenFile>(c.for_writing ? OpenFile(path, "Hello", false) : OpenFile(path));
        ASSERT_TRUE(held->valid()) << c.name;
        std::thread releaser;
        if (c.released_soon) {
            releaser = std::thread([&held] {
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
                held.reset();
            });
        }
        Capture out;
        const bool opened = relay_output_file(path, dir.file("log"), out.sink());
        if (releaser.joinable()) releaser.join();
        held.reset();  // a file held for good stays held until the relay gave up

        EXPECT_EQ(opened, c.released_soon) << c.name;
        EXPECT_EQ(out.all(), c.released_soon ? std::string(text::default_header) + "Hello"
                                             : error_page(text::title_unreadable, text::page_unreadable))
            << c.name;
        EXPECT_EQ(
            test::log_messages(read_file(dir.file("log"))),
            c.released_soon ? std::vector<std::string>{} : std::vector<std::string>{std::string(text::log_unreadable)})
            << c.name;
    }
}

TEST(Relay, OnlyTheFileTheGatewayMadeIsRelayed) {
    enum class Put { nothing, symbolic_link, hard_link, renamed_over };
    struct Case {
        std::string name;
        Put put;
    };
    const std::vector<Case> cases = {
        {"the file made", Put::nothing},
        {"a symbolic link to a secret", Put::symbolic_link},
        {"a hard link to a secret", Put::hard_link},
        {"another file renamed over it", Put::renamed_over},
    };
    for (const auto& c : cases) {
        TempDir dir;
        platform::FileId made;
        const auto path = platform::make_temp_name(dir.path(), "cgi", &made);
        ASSERT_TRUE(path) << c.name;
        const std::string secret = dir.file("secret.txt");
        write_file(secret, "DB_PASSWORD=x");
        std::error_code ec;
        if (c.put == Put::nothing) {
            write_file(*path, "Hello");
        } else if (c.put == Put::renamed_over) {
            write_file(dir.file("other"), "Hello");
            std::filesystem::rename(dir.file("other"), *path, ec);
        } else {
            std::filesystem::remove(*path, ec);
            if (c.put == Put::symbolic_link)
                std::filesystem::create_symlink(secret, *path, ec);
            else
                std::filesystem::create_hard_link(secret, *path, ec);
            if (ec) continue;  // the system or file system has no such links
        }
        ASSERT_FALSE(ec) << c.name;
        Capture out;
        relay_output_file(*path, dir.file("log"), out.sink(), StatusLine::as_written, made);
        const bool intact = c.put == Put::nothing;
        EXPECT_EQ(out.all(), intact ? std::string(text::default_header) + "Hello"
                                    : error_page(text::title_unreadable, text::page_unreadable))
            << c.name;
        EXPECT_EQ(test::log_messages(read_file(dir.file("log"))),
                  intact ? std::vector<std::string>{} : std::vector<std::string>{std::string(text::log_unreadable)})
            << c.name;
    }
}

TEST(ErrorPage, ExactBytes) {
    EXPECT_EQ(error_page("Request Timed Out", "msg"),
              "HTTP/1.0 200 OK\r\nContent-Type: text/html\r\nExpires: Sunday 15-May-94 14:00:01 GMT\r\n\r\n"
              "<html><Head><title>Request Timed Out</title></head><body bgcolor=#FFFFFF><table width=100% "
              "cellspacing=10><tr><td bgcolor=#000000 align=center><font face=Verdana color=#FFFFCC  "
              "size=5><b>Request Timed Out</b></font></td></tr><tr><td><br><font face=Verdana>msg"
              "<br><p> </p><HR><font size=1>This message generated by <A HREF=http://www.tallmere.com/quillgate/>"
              "Tallmere Quillgate</a><br></font></font></td></tr></table></body></html>\n");
    // The page sent when memory has run out is the same page, made in advance.
    EXPECT_EQ(exception_page(), error_page(text::title_exception, text::page_exception));
}

TEST(LogLine, Format) {
    struct Case {
        platform::LocalTime when;
        std::string message;
        int code;
        std::string line;
    };
    const std::vector<Case> cases = {
        {{6, 12, 2026, 18, 58}, "Request timed out...", 2, "06/12/2026 18:58   Request timed out... - 2\r\n"},
        {{31, 1, 999, 0, 5}, "m", -1, "31/01/999 00:05   m - -1\r\n"},
        {{1, 1, 2027, 9, 0}, std::string(600, 'x'), 0, "01/01/2027 09:00   " + std::string(499, 'x') + "\r\n"},
    };
    for (const auto& c : cases) EXPECT_EQ(log_line(c.when, c.message, c.code), c.line);
}

}  // namespace
}  // namespace qg
