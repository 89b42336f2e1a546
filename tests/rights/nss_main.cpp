// Runs the tests under nss_wrapper with an account database of their own:
// the first start writes passwd and group files into a temporary directory
// and runs the same program again with nss_wrapper preloaded, so the tests,
// the library and every tool they start (setfacl, getfacl, the host) see
// these accounts and nothing of the machine's.
#include <gtest/gtest.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>

#include "support.h"
#include "test_accounts.h"

namespace {

int rerun_with_test_accounts(char** argv) {
    const permwell::testing::TempDir accounts;
    const std::string passwd = accounts.file("passwd", 0644, permwell::testing::passwd_file());
    const std::string group = accounts.file("group", 0644, permwell::testing::group_file());
    setenv("NSS_WRAPPER_PASSWD", passwd.c_str(), 1);
    setenv("NSS_WRAPPER_GROUP", group.c_str(), 1);
    setenv("LD_PRELOAD", PERMWELL_NSS_WRAPPER, 1);
    // A fixed host name keeps nss_wrapper from loading libc a second time to
    // ask for the real one, which an ASan build does not allow.
    setenv("NSS_WRAPPER_HOSTNAME", "permwell-test-host", 1);
    // An ASan build refuses a preloaded library ahead of its runtime otherwise.
    std::string asan = "verify_asan_link_order=0";
    if (const char* current = std::getenv("ASAN_OPTIONS"); current != nullptr && *current) {
        asan = std::string(current) + ":" + asan;
    }
    setenv("ASAN_OPTIONS", asan.c_str(), 1);

    const pid_t child = fork();
    if (child == 0) {
        execv("/proc/self/exe", argv);
        _exit(127);
    }
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status)) {
        return 1;
    }
    return WEXITSTATUS(status);
}

}  // namespace

int main(int argc, char** argv) {
    if (std::getenv("NSS_WRAPPER_PASSWD") == nullptr) {
        return rerun_with_test_accounts(argv);
    }
    ::testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
