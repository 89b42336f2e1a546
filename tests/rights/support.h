// Helpers of the tests on a real system: temporary directories, child
// processes and ACLs set and read with setfacl and getfacl. support.cpp is
// the Linux half, support_win32.cpp the Windows half (no setfacl there).
#pragma once

#include <filesystem>
#include <string>
#include <vector>

#include "scratch_dir.h"

namespace permwell::testing {

// A fresh directory under $TMPDIR (or /tmp), removed with its content.
class TempDir {
public:
    TempDir();
    const std::filesystem::path& path() const { return dir_.path(); }
    // Creates a file with the given content and mode; returns its path.
    std::string file(const std::string& name, unsigned mode = 0644, const std::string& content = "") const;

private:
    quillgate::testing::ScratchDir dir_{"permwell-test"};
};

struct ProcessResult {
    int exit_code = -1;  // -1 when the process did not exit normally
    std::string out;
    std::string err;
};

// Runs a program (searched in PATH) with the current environment.
ProcessResult run(const std::vector<std::string>& argv);

// The name of the account the tests run as; empty when it cannot be had.
std::string current_user();
// An account name SetAccessRights resolves on this system, to grant rights to:
// the user's own "Unix User\<name>" on Linux, "Users" on Windows.
std::string grantable_account(const std::string& user);

// Linux only:
// setfacl -m ENTRIES PATH; fails the calling test when setfacl fails.
void set_acl(const std::string& path, const std::string& entries);
// getfacl --omit-header, numeric ids unless names are asked for.
std::string get_acl(const std::string& path, bool numeric = true);

}  // namespace permwell::testing
