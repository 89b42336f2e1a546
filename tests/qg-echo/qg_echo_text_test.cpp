// qg-echo's decoding, request parsing and answers.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "answer.h"
#include "decode.h"
#include "request.h"

namespace qgecho {
namespace {

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
        {"100%", "100%"},  // truncated escapes stay as they are
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

Request with_query(const std::string& query) {
    Request request;
    request.output_path = "/w/cgi1.TMP";
    request.variables = {{"QUERY STRING", url_decode(query)}};
    return request;
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
    EXPECT_TRUE(
        render_answer(request, b)
            .starts_with("HTTP/1.0 302 Found\r\nLocation: /next\r\nContent-Type: text/html\r\n\r\n<!DOCTYPE html>"));

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

}  // namespace
}  // namespace qgecho
