#include "posix/names.h"

#include <gtest/gtest.h>

#include "platform.h"
#include "scratch_dir.h"

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

// Each search starts after the number the last one made, not among the files
// this process made before: a responder keeps many at once.
TEST(TempNumbers, FollowOneAnotherInOneProcess) {
    quillgate::testing::TempDir dir;
    const auto number = [&](const std::string& name) {
        const std::size_t from = dir.path().size() + 3;
        return std::stoul(name.substr(from, name.rfind('.') - from), nullptr, 16);
    };
    const auto output = platform::make_temp_name(dir.path(), "cgi");
    const auto request = platform::make_request_file(dir.path(), "qg_", {"x"});
    const auto next = platform::make_temp_name(dir.path(), "cgi");
    ASSERT_TRUE(output && request && next);
    EXPECT_EQ(number(*request), number(*output) % 0xFFFF + 1) << *output << " " << *request;
    EXPECT_EQ(number(*next), number(*request) % 0xFFFF + 1) << *request << " " << *next;
}

}  // namespace
}  // namespace qg::posix
