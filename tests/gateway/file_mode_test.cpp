// The POSIX layer's file modes: what the gateway creates is for the owner and
// the group only.
#include <sys/stat.h>

#include <gtest/gtest.h>

#include <string>

#include "platform.h"
#include "scratch_dir.h"

namespace qg::platform {
namespace {

using quillgate::testing::TempDir;

TEST(Platform, NewFilesAreForOwnerAndGroupOnly) {
    TempDir dir;
    const mode_t old_mask = ::umask(022);
    const auto made = make_temp_name(dir.path(), "cgi");
    const auto request = make_request_file(dir.path(), "req", {"x"});
    const bool profile = Profile(dir.file("qg.ini")).write_text("zrcgi", "Timeout", "50");
    ::umask(old_mask);
    ASSERT_TRUE(made && request && profile);
    for (const std::string& path : {*made, *request, dir.file("qg.ini")}) {
        struct stat st {};
        ASSERT_EQ(::stat(path.c_str(), &st), 0) << path;
        EXPECT_EQ(st.st_mode & 0777, 0640u) << path;  // 0660 less the umask
    }
}

}  // namespace
}  // namespace qg::platform
