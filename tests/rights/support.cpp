#include "support.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <stdexcept>

namespace permwell::testing {

namespace {

std::string slurp(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

}  // namespace

TempDir::TempDir() {
    // Traversable by the unprivileged user some tests switch to.
    std::filesystem::permissions(path(), std::filesystem::perms(0755));
}

std::string TempDir::file(const std::string& name, unsigned mode, const std::string& content) const {
    const std::filesystem::path file = path() / name;
    std::ofstream(file, std::ios::binary) << content;
    std::filesystem::permissions(file, std::filesystem::perms(mode));
    return file.string();
}

ProcessResult run(const std::vector<std::string>& argv) {
    const TempDir capture;
    const std::string out_path = (capture.path() / "out").string();
    const std::string err_path = (capture.path() / "err").string();
    std::vector<char*> args;
    for (const std::string& arg : argv) {
        args.push_back(const_cast<char*>(arg.c_str()));
    }
    args.push_back(nullptr);

    const pid_t child = fork();
    if (child == 0) {
        const int out = open(out_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        const int err = open(err_path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
        if (out < 0 || err < 0 || dup2(out, STDOUT_FILENO) < 0 || dup2(err, STDERR_FILENO) < 0) {
            _exit(127);
        }
        execvp(args[0], args.data());
        _exit(127);
    }
    ProcessResult result;
    int status = 0;
    if (child > 0 && waitpid(child, &status, 0) == child && WIFEXITED(status)) {
        result.exit_code = WEXITSTATUS(status);
    }
    result.out = slurp(out_path);
    result.err = slurp(err_path);
    return result;
}

std::string current_user() {
    passwd record{};
    passwd* found = nullptr;
    std::vector<char> scratch(16384);
    if (getpwuid_r(geteuid(), &record, scratch.data(), scratch.size(), &found) != 0 || found == nullptr) {
        return {};
    }
    return found->pw_name;
}

std::string grantable_account(const std::string& user) { return "Unix User\\" + user; }

void set_acl(const std::string& path, const std::string& entries) {
    const ProcessResult result = run({"setfacl", "-m", entries, path});
    if (result.exit_code != 0) {
        throw std::runtime_error("setfacl -m " + entries + " failed: " + result.err);
    }
}

std::string get_acl(const std::string& path, bool numeric) {
    std::vector<std::string> argv = {"getfacl", "--omit-header", "--absolute-names"};
    if (numeric) {
        argv.push_back("--numeric");
    }
    argv.push_back(path);
    return run(argv).out;
}

}  // namespace permwell::testing
