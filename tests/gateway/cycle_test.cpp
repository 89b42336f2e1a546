#include "body.h"
#include "cycle.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

namespace qg {
namespace {

TEST(Cycle, TimeoutDecision) {
    struct Case {
        std::int64_t setting;
        bool first_run;
        std::uint32_t ms;
    };
    const std::vector<Case> cases = {
        {0, true, 30000},
        {0, false, no_time_limit},
        {50, true, 50000},
        {2, false, 2000},
        {4294967, false, 4294967000u},
        {4294968, false, no_time_limit},  // milliseconds beyond 32 bits
        {INT64_MAX, false, no_time_limit},
        {-1, false, no_time_limit},
    };
    for (const auto& c : cases) EXPECT_EQ(decide_timeout(c.setting, c.first_run), c.ms) << c.setting;
}

TEST(Cycle, SettingsValues) {
    EXPECT_EQ(poll_interval(150), 150u);
    EXPECT_EQ(poll_interval(0), 0u);
    EXPECT_EQ(poll_interval(-20), 150u);
    EXPECT_EQ(poll_interval(INT64_MAX), 0xFFFFFFFFu);

    EXPECT_EQ(request_prefix("qg_"), "qg_");
    EXPECT_EQ(request_prefix("ABCDEFGHIJKL"), "abcdefghi");
    EXPECT_EQ(request_prefix(""), "");
}

TEST(Cycle, NameLimits) {
    struct Case {
        std::string dir;
        bool fits;
    };
    const std::vector<Case> cases = {
        {"/tmp/", true},
        {"/" + std::string(114, 'd') + "/", true},   // 116 characters
        {"/" + std::string(115, 'd') + "/", false},  // 117 characters
        {"/" + std::string(114, 'd'), true},         // 115 plus the separator the name adds
        {"/" + std::string(115, 'd'), false},
    };
    for (const auto& c : cases) EXPECT_EQ(names_fit(c.dir), c.fits) << c.dir.size();
}

TEST(Cycle, SignalName) {
    struct Case {
        std::string request, signal;
    };
    const std::vector<Case> cases = {
        {"/w/qg_1A.TMP", "/w/qg_1A.ret"},
        {"/w.tmp/x.TMP/qg_FFFF.TMP", "/w.tmp/x.TMP/qg_FFFF.ret"},
        {"/w/Qg_2.TMP", "/w/Qg_2.ret"},
    };
    for (const auto& c : cases) EXPECT_EQ(signal_name_for(c.request), c.signal);
}

TEST(Cycle, ContentLength) {
    struct Case {
        std::string text;
        std::uint64_t bytes;
    };
    const std::vector<Case> cases = {
        {"7", 7},           {"  12", 12},     {"7abc", 7},       {"abc", 0},
        {"", 0},            {"-1", 0},        {"-0", 0},         {"+5", 5},
        {"2147483647", 2147483647u},          {"2147483648", 0}, {"4294967296", 0},
        {"99999999999999999999999999", 0},   {"\t\n 3", 3},      {"- 3", 0},
    };
    for (const auto& c : cases) EXPECT_EQ(parse_content_length(c.text), c.bytes) << c.text;
}

TEST(Cycle, BodyReadsWhatArrivesUpToTheLength) {
    struct Case {
        std::string name;
        std::string content_length;
        std::size_t available;
        std::size_t expected;
    };
    const std::vector<Case> cases = {
        {"exact", "7", 7, 7},
        {"shorter input", "100", 40, 40},
        {"more input than claimed", "10", 500, 10},
        {"larger than the old fixed buffer", "100000", 100000, 100000},
        {"huge claim, small body", "2147483647", 3000, 3000},
        {"negative", "-5", 100, 0},
        {"non-numeric", "abc", 100, 0},
    };
    for (const auto& c : cases) {
        std::size_t offset = 0;
        std::size_t largest_request = 0;
        const platform::TextReader reader = [&](char* buffer, std::size_t size) {
            largest_request = std::max(largest_request, size);
            const std::size_t n = std::min<std::size_t>({size, c.available - offset, 1000});
            std::memset(buffer, 'b', n);
            offset += n;
            return n;
        };
        const Body body = Body::read(parse_content_length(c.content_length), reader);
        EXPECT_EQ(body.bytes(), std::string(c.expected, 'b')) << c.name;
        // Memory follows what arrives, never the claim alone.
        EXPECT_LE(largest_request, std::max<std::size_t>(65536, c.available)) << c.name;
    }
}

}  // namespace
}  // namespace qg
