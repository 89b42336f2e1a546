// The Windows half of the test helpers: files in a scratch directory and
// child processes started with CreateProcessA, their output caught in files.
#include <windows.h>

#include <fstream>
#include <sstream>

#include "support.h"

namespace permwell::testing {

namespace {

std::string slurp(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

class Handle {
public:
    explicit Handle(HANDLE handle) : handle_(handle) {}
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    ~Handle() {
        if (handle_ != nullptr && handle_ != INVALID_HANDLE_VALUE) {
            CloseHandle(handle_);
        }
    }
    HANDLE get() const { return handle_; }

private:
    HANDLE handle_;
};

// Made inheritable so that the child started next writes into it. The tests
// start children from one thread only, so no other child can catch it.
HANDLE inheritable_file(const std::string& path, DWORD access, DWORD disposition) {
    SECURITY_ATTRIBUTES inherit{sizeof inherit, nullptr, TRUE};
    return CreateFileA(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, disposition,
                       FILE_ATTRIBUTE_NORMAL, nullptr);
}

// One argument as the C runtime of the child splits its command line again.
std::string quoted(const std::string& argument) {
    if (!argument.empty() && argument.find_first_of(" \t\n\v\"") == std::string::npos) {
        return argument;
    }
    std::string out = "\"";
    std::size_t backslashes = 0;
    for (char c : argument) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        out.append(c == '"' ? 2 * backslashes + 1 : backslashes, '\\');
        backslashes = 0;
        out += c;
    }
    out.append(2 * backslashes, '\\');
    return out + '"';
}

}  // namespace

TempDir::TempDir() = default;

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
    ProcessResult result;
    {
        const Handle in(inheritable_file("NUL", GENERIC_READ, OPEN_EXISTING));
        const Handle out(inheritable_file(out_path, GENERIC_WRITE, CREATE_ALWAYS));
        const Handle err(inheritable_file(err_path, GENERIC_WRITE, CREATE_ALWAYS));
        std::string command_line;
        for (const std::string& argument : argv) {
            if (!command_line.empty()) {
                command_line += ' ';
            }
            command_line += quoted(argument);
        }
        STARTUPINFOA startup{};
        startup.cb = sizeof startup;
        startup.dwFlags = STARTF_USESTDHANDLES;
        startup.hStdInput = in.get();
        startup.hStdOutput = out.get();
        startup.hStdError = err.get();
        PROCESS_INFORMATION process{};
        if (!CreateProcessA(nullptr, command_line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup,
                            &process)) {
            return result;
        }
        const Handle child(process.hProcess);
        const Handle thread(process.hThread);
        DWORD code = 0;
        if (WaitForSingleObject(child.get(), INFINITE) == WAIT_OBJECT_0 && GetExitCodeProcess(child.get(), &code)) {
            result.exit_code = static_cast<int>(code);
        }
    }
    result.out = slurp(out_path);
    result.err = slurp(err_path);
    return result;
}

std::string current_user() {
    char name[256];
    DWORD size = sizeof name;
    return GetUserNameA(name, &size) ? name : "";
}

std::string grantable_account(const std::string& /*user*/) { return "Users"; }

}  // namespace permwell::testing
