#include "posix/names.h"

#include <gtest/gtest.h>

#include <strings.h>

#include <cerrno>
#include <set>
#include <string>
#include <vector>

namespace qg::posix {
namespace {

TEST(SettingsPath, FromProgramPath) {
    struct Case {
        std::string program, settings;
    };
    const std::vector<Case> cases = {
        {"/usr/lib/cgi-bin/qg", "/usr/lib/cgi-bin/qg.ini"},
        {"/srv/QG.EXE", "/srv/QG.ini"},
        {"/srv/qg.exe", "/srv/qg.ini"},
        {"/a.Exe/b/qg.exe", "/a.Exe/b/qg.ini"},  // directories are not searched
        {"/srv/x.Exec/cgi-bin/qg", "/srv/x.Exec/cgi-bin/qg.ini"},
        {"/srv/qg.exe.old", "/srv/qg.ini"},  // the first ".exe" of the name ends it
        {"qg.EXE", "qg.ini"},
        {"/srv/Gate/qg", "/srv/Gate/qg.ini"},
        {"/srv/qg.ex", "/srv/qg.ex.ini"},
        {"/" + std::string(200, 'd') + "/qg", "/" + std::string(200, 'd') + "/qg.ini"},  // not cut
    };
    for (const auto& c : cases) EXPECT_EQ(settings_path_from(c.program), c.settings) << c.program;
}

TEST(ProgramPath, WithoutProcOrAfterAReplacement) {
    const std::set<std::string> files = {"/usr/lib/cgi-bin/qg", "/srv/www/qg", "/opt/x (deleted)", "/srv/bin/qg"};
    const auto exists = [&](const std::string& p) { return files.count(p) != 0; };
    // The link text of /proc/self/exe.
    EXPECT_TRUE(proc_exe_usable("/usr/lib/cgi-bin/qg", exists));
    EXPECT_FALSE(proc_exe_usable("/usr/lib/cgi-bin/qg (deleted)", exists));  // replaced by an upgrade
    EXPECT_TRUE(proc_exe_usable("/opt/x (deleted)", exists));                // a file really named so
    EXPECT_FALSE(proc_exe_usable("", exists));                               // no /proc

    struct Case {
        std::string argv0, cwd, search, script, program;
    };
    const std::vector<Case> cases = {
        {"/usr/lib/cgi-bin/qg", "/", "", "", "/usr/lib/cgi-bin/qg"},
        {"../cgi-bin/qg", "/usr/lib/x", "", "", "/usr/lib/x/../cgi-bin/qg"},
        {"cgi-bin/qg", "/usr/lib", "", "/srv/www/qg", "/usr/lib/cgi-bin/qg"},
        {"qg", "/srv/www", "/usr/bin::/srv/bin", "", "/srv/www/qg"},  // an empty entry is the working directory
        {"qg", "/", "/usr/bin:/srv/bin", "", "/srv/bin/qg"},
        {"qg", "/", "/usr/bin", "/srv/www/qg", "/srv/www/qg"},       // Apache's bare name: SCRIPT_FILENAME
        {"/gone/qg", "/", "", "/srv/www/qg", "/srv/www/qg"},
        {"", "/", "", "/srv/www/qg", "/srv/www/qg"},
        {"qg", "/", "/usr/bin", "www/qg", ""},                      // a relative SCRIPT_FILENAME is not used
        {"./qg", "", "", "", ""},                                   // no working directory to make it absolute
    };
    const auto is_program = [&](const std::string& p) {
        return files.count(p) != 0 || p == "/usr/lib/x/../cgi-bin/qg";
    };
    for (const auto& c : cases)
        EXPECT_EQ(program_path_fallback(c.argv0, c.cwd, c.search, c.script, is_program), c.program) << c.argv0;
}

TEST(TempDirectory, FromTmpdir) {
    struct Case {
        const char* tmpdir;
        std::string dir;
    };
    const std::vector<Case> cases = {
        {nullptr, "/tmp/"},       {"", "/tmp/"},          {"relative/dir", "/tmp/"},
        {"/var/tmp", "/var/tmp/"}, {"/var/tmp/", "/var/tmp/"},
    };
    for (const auto& c : cases) EXPECT_EQ(temp_dir_from(c.tmpdir), c.dir) << (c.tmpdir ? c.tmpdir : "(unset)");
}

TEST(TempName, Candidates) {
    struct Case {
        std::string dir, prefix;
        std::uint16_t number;
        std::string name;
    };
    const std::vector<Case> cases = {
        {"/w/", "cgi", 0x1A, "/w/cgi1A.TMP"},
        {"/w", "cgi", 0x1, "/w/cgi1.TMP"},
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
        int other_error;  // returned for every name not taken, 0 for success
        std::optional<std::string> result;
    };
    std::set<std::string> all;
    for (unsigned n = 1; n <= 0xFFFF; ++n) all.insert(temp_name_candidate("/w/", "qg_", static_cast<std::uint16_t>(n)));
    const std::vector<Case> cases = {
        {"first free", 0x10, {}, 0, "/w/qg_10.TMP"},
        {"skips taken", 0x10, {"/w/qg_10.TMP", "/w/qg_11.TMP"}, 0, "/w/qg_12.TMP"},
        {"wraps to 1, never 0", 0xFFFF, {"/w/qg_FFFF.TMP"}, 0, "/w/qg_1.TMP"},
        {"all taken", 0x1234, all, 0, std::nullopt},
        {"other error", 0x10, {}, EACCES, std::nullopt},
    };
    for (const auto& c : cases) {
        unsigned calls = 0;
        const auto result = unique_temp_name("/w/", "qg_", c.start, [&](const std::string& candidate) {
            ++calls;
            return c.taken.count(candidate) != 0 ? EEXIST : c.other_error;
        });
        EXPECT_EQ(result, c.result) << c.name;
        EXPECT_LE(calls, 0xFFFFu) << c.name;
    }
}

TEST(TempName, RequestSearchSkipsNumbersWithASignalFileLeft) {
    EXPECT_EQ(signal_spellings("/w/qg_1A.TMP"),
              (std::vector<std::string>{"/w/qg_1A.ret", "/w/qg_1A.RET", "/w/qg_1a.ret", "/w/QG_1A.RET"}));
    EXPECT_EQ(signal_spellings("/w/QG_1.TMP"), (std::vector<std::string>{"/w/QG_1.ret", "/w/QG_1.RET", "/w/qg_1.ret"}));

    struct Case {
        std::string name;
        std::set<std::string> entries;  // names in the directory
        std::set<std::string> unknown;  // names whose look-up cannot tell
        std::optional<std::string> result;
        bool searched;
    };
    const std::vector<Case> cases = {
        {"empty", {}, {}, "/w/qg_10.TMP", false},
        {"left in the usual cases", {"qg_10.ret", "QG_11.RET", "qg_12.RET", "qg_13.ret"}, {}, "/w/qg_14.TMP", false},
        {"a request file is taken through create", {"qg_10.ret", "qg_11.TMP"}, {}, "/w/qg_12.TMP", false},
        {"other names", {"qg_010.ret", "qg_10.ret2", "qg_10.txt", "xg_10.ret"}, {}, "/w/qg_10.TMP", false},
        {"a look-up that cannot tell searches", {"Qg_10.rEt"}, {"/w/qg_10.RET"}, "/w/qg_11.TMP", true},
    };
    for (const auto& c : cases) {
        bool searched = false;
        const auto result = unique_request_name(
            "/w/", "qg_", 0x10,
            [&](const std::string& path) {
                if (c.unknown.count(path) != 0) return Lookup::unknown;
                return c.entries.count(path.substr(3)) != 0 ? Lookup::present : Lookup::absent;
            },
            [&](const std::string& path) {
                searched = true;
                for (const auto& name : c.entries)
                    if (name.size() == path.size() - 3 && strcasecmp(name.c_str(), path.c_str() + 3) == 0) return true;
                return false;
            },
            [&](const std::string& candidate) { return c.entries.count(candidate.substr(3)) != 0 ? EEXIST : 0; });
        EXPECT_EQ(result, c.result) << c.name;
        EXPECT_EQ(searched, c.searched) << c.name;
    }
    // Every number answered by a left signal file: none is free.
    EXPECT_FALSE(unique_request_name(
        "/w/", "qg_", 0x10, [](const std::string&) { return Lookup::present; },
        [](const std::string&) { return false; }, [](const std::string&) { return 0; }));
    EXPECT_EQ(errno, EEXIST);
}

}  // namespace
}  // namespace qg::posix
