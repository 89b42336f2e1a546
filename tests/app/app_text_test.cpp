// The application library's reading of the request text and of the work
// directory's file names.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "request_text.h"

namespace qga {
namespace {

const std::string kTail = "&\r\n#@$ FORM VARIABLES $@#\r\n";
const std::string kLine = "&OUTPUT+FILE=/w/cgi1A.TMP&A=1";

TEST(AppText, OnlyWholeRequestsParse) {
    struct Case {
        std::string text;
        bool whole;
    };
    const std::vector<Case> cases = {
        {"", false},  // the gateway's placeholder
        {kLine, false},
        {kLine + "&\r\n", false},
        {kLine + "&\r\n#@$ FORM VARIABLES $@#", false},
        {kLine + kTail, true},
        {kLine + kTail + "a=1", false},
        {kLine + kTail + "a=1\r", false},
        {kLine + kTail + "a=1\r\n", true},
        {kLine + kTail + "\r\n", true},  // a body whose first byte was zero
        {"&A=1" + kTail, false},         // the output file must come first
        {kLine + "\r\n#@$ FORM VARIABLES $@#\r\n", false},  // the line ends with "&"
        {kLine + "&\r\n#@$ OTHER $@#\r\n", false},
    };
    for (const auto& c : cases) EXPECT_EQ(parse_request(c.text).has_value(), c.whole) << c.text;
}

TEST(AppText, DecodesTheGatewaysLayout) {
    const auto request = parse_request(
        "&OUTPUT+FILE=C:\\work\\cgi1A.TMP&REQUEST+METHOD=POST&USER+AGENT=Tool%2F1%2E0&CONTENT+LENGTH=7"
        "&N%25x%26y=%00%e9&DllVersion=Quillgate+3%2E00%2E02&\r\n#@$ FORM VARIABLES $@#\r\na=1&b=2\r\n\r\n");
    ASSERT_TRUE(request);
    EXPECT_EQ(request->output_path, "C:\\work\\cgi1A.TMP");
    const std::vector<std::pair<std::string, std::string>> want = {{"REQUEST METHOD", "POST"},
                                                                   {"USER AGENT", "Tool/1.0"},
                                                                   {"CONTENT LENGTH", "7"},
                                                                   {"N%x&y", std::string("\0\xE9", 2)},
                                                                   {"DllVersion", "Quillgate 3.00.02"}};
    ASSERT_EQ(request->variables.size(), want.size());
    for (std::size_t i = 0; i < want.size(); ++i) {
        EXPECT_EQ(request->variables[i].name, want[i].first);
        EXPECT_EQ(request->variables[i].value, want[i].second);
    }
    EXPECT_TRUE(request->has_body);
    EXPECT_EQ(request->body, "a=1&b=2\r\n");  // only the last CR LF is the file's
}

TEST(AppText, OutputPathIsTakenRaw) {
    // The path is not encoded: "+", "%" and even "&" in a directory name are
    // part of it; it ends after the gateway's file name.
    struct Case {
        std::string line, path;
    };
    const std::vector<Case> cases = {
        {"&OUTPUT+FILE=/w/a+b&c%20/cgi1A.TMP&X=1", "/w/a+b&c%20/cgi1A.TMP"},
        {"&OUTPUT+FILE=/w/cgi1a.tmp&X=1", "/w/cgi1a.tmp"},
        {"&OUTPUT+FILE=/w/other&X=1", "/w/other"},  // not the gateway's kind: refused when answering
    };
    for (const auto& c : cases) {
        const auto request = parse_request(c.line + kTail);
        ASSERT_TRUE(request) << c.line;
        EXPECT_EQ(request->output_path, c.path);
        ASSERT_EQ(request->variables.size(), 1U) << c.line;
        EXPECT_EQ(request->variables[0].name, "X");
    }
}

TEST(AppText, FileNames) {
    struct Case {
        std::string name, prefix;
        bool request;
    };
    const std::vector<Case> cases = {
        {"qg_1.TMP", "qg_", true},    {"qg_FFFF.TMP", "qg_", true}, {"QG_1A.TMP", "qg_", true},
        {"qg_1a.tmp", "qg_", true},   {"qg_.TMP", "qg_", false},    {"qg_12345.TMP", "qg_", false},
        {"qg_1A.ret", "qg_", false},  {"cgi1A.TMP", "qg_", false},  {"abc1.TMP", "abcdef", true},
        {"ab1.TMP", "ab", true},      {"qg_1G.TMP", "qg_", false},  {"qg_1A.TMP.x", "qg_", false},
    };
    for (const auto& c : cases) EXPECT_EQ(is_request_name(c.name, c.prefix), c.request) << c.name << " / " << c.prefix;
    EXPECT_EQ(signal_name("qg_1A.TMP"), "qg_1A.ret");
    EXPECT_EQ(signal_name("qg_1a.tmp"), "qg_1a.ret");
    for (const char* name : {"cgi1.TMP", "CGIFFFF.tmp"}) EXPECT_TRUE(is_output_name(name)) << name;
    for (const char* name : {"cgi.TMP", "cgi12345.TMP", "passwd", "cgi1.TMP.x", "xcgi1.TMP"})
        EXPECT_FALSE(is_output_name(name)) << name;
    EXPECT_EQ(file_name_of("C:\\w\\cgi1.TMP"), "cgi1.TMP");
    EXPECT_EQ(file_name_of("/w/cgi1.TMP"), "cgi1.TMP");
    EXPECT_EQ(gateway_name_form("HTTP_USER_AGENT"), "USER AGENT");
    EXPECT_EQ(gateway_name_form("SERVER_NAME"), "SERVER NAME");
}

}  // namespace
}  // namespace qga
