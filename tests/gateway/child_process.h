// Starts a program as a child process with a chosen environment, standard
// input and standard output, and waits for its exit; on Linux and Windows.
// The child inherits only its three standard streams.
#pragma once

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#else
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>
extern char** environ;
#endif

#include <cstdint>
#include <optional>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

namespace qg::test {

struct ChildExit {
    bool exited = false;  // ended by returning or exiting, not by a signal
    int status = -1;
};

// Where a child's standard output goes: a file; a pipe whose reader has
// gone, as when the browser has gone away; or a pipe that stays open until
// the child has been waited for but is never read, as with a web server that
// has stopped reading.
enum class ChildOutput { file, hung_up, stalled };

struct ChildOptions {
    std::vector<std::string> arguments;                    // after the program's name
    std::optional<std::vector<std::string>> environment;  // "name=value" entries; nothing: this process's
    std::string stdin_path;                               // empty: an empty input
    std::string stdout_path;                              // the file, for ChildOutput::file
    ChildOutput output = ChildOutput::file;
    std::intptr_t stdin_handle = -1;  // Windows: a handle given as standard input instead (a pipe's server end)
};

#ifdef _WIN32

namespace detail {

// One argument as the C runtime splits a command line again.
inline std::string quote_argument(const std::string& arg) {
    std::string quoted = "\"";
    std::size_t backslashes = 0;
    for (const char c : arg) {
        if (c == '\\') {
            ++backslashes;
            continue;
        }
        quoted.append(c == '"' ? backslashes * 2 + 1 : backslashes, '\\');
        backslashes = 0;
        quoted += c;
    }
    quoted.append(backslashes * 2, '\\');
    return quoted + "\"";
}

class OwnedHandle {
public:
    explicit OwnedHandle(HANDLE h = INVALID_HANDLE_VALUE) : h_(h) {}
    OwnedHandle(const OwnedHandle&) = delete;
    OwnedHandle& operator=(const OwnedHandle&) = delete;
    ~OwnedHandle() {
        if (h_ != INVALID_HANDLE_VALUE && h_ != nullptr) ::CloseHandle(h_);
    }
    HANDLE get() const { return h_; }
    HANDLE* out() { return &h_; }

private:
    HANDLE h_;
};

}  // namespace detail

class Child {
public:
    Child(const std::string& program, const ChildOptions& options) {
        using detail::OwnedHandle;
        SECURITY_ATTRIBUTES inherit{sizeof(SECURITY_ATTRIBUTES), nullptr, TRUE};
        OwnedHandle in;
        if (options.stdin_handle != -1) {
            if (!::DuplicateHandle(::GetCurrentProcess(), reinterpret_cast<HANDLE>(options.stdin_handle),
                                   ::GetCurrentProcess(), in.out(), 0, TRUE, DUPLICATE_SAME_ACCESS))
                throw std::runtime_error("DuplicateHandle failed");
        } else {
            *in.out() = ::CreateFileA(options.stdin_path.empty() ? "NUL" : options.stdin_path.c_str(), GENERIC_READ,
                                      FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit, OPEN_EXISTING, 0, nullptr);
        }
        OwnedHandle err(::CreateFileA("NUL", GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherit,
                                      OPEN_EXISTING, 0, nullptr));
        OwnedHandle out;
        if (options.output != ChildOutput::file) {
            // Without a reader the child's writes fail; a stalled pipe keeps
            // its reader until the child has been waited for.
            HANDLE read_end = nullptr;
            if (!::CreatePipe(&read_end, out.out(), &inherit, 0)) throw std::runtime_error("CreatePipe failed");
            ::SetHandleInformation(read_end, HANDLE_FLAG_INHERIT, 0);
            if (options.output == ChildOutput::stalled)
                stalled_reader_ = read_end;
            else
                ::CloseHandle(read_end);
        } else {
            *out.out() = ::CreateFileA(options.stdout_path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, &inherit,
                                       CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
        }
        if (in.get() == INVALID_HANDLE_VALUE || out.get() == INVALID_HANDLE_VALUE || err.get() == INVALID_HANDLE_VALUE)
            throw std::runtime_error("cannot open the standard streams of " + program);

        // Only the three standard handles pass to the child, whatever other
        // thread opens inheritable handles meanwhile.
        HANDLE inherited[] = {in.get(), out.get(), err.get()};
        SIZE_T size = 0;
        ::InitializeProcThreadAttributeList(nullptr, 1, 0, &size);
        std::vector<char> list_memory(size);
        auto* list = reinterpret_cast<LPPROC_THREAD_ATTRIBUTE_LIST>(list_memory.data());
        if (!::InitializeProcThreadAttributeList(list, 1, 0, &size) ||
            !::UpdateProcThreadAttribute(list, 0, PROC_THREAD_ATTRIBUTE_HANDLE_LIST, inherited, sizeof inherited,
                                         nullptr, nullptr))
            throw std::runtime_error("cannot limit the inherited handles");

        STARTUPINFOEXA startup{};
        startup.StartupInfo.cb = sizeof startup;
        startup.StartupInfo.dwFlags = STARTF_USESTDHANDLES;
        startup.StartupInfo.hStdInput = in.get();
        startup.StartupInfo.hStdOutput = out.get();
        startup.StartupInfo.hStdError = err.get();
        startup.lpAttributeList = list;

        std::string command = detail::quote_argument(program);
        for (const auto& arg : options.arguments) {
            command += ' ';
            command += detail::quote_argument(arg);
        }
        std::string block;
        if (options.environment) {
            for (const auto& entry : *options.environment) block.append(entry).push_back('\0');
            block.push_back('\0');
            if (options.environment->empty()) block.push_back('\0');
        }
        PROCESS_INFORMATION info{};
        const BOOL started = ::CreateProcessA(program.c_str(), command.data(), nullptr, nullptr, TRUE,
                                              EXTENDED_STARTUPINFO_PRESENT | CREATE_NO_WINDOW,
                                              options.environment ? block.data() : nullptr, nullptr,
                                              &startup.StartupInfo, &info);
        ::DeleteProcThreadAttributeList(list);
        if (!started) throw std::runtime_error("cannot start " + program);
        ::CloseHandle(info.hThread);
        process_ = info.hProcess;
    }
    Child(Child&& other) noexcept
        : process_(std::exchange(other.process_, nullptr)), stalled_reader_(std::exchange(other.stalled_reader_, nullptr)) {}
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    Child& operator=(Child&&) = delete;
    ~Child() { wait(); }

    // Ends the child at once, as a service manager stops a program; Windows
    // has no signals to choose from.
    void kill(int = 0) {
        if (process_ != nullptr) ::TerminateProcess(process_, 1);
    }

    // Whether the child has not ended yet; it stays to be waited for.
    bool running() const { return process_ != nullptr && ::WaitForSingleObject(process_, 0) == WAIT_TIMEOUT; }

    ChildExit wait() {
        ChildExit result;
        if (process_ == nullptr) return result;
        DWORD code = 0;
        if (::WaitForSingleObject(process_, INFINITE) == WAIT_OBJECT_0 && ::GetExitCodeProcess(process_, &code)) {
            result.exited = true;
            result.status = static_cast<int>(code);
        }
        ::CloseHandle(std::exchange(process_, nullptr));
        if (stalled_reader_ != nullptr) ::CloseHandle(std::exchange(stalled_reader_, nullptr));
        return result;
    }

private:
    HANDLE process_ = nullptr;
    HANDLE stalled_reader_ = nullptr;
};

#else

class Child {
public:
    Child(const std::string& program, const ChildOptions& options) {
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO,
                                         options.stdin_path.empty() ? "/dev/null" : options.stdin_path.c_str(),
                                         O_RDONLY, 0);
        posix_spawn_file_actions_addopen(&actions, STDERR_FILENO, "/dev/null", O_WRONLY, 0);
        int pipe_ends[2] = {-1, -1};
        if (options.output != ChildOutput::file) {
            // Without a reader the child's writes fail; a stalled pipe keeps
            // its reader until the child has been waited for.
            if (::pipe2(pipe_ends, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
            posix_spawn_file_actions_adddup2(&actions, pipe_ends[1], STDOUT_FILENO);
            if (options.output == ChildOutput::stalled) stalled_reader_ = std::exchange(pipe_ends[0], -1);
        } else {
            posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, options.stdout_path.c_str(),
                                             O_WRONLY | O_CREAT | O_TRUNC, 0644);
        }
        std::vector<std::string> arguments{program};
        arguments.insert(arguments.end(), options.arguments.begin(), options.arguments.end());
        std::vector<char*> argv;
        for (auto& a : arguments) argv.push_back(a.data());
        argv.push_back(nullptr);
        std::vector<std::string> entries = options.environment.value_or(std::vector<std::string>{});
        std::vector<char*> envp;
        for (auto& e : entries) envp.push_back(e.data());
        envp.push_back(nullptr);
        const int rc = posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(),
                                   options.environment ? envp.data() : environ);
        posix_spawn_file_actions_destroy(&actions);
        for (const int fd : pipe_ends)
            if (fd >= 0) ::close(fd);
        if (rc != 0) throw std::runtime_error("cannot start " + program);
    }
    Child(Child&& other) noexcept
        : pid_(std::exchange(other.pid_, -1)), stalled_reader_(std::exchange(other.stalled_reader_, -1)) {}
    Child(const Child&) = delete;
    Child& operator=(const Child&) = delete;
    Child& operator=(Child&&) = delete;
    ~Child() { wait(); }

    // Sends the child a signal; SIGTERM is how a web server or a service
    // manager stops a program.
    void kill(int sig = SIGTERM) {
        if (pid_ > 0) ::kill(pid_, sig);
    }

    pid_t pid() const { return pid_; }

    // Whether the child has not ended yet; it stays to be waited for.
    bool running() const {
        siginfo_t info{};
        return pid_ > 0 && ::waitid(P_PID, static_cast<id_t>(pid_), &info, WEXITED | WNOHANG | WNOWAIT) == 0 &&
               info.si_pid == 0;
    }

    ChildExit wait() {
        ChildExit result;
        if (pid_ < 0) return result;
        int status = 0;
        if (::waitpid(std::exchange(pid_, -1), &status, 0) > 0 && WIFEXITED(status)) {
            result.exited = true;
            result.status = WEXITSTATUS(status);
        }
        if (stalled_reader_ >= 0) ::close(std::exchange(stalled_reader_, -1));
        return result;
    }

private:
    pid_t pid_ = -1;
    int stalled_reader_ = -1;
};

#endif

}  // namespace qg::test
