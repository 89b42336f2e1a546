#include "posix/profile.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "platform.h"
#include "file_io.h"
#include "scratch_dir.h"

namespace qg::posix {
namespace {

using quillgate::testing::read_file;
using quillgate::testing::TempDir;

TEST(Profile, Lookup) {
    const std::string content =
        "; comment\r\n"
        "[other]\r\n"
        "Path=/wrong/\r\n"
        "  [ ZrCgi ]  \r\n"
        "  PATH =  /srv/work/  \r\n"
        ";Timeout=9\r\n"
        "Quoted=\"  spaced  \"\r\n"
        "Single='x'\r\n"
        "Mismatched=\"x'\r\n"
        "Empty=\r\n"
        "NoEquals\r\n"
        "Eq=a=b\n"
        "[later]\r\n"
        "Timeout=7\r\n";
    struct Case {
        std::string section, key;
        std::optional<std::string> value;
    };
    const std::vector<Case> cases = {
        {"zrcgi", "Path", "/srv/work/"},
        {"ZRCGI", "path", "/srv/work/"},
        {"other", "Path", "/wrong/"},
        {"zrcgi", "Timeout", std::nullopt},  // commented out, and the later one is another section
        {"zrcgi", "Quoted", "  spaced  "},
        {"zrcgi", "Single", "x"},
        {"zrcgi", "Mismatched", "\"x'"},
        {"zrcgi", "Empty", ""},
        {"zrcgi", "NoEquals", std::nullopt},
        {"zrcgi", "Eq", "a=b"},
        {"missing", "Path", std::nullopt},
    };
    for (const auto& c : cases) EXPECT_EQ(profile_lookup(content, c.section, c.key), c.value) << c.section << "/" << c.key;
}

TEST(Profile, ByteOrderMarkBeforeFirstSection) {
    const std::string content = "\xEF\xBB\xBF[zrcgi]\r\nPath=/srv/work/\r\nTimeout=9\r\n";
    EXPECT_EQ(profile_lookup(content, "zrcgi", "Path"), "/srv/work/");
    EXPECT_EQ(profile_lookup(content, "zrcgi", "Timeout"), "9");
    // Only a mark at the very start is skipped.
    EXPECT_EQ(profile_lookup("\r\n\xEF\xBB\xBF[zrcgi]\r\nPath=/x/\r\n", "zrcgi", "Path"), std::nullopt);
}

TEST(Profile, ParseInt) {
    struct Case {
        std::string text;
        std::int64_t value;
    };
    const std::vector<Case> cases = {
        {"50", 50},     {" 12abc", 12}, {"abc", 0},   {"", -5},  {"-3", -3},   {"+4", 4},
        {"0x10", 0},    {"-", 0},       {"1 2", 1},   {"99999999999999999999999", INT64_MAX},
    };
    for (const auto& c : cases) EXPECT_EQ(profile_parse_int(c.text, -5), c.value) << c.text;
}

TEST(Profile, Assign) {
    struct Case {
        std::string name, before, section, key, value, after;
    };
    const std::vector<Case> cases = {
        {"new file", "", "zrcgi", "Timeout", "50", "[zrcgi]\r\nTimeout=50\r\n"},
        {"second key at end of section", "[zrcgi]\r\nTimeout=50\r\n", "zrcgi", "PollTime", "150",
         "[zrcgi]\r\nTimeout=50\r\nPollTime=150\r\n"},
        {"replace in place, any case", "[ZRCGI]\r\ntimeout = 5\r\nPath=/w/\r\n", "zrcgi", "Timeout", "50",
         "[ZRCGI]\r\nTimeout=50\r\nPath=/w/\r\n"},
        {"new key before the next section", "[zrcgi]\nPath=/w/\n\n[x]\nA=1\n", "zrcgi", "Timeout", "50",
         "[zrcgi]\r\nPath=/w/\r\nTimeout=50\r\n\r\n[x]\r\nA=1\r\n"},
        {"section appended, comments kept", "; note\r\n[x]\r\nA=1", "zrcgi", "Timeout", "50",
         "; note\r\n[x]\r\nA=1\r\n[zrcgi]\r\nTimeout=50\r\n"},
        {"empty section", "[zrcgi]\r\n[x]\r\n", "zrcgi", "Timeout", "50", "[zrcgi]\r\nTimeout=50\r\n[x]\r\n"},
        {"byte-order mark kept", "\xEF\xBB\xBF[zrcgi]\r\nPath=/w/\r\n", "zrcgi", "Timeout", "50",
         "\xEF\xBB\xBF[zrcgi]\r\nPath=/w/\r\nTimeout=50\r\n"},
    };
    for (const auto& c : cases) EXPECT_EQ(profile_assign(c.before, c.section, c.key, c.value), c.after) << c.name;
}

TEST(Profile, FileWriteThenRead) {
    TempDir dir;
    const std::string ini = dir.file("qg.ini");
    platform::Profile profile(ini);
    EXPECT_EQ(profile.read_text("zrcgi", "Path", "dflt"), "dflt");
    EXPECT_EQ(profile.read_int("zrcgi", "Timeout", 0), 0);

    ASSERT_TRUE(profile.write_text("zrcgi", "Timeout", "50"));
    ASSERT_TRUE(profile.write_text("zrcgi", "PollTime", "150"));
    EXPECT_EQ(read_file(ini), "[zrcgi]\r\nTimeout=50\r\nPollTime=150\r\n");
    EXPECT_EQ(profile.read_int("ZRCGI", "timeout", 0), 50);  // the profile sees its own writes
    EXPECT_EQ(platform::Profile(ini).read_int("zrcgi", "PollTime", 0), 150);

    // Only the settings file remains: the replacement went through a rename.
    int files = 0;
    for ([[maybe_unused]] const auto& entry : std::filesystem::directory_iterator(dir.path())) ++files;
    EXPECT_EQ(files, 1);
}

TEST(Profile, WriteFailsInMissingDirectory) {
    TempDir dir;
    EXPECT_FALSE(platform::Profile(dir.file("none/qg.ini")).write_text("zrcgi", "Timeout", "50"));
}

}  // namespace
}  // namespace qg::posix
