// The permwell host: commands, mask forms and exit codes.
#include <gtest/gtest.h>

#include "support.h"

namespace permwell::testing {
namespace {

ProcessResult host(std::vector<std::string> args) {
    args.insert(args.begin(), PERMWELL_HOST);
    return run(args);
}

struct UsageCase {
    const char* name;
    std::vector<std::string> args;
    int exit_code;
};

class HostUsageTest : public ::testing::TestWithParam<UsageCase> {};

TEST_P(HostUsageTest, ExitCodes) {
    const TempDir dir;
    const std::string file = dir.file("f", 0640);
    std::vector<std::string> args = GetParam().args;
    for (std::string& arg : args) {
        if (arg == "FILE") arg = file;
    }
    const ProcessResult result = host(args);
    EXPECT_EQ(result.exit_code, GetParam().exit_code) << result.err;
    if (GetParam().exit_code == 1) {
        EXPECT_TRUE(result.err.starts_with("permwell: ")) << result.err;
    }
    if (GetParam().exit_code == 2) {
        EXPECT_NE(result.err.find("usage: permwell"), std::string::npos);
    }
}

INSTANTIATE_TEST_SUITE_P(
    Commands, HostUsageTest,
    ::testing::Values(UsageCase{"Help", {"--help"}, 0}, UsageCase{"NoCommand", {}, 2},
                      UsageCase{"UnknownCommand", {"frob", "FILE"}, 2}, UsageCase{"MissingPath", {"list"}, 2},
                      UsageCase{"ExtraArgument", {"groups", "alice", "bob"}, 2},
                      UsageCase{"BadMask", {"grant", "FILE", "alice", "rwz"}, 2},
                      UsageCase{"RepeatedLetter", {"grant", "FILE", "alice", "rr"}, 2},
                      UsageCase{"MaskOutOfRange", {"grant", "FILE", "alice", "4294967296"}, 2},
                      UsageCase{"LibraryOptionWithoutPath", {"--library"}, 2},
                      UsageCase{"MissingFile", {"list", "/nonexistent/permwell"}, 1},
                      UsageCase{"UnknownUser", {"groups", "ghost"}, 1},
                      UsageCase{"LibraryNotFound", {"--library", "/nonexistent/libPermwell.so", "list", "FILE"}, 1},
                      UsageCase{"ExplicitLibrary", {"--library", PERMWELL_LIBRARY_FILE, "list", "FILE"}, 0}),
    [](const auto& param) { return param.param.name; });

TEST(HostTest, ListPrintsTheAccessLines) {
    const TempDir dir;
    const std::string file = dir.file("f", 0640);
    const ProcessResult result = host({"list", file});
    EXPECT_EQ(result.exit_code, 0);
    EXPECT_EQ(result.out, "Unix User\\root;1180063\r\nUnix Group\\root;1179785\r\nEveryone;0\r\n");
}

TEST(HostTest, GrantAcceptsEveryMaskForm) {
    const std::pair<const char*, const char*> cases[] = {
        {"1179785", "r--"}, {"0x120116", "-w-"}, {"-2147483648", "r--"}, {"rx", "r-x"}, {"xw", "-wx"},
        {"rwx", "rwx"},     {"full", "rwx"},     {"0", "---"}};
    for (const auto& [mask, perms] : cases) {
        const TempDir dir;
        const std::string file = dir.file("f", 0640);
        const ProcessResult result = host({"grant", file, "Unix User\\alice", mask});
        EXPECT_EQ(result.exit_code, 0) << mask << result.err;
        EXPECT_NE(get_acl(file).find(std::string("user:1001:") + perms + "\n"), std::string::npos) << mask;
    }
}

TEST(HostTest, GrantToUnknownAccountShowsTheLookupError) {
    const TempDir dir;
    const std::string file = dir.file("f", 0640);
    const ProcessResult result = host({"grant", file, "ghost", "r"});
    EXPECT_EQ(result.exit_code, 1);
    EXPECT_EQ(result.out, "Error 1332:LookupAccountName\n");
    EXPECT_EQ(result.err, "permwell: cannot give ghost access to " + file + "\n");
}

// carol's groups need more than the host's first buffer, so it retries.
TEST(HostTest, GroupsPrintsEveryGroup) {
    const ProcessResult alice = host({"groups", "alice"});
    EXPECT_EQ(alice.exit_code, 0);
    EXPECT_EQ(alice.out, "alice\r\nstaff\r\ndevs\r\n");
    const ProcessResult carol = host({"groups", "carol"});
    EXPECT_EQ(carol.exit_code, 0);
    EXPECT_GT(carol.out.size(), 8088u);
    EXPECT_TRUE(carol.out.ends_with("carol-project-group-number-599\r\n"));
}

}  // namespace
}  // namespace permwell::testing
