#include "request_file.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace qg {
namespace {

TEST(FieldEncoder, EncodesEveryByteClass) {
    struct Case {
        std::string in;
        std::string out;
    };
    const std::vector<Case> cases = {
        {"", ""},
        {"azAZ09", "azAZ09"},
        {"a b", "a+b"},
        {".-_*", "%2E%2D%5F%2A"},
        {"en-us", "en%2Dus"},
        {"a=1&b=2", "a%3D1%26b%3D2"},
        {"\t\r\n", "%09%0D%0A"},
        {std::string("\0x", 2), "%00x"},
        {"\xE9\xFF\x80", "%E9%FF%80"},
        {"+%", "%2B%25"},
        {"Quillgate 3.00.02", "Quillgate+3%2E00%2E02"},
    };
    for (const auto& c : cases) EXPECT_EQ(encode_field(c.in), c.out) << c.in;
}

TEST(FieldEncoder, CoversAllBytesWithinThreeTimesTheInput) {
    std::string all;
    for (int b = 0; b < 256; ++b) all += static_cast<char>(b);
    const std::string encoded = encode_field(all);
    EXPECT_LE(encoded.size(), all.size() * 3);
    EXPECT_EQ(encoded.find_first_of("&=\r\n"), std::string::npos);
}

TEST(EnvironmentEntry, AddsTheDescribedPiece) {
    struct Case {
        std::string entry;
        std::string piece;
    };
    const std::string long_value(200, 'v');
    const std::vector<Case> cases = {
        {"HTTP_ACCEPT_LANGUAGE=en-us", "&ACCEPT+LANGUAGE=en%2Dus"},
        {"QUERY_STRING=a=1&b=2", "&QUERY+STRING=a%3D1%26b%3D2"},
        {"PATH_INFO=/x y", "&PATH+INFO=%2Fx+y"},
        {"SERVER_NAME=h", "&SERVER+NAME=h"},
        {"FOO=", ""},
        {"=value", ""},
        {"NOEQUALS", ""},
        {"HTTP_=1", ""},
        {"http_x=1", "&http+x=1"},
        {"X=\xE9\t", "&X=%E9%09"},
        {"A B=1", "&A+B=1"},
        {"QUERY_STRING=" + long_value, "&QUERY+STRING=" + std::string(114, 'v')},
        {std::string(127, 'N') + "=1", ""},
        {std::string(126, 'N') + "=12", ""},  // the value is cut away entirely
        {std::string(125, 'N') + "=12", "&" + std::string(125, 'N') + "=1"},
        // Names that would inject a variable or break the line are encoded.
        {"HTTP_X&OUTPUT+FILE=/etc/passwd", "&X%26OUTPUT+FILE=%2Fetc%2Fpasswd"},
        {"HTTP_A\r\nB=1", "&A%0D%0AB=1"},
        {"HTTP_P%41=1", "&P%2541=1"},
        {"HTTP_DEL\x7F=1", "&DEL%7F=1"},
    };
    for (const auto& c : cases) {
        std::string text = "start";
        add_environment_entry(text, c.entry);
        EXPECT_EQ(text, "start" + c.piece) << c.entry;
    }
}

TEST(AddVariable, SkipsEmptyNameOrValue) {
    std::string text = "x";
    add_variable(text, "", "v");
    add_variable(text, "n", "");
    EXPECT_EQ(text, "x");
    add_variable(text, "A B", "c d");
    EXPECT_EQ(text, "x&A+B=c+d");
}

TEST(EnvironmentWalk, KeepsStoredOrder) {
    std::string text;
    add_environment(text, {"B=2", "A=1", "EMPTY=", "C_D=3"});
    EXPECT_EQ(text, "&B=2&A=1&C+D=3");
}

TEST(RequestText, WholeFileExample) {
    std::string text;
    add_environment(text, {"REQUEST_METHOD=POST", "HTTP_USER_AGENT=Tool/1.0", "CONTENT_LENGTH=7"});
    finish_variables(text);
    append_body(text, "a=1&b=2");
    prepend_output_file(text, "C:\\work\\cgi1A.TMP");
    EXPECT_EQ(text,
              "&OUTPUT+FILE=C:\\work\\cgi1A.TMP&REQUEST+METHOD=POST&USER+AGENT=Tool%2F1%2E0&CONTENT+LENGTH=7"
              "&DllVersion=Quillgate+3%2E00%2E02&\r\n"
              "#@$ FORM VARIABLES $@#\r\n"
              "a=1&b=2\r\n");
}

TEST(RequestText, BodyEndings) {
    struct Case {
        std::string body;
        std::string tail;  // what follows the marker line
    };
    const std::vector<Case> cases = {
        {"", ""},
        {"a=1&b=2", "a=1&b=2\r\n"},
        {std::string("\0abc", 4), "\r\n"},
        {std::string("ab\0cd", 5), "ab\r\n"},
        {"line1\nline2", "line1\nline2\r\n"},
    };
    for (const auto& c : cases) {
        std::string text;
        finish_variables(text);
        const std::string head = text;
        append_body(text, c.body);
        EXPECT_EQ(text.substr(head.size()), c.tail);
        EXPECT_EQ(head, "&DllVersion=Quillgate+3%2E00%2E02&\r\n#@$ FORM VARIABLES $@#\r\n");
    }
}

}  // namespace
}  // namespace qg
