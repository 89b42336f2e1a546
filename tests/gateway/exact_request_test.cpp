// The opt-in exact requests, through the built gateway: FullValues=1 passes
// every variable whole, BinaryBody=1 the body byte for byte; without them the
// request keeps the default rules.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "application.h"
#include "gateway_process.h"

namespace qg::test {
namespace {

TEST(GatewayProcess, ExactRequestsOnlyWhenAskedFor) {
    const std::string query(300, 'q');
    // CR LF, a zero byte and 0x1A: each changes the body under the text rules.
    const std::string body("a=1\r\nb\0c\x1A" "d\r\n", 12);
    struct Case {
        std::string settings;
        std::string query_value;  // as it reaches the request file
        std::string body;         // what follows the marker line
    };
    const std::vector<Case> cases = {
        {"", query.substr(0, 127 - 13), "a=1\nb\r\n"},
        {"FullValues=1\r\n", query, "a=1\nb\r\n"},
        {"BinaryBody=1\r\n", query.substr(0, 127 - 13), body + "\r\n"},
        {"FullValues=1\r\nBinaryBody=1\r\n", query, body + "\r\n"},
        {"FullValues=0\r\nBinaryBody=0\r\n", query.substr(0, 127 - 13), "a=1\nb\r\n"},
    };
    for (const auto& c : cases) {
        GatewaySandbox box(std::nullopt);
        write_file(box.settings_file(), box.settings_for("Timeout=20\r\nPollTime=10\r\n" + c.settings));
        Application app(box.work(), "qg_", [](const std::string& request) { return std::optional<Answer>(Answer{request}); });
        const auto r = box.run({"QUERY_STRING=" + query, "CONTENT_LENGTH=" + std::to_string(body.size())}, body);
        EXPECT_NE(r.output.find("&QUERY+STRING=" + c.query_value + "&"), std::string::npos) << c.settings;
        const std::string marker = "#@$ FORM VARIABLES $@#\r\n";
        const auto at = r.output.find(marker);
        ASSERT_NE(at, std::string::npos) << c.settings;
        EXPECT_EQ(r.output.substr(at + marker.size()), c.body) << c.settings;
    }
}

}  // namespace
}  // namespace qg::test
