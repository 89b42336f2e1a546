#include "file_names.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

#include "ascii.h"
#include "platform.h"

namespace qg::file_names {
namespace {

TEST(TempName, Candidates) {
    struct Case {
        std::string dir, prefix;
        std::uint16_t number;
        std::string name;
    };
    const std::vector<Case> cases = {
        {"/w/", "cgi", 0x1A, "/w/cgi1A.TMP"},
        {"/w", "cgi", 0x1, std::string("/w") + platform::path_separator() + "cgi1.TMP"},
        {"/w/", "Template", 0xFFFF, "/w/TemFFFF.TMP"},
        {"/w/", "q", 0x100, "/w/q100.TMP"},
        {"/w/", "", 0xABC, "/w/ABC.TMP"},
    };
    for (const auto& c : cases) EXPECT_EQ(temp_name_candidate(c.dir, c.prefix, c.number), c.name);
}

TEST(TempName, SearchWrapsSkipsTakenAndStopsOnErrors) {
    struct Case {
        std::string name;
        std::uint16_t start;
        std::set<std::string> taken;
        Attempt other;  // the attempt for every name not taken
        Search result;
    };
    std::set<std::string> all;
    for (unsigned n = 1; n <= 0xFFFF; ++n) all.insert(temp_name_candidate("/w/", "qg_", static_cast<std::uint16_t>(n)));
    const std::vector<Case> cases = {
        {"first free", 0x10, {}, Attempt::made, {Attempt::made, "/w/qg_10.TMP"}},
        {"start 0 is 1", 0, {}, Attempt::made, {Attempt::made, "/w/qg_1.TMP"}},
        {"skips taken", 0x10, {"/w/qg_10.TMP", "/w/qg_11.TMP"}, Attempt::made, {Attempt::made, "/w/qg_12.TMP"}},
        {"wraps to 1, never 0", 0xFFFF, {"/w/qg_FFFF.TMP"}, Attempt::made, {Attempt::made, "/w/qg_1.TMP"}},
        {"all taken", 0x1234, all, Attempt::made, {Attempt::taken, ""}},
        {"other error", 0x10, {}, Attempt::failed, {Attempt::failed, ""}},
    };
    for (const auto& c : cases) {
        unsigned calls = 0;
        const auto result = find_free_name("/w/", "qg_", c.start, [&](const std::string& candidate) {
            ++calls;
            return c.taken.count(candidate) != 0 ? Attempt::taken : c.other;
        });
        EXPECT_EQ(result.end, c.result.end) << c.name;
        EXPECT_EQ(result.path, c.result.path) << c.name;
        EXPECT_LE(calls, 0xFFFFu) << c.name;
    }
}

TEST(TempName, LaterSearchesStartJustAfterTheLastNumberMade) {
    SearchCursor cursor;
    EXPECT_EQ(cursor.start(0x1234), 0x1234);  // nothing made yet: the seed
    const std::pair<std::uint16_t, std::uint16_t> cases[] = {{0x10, 0x11}, {0xFFFE, 0xFFFF}, {0xFFFF, 1}};
    for (const auto& [made, next] : cases) {
        cursor.made(made);
        EXPECT_EQ(cursor.start(0x1234), next) << made;
    }
    EXPECT_EQ(find_free_name("/w/", "qg_", 7, [](const std::string&) { return Attempt::made; }).number, 7);
}

TEST(TempName, RequestSearchSkipsNumbersWithASignalFileLeft) {
    EXPECT_EQ(signal_spellings("/w/qg_1A.TMP"),
              (std::vector<std::string>{"/w/qg_1A.ret", "/w/qg_1A.RET", "/w/qg_1a.ret", "/w/QG_1A.RET"}));
    EXPECT_EQ(signal_spellings("/w/QG_1.TMP"), (std::vector<std::string>{"/w/QG_1.ret", "/w/QG_1.RET", "/w/qg_1.ret"}));

    struct Case {
        std::string name;
        std::set<std::string> entries;  // names in the directory
        std::set<std::string> unknown;  // names whose look-up cannot tell
        std::string result;
        bool searched;
        LetterCase names = LetterCase::kept;
    };
    const std::vector<Case> cases = {
        {"empty", {}, {}, "/w/qg_10.TMP", false},
        {"left in the usual cases", {"qg_10.ret", "QG_11.RET", "qg_12.RET", "qg_13.ret"}, {}, "/w/qg_14.TMP", false},
        {"a request file is taken through create", {"qg_10.ret", "qg_11.TMP"}, {}, "/w/qg_12.TMP", false},
        {"other names", {"qg_010.ret", "qg_10.ret2", "qg_10.txt", "xg_10.ret"}, {}, "/w/qg_10.TMP", false},
        {"a look-up that cannot tell searches", {"Qg_10.rEt"}, {"/w/qg_10.RET"}, "/w/qg_11.TMP", true},
        // Where names ignore letter case, the system's look-up of the first
        // spelling finds them all: the others (this fake tells case) are not
        // asked for.
        {"names ignoring case: one look-up", {"QG_10.RET"}, {}, "/w/qg_10.TMP", false, LetterCase::ignored},
    };
    for (const auto& c : cases) {
        bool searched = false;
        const auto result = find_free_request_name(
            "/w/", "qg_", 0x10, c.names,
            [&](const std::string& path) {
                if (c.unknown.count(path) != 0) return Lookup::unknown;
                return c.entries.count(path.substr(3)) != 0 ? Lookup::present : Lookup::absent;
            },
            [&](const std::string& path) {
                searched = true;
                for (const auto& name : c.entries)
                    if (ascii::equal_any_case(name, path.substr(3))) return true;
                return false;
            },
            [&](const std::string& candidate) {
                return c.entries.count(candidate.substr(3)) != 0 ? Attempt::taken : Attempt::made;
            });
        EXPECT_EQ(result.path, c.result) << c.name;
        EXPECT_EQ(searched, c.searched) << c.name;
    }
    // Every number answered by a left signal file: none is free.
    EXPECT_EQ(find_free_request_name(
                  "/w/", "qg_", 0x10, LetterCase::kept, [](const std::string&) { return Lookup::present; },
                  [](const std::string&) { return false; }, [](const std::string&) { return Attempt::made; })
                  .end,
              Attempt::taken);
}

}  // namespace
}  // namespace qg::file_names
