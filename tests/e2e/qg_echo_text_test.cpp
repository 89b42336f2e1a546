// qg-echo's decoding, request parsing and answers.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "answer.h"
#include "decode.h"
#include "request.h"
#include "workdir.h"

namespace qgecho {
namespace {

const std::string kTail = "&\r\n#@$ FORM VARIABLES $@#\r\n";

TEST(QgEchoDecode, UrlDecode) {
    struct Case {
        std::string in, out;
    };
    const std::vector<Case> cases = {
        {"", ""},
        {"a+b", "a b"},
        {"%41%62c", "Abc"},
        {"%e9%E9", "\xE9\xE9"},
        {"%00x", std::string("\0x", 2)},
        {"Quillgate+3%2E00%2E02", "Quillgate 3.00.02"},
        {"100%", "100%"},        // truncated escapes stay as they are
        {"%2", "%2"},
        {"%zz%4", "%zz%4"},
        {"%%41", "%A"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(url_decode(c.in), c.out) << c.in;
    }
}

TEST(QgEchoDecode, SplitPairs) {
    const std::vector<Pair> want = {{"a", "1"}, {"b", ""}, {"c", ""}, {"x y", "a=b&c"}};
    EXPECT_EQ(split_pairs("a=1&&b=&c&x+y=a%3Db%26c&"), want);
    EXPECT_TRUE(split_pairs("").empty());
}

TEST(QgEchoDecode, HtmlEscape) {
    EXPECT_EQ(html_escape("<a href=\"x\">'&'</a>"), "&lt;a href=&quot;x&quot;&gt;&#39;&amp;&#39;&lt;/a&gt;");
}

TEST(QgEchoRequest, Completeness) {
    const std::string line = "&OUTPUT+FILE=/w/cgi1A.TMP&A=1";
    struct Case {
        std::string text;
        bool complete;
    };
    const std::vector<Case> cases = {
        {"", false},  // the gateway creates the file empty first
        {line, false},
        {line + "&\r\n", false},
        {line + "&\r\n#@$ FORM VARIABLES $@#", false},
        {line + kTail, true},
        {line + kTail + "a=1", false},
        {line + kTail + "a=1\r", false},
        {line + kTail + "a=1\r\n", true},
        {line + kTail + "\r\n", true},
        {"&A=1" + kTail, false},  // the output file must come first
        {line + "&\r\n#@$ OTHER $@#\r\n", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(request_complete(c.text), c.complete) << c.text;
        EXPECT_EQ(parse_request(c.text).has_value(), c.complete) << c.text;
    }
}

TEST(QgEchoRequest, ParsesTheGatewaysLayout) {
    const auto request = parse_request(
        "&OUTPUT+FILE=/work/cgi1A.TMP&REQUEST+METHOD=POST&USER+AGENT=Tool%2F1%2E0&CONTENT+LENGTH=7"
        "&DllVersion=Quillgate+3%2E00%2E02&\r\n#@$ FORM VARIABLES $@#\r\na=1&b=2\r\n");
    ASSERT_TRUE(request);
    EXPECT_EQ(request->output_path, "/work/cgi1A.TMP");
    const std::vector<Pair> want = {{"REQUEST METHOD", "POST"},
                                    {"USER AGENT", "Tool/1.0"},
                                    {"CONTENT LENGTH", "7"},
                                    {"DllVersion", "Quillgate 3.00.02"}};
    EXPECT_EQ(request->variables, want);
    EXPECT_TRUE(request->has_body);
    EXPECT_EQ(request->body, "a=1&b=2");
    ASSERT_NE(request->find("USER AGENT"), nullptr);
    EXPECT_EQ(*request->find("USER AGENT"), "Tool/1.0");
    EXPECT_EQ(request->find("USER+AGENT"), nullptr);
}

TEST(QgEchoRequest, OutputPathIsTakenRaw) {
    // The path is not encoded: "+", "%" and "&" in it are part of it.
    const auto request = parse_request("&OUTPUT+FILE=/w/a+b&c%20/cgi1A.TMP&X=1" + kTail);
    ASSERT_TRUE(request);
    EXPECT_EQ(request->output_path, "/w/a+b&c%20/cgi1A.TMP");
    EXPECT_EQ(request->variables, (std::vector<Pair>{{"X", "1"}}));
    EXPECT_FALSE(request->has_body);
}

Request with_query(const std::string& query) {
    auto request = parse_request("&OUTPUT+FILE=/w/cgi1.TMP&QUERY+STRING=" + query + kTail);
    return request ? *request : Request{};
}

TEST(QgEchoAnswer, BehaviourFromQuery) {
    struct Case {
        std::string query;  // as encoded in the request file
        long long delay_ms;
        std::optional<int> status;
        std::string location;
        std::optional<std::size_t> bytes;
        bool empty;
    };
    const std::vector<Case> cases = {
        {"a%3D1", 0, {}, "", {}, false},
        {"qg%5Fsleep%3D250", 250, {}, "", {}, false},
        {"qg%5Fsleep%3D%2D1%26qg%5Fbytes%3D1e3", 0, {}, "", {}, false},  // not plain numbers
        {"qg%5Fsleep%3D999999999", 0, {}, "", {}, false},                // beyond the limit
        {"qg%5Fstatus%3D302%26qg%5Flocation%3D%2Fx%3Fa%3D1", 0, 302, "/x?a=1", {}, false},
        {"qg%5Fstatus%3D302%26qg%5Flocation%3D%2Fx%0D%0ASet%2DCookie%3A+a", 0, 302, "/xSet-Cookie: a", {}, false},
        {"qg%5Fstatus%3D99", 0, {}, "", {}, false},
        {"qg%5Fstatus%3D600", 0, {}, "", {}, false},
        {"qg%5Fbytes%3D10%26qg%5Fempty%3D1", 0, {}, "", 10, true},
        {"qg%5Fempty%3D0", 0, {}, "", {}, false},
    };
    for (const auto& c : cases) {
        const Behaviour b = behaviour_for(with_query(c.query));
        EXPECT_EQ(b.delay.count(), c.delay_ms) << c.query;
        EXPECT_EQ(b.status, c.status) << c.query;
        EXPECT_EQ(b.location, c.location) << c.query;
        EXPECT_EQ(b.bytes, c.bytes) << c.query;
        EXPECT_EQ(b.empty, c.empty) << c.query;
    }
}

TEST(QgEchoAnswer, Renders) {
    const Request request = with_query("x%3D%3Cb%3E");
    Behaviour b;
    const std::string page = render_answer(request, b);
    EXPECT_FALSE(page.starts_with("HTTP"));  // the gateway adds its default header
    EXPECT_NE(page.find("Query: <b>x=&lt;b&gt;</b>"), std::string::npos) << page;

    b.status = 302;
    b.location = "/next";
    EXPECT_TRUE(render_answer(request, b).starts_with("HTTP/1.0 302 Found\r\nLocation: /next\r\nContent-Type: text/html\r\n\r\n<!DOCTYPE html>"));

    for (const std::size_t n : {0UL, 3UL, 64UL, 65UL, 100000UL}) {
        b.bytes = n;
        const std::string bytes = render_answer(request, b);
        EXPECT_EQ(bytes.size(), n);
        EXPECT_EQ(bytes, byte_pattern(n));
    }
    EXPECT_EQ(byte_pattern(66).substr(62), ".\nAB");

    b.empty = true;
    EXPECT_EQ(render_answer(request, b), "");
}

TEST(QgEchoWorkDir, RequestNames) {
    struct Case {
        std::string name, prefix;
        bool matches;
    };
    const std::vector<Case> cases = {
        {"qg_1.TMP", "qg_", true},     {"qg_FFFF.TMP", "qg_", true}, {"QG_1A.TMP", "qg_", true},
        {"qg_1a.TMP", "qg_", false},   {"qg_.TMP", "qg_", false},    {"qg_12345.TMP", "qg_", false},
        {"qg_1A.ret", "qg_", false},   {"qg_1A.tmp", "qg_", false},  {"cgi1A.TMP", "qg_", false},
        {"abc1.TMP", "abcdef", true},  {"ab1.TMP", "ab", true},      {"qg_1G.TMP", "qg_", false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(is_request_name(c.name, c.prefix), c.matches) << c.name << " / " << c.prefix;
    }
    EXPECT_EQ(signal_name("qg_1A.TMP"), "qg_1A.ret");
}

}  // namespace
}  // namespace qgecho
