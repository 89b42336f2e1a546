// Runs copies of the built gateway as CGI processes, with a settings file
// beside the copy, a private work directory, and a controlled environment.
#pragma once

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "posix/fd.h"
#include "temp_dir.h"

namespace qg::test {

struct GatewayResult {
    bool exited = false;
    int status = -1;
    std::string output;
};

class GatewaySandbox {
public:
    // `settings` is the settings file's content; nothing means no settings file.
    // `binary` is the gateway program to copy into the sandbox.
    explicit GatewaySandbox(const std::optional<std::string>& settings, const char* binary = QG_BINARY) {
        std::filesystem::copy_file(binary, program());
        std::filesystem::create_directory(work());
        if (settings) write_file(root_.file("qg.ini"), *settings);
    }

    std::string program() const { return root_.file("qg"); }
    std::string settings_file() const { return root_.file("qg.ini"); }
    std::string work() const { return root_.file("work/"); }
    std::string root() const { return root_.path(); }

    // Settings with the work directory of this sandbox.
    std::string settings_for(const std::string& extra) const {
        return "[zrcgi]\r\nPath=" + work() + "\r\n" + extra;
    }

    // Where a gateway's standard output goes: a file named after its tag; a
    // pipe whose reader has gone, as when the browser has gone away; or a pipe
    // that stays open but is never read, as with a web server that has
    // stopped reading.
    enum class Output { file, hung_up, stalled };

    // Starts one gateway; its standard input is `body`.
    pid_t start(const std::vector<std::string>& environment, const std::string& body, const std::string& tag,
                Output output = Output::file) {
        const bool hung_up = output != Output::file;
        const std::string in = root_.file(tag + ".in");
        write_file(in, body);
        posix_spawn_file_actions_t actions;
        posix_spawn_file_actions_init(&actions);
        posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, in.c_str(), O_RDONLY, 0);
        int pipe_ends[2] = {-1, -1};
        if (hung_up) {
            if (::pipe2(pipe_ends, O_CLOEXEC) != 0) throw std::runtime_error("pipe failed");
            posix_spawn_file_actions_adddup2(&actions, pipe_ends[1], STDOUT_FILENO);
            posix_spawn_file_actions_addclose(&actions, pipe_ends[0]);
            posix_spawn_file_actions_addclose(&actions, pipe_ends[1]);
        } else {
            posix_spawn_file_actions_addopen(&actions, STDOUT_FILENO, root_.file(tag + ".out").c_str(),
                                             O_WRONLY | O_CREAT | O_TRUNC, 0644);
        }
        // Without a reader the gateway's writes fail; a stalled pipe keeps
        // its reader until the sandbox ends, so the writes block.
        posix::Fd read_end(pipe_ends[0]);
        if (output == Output::stalled) stalled_.push_back(std::move(read_end));
        const posix::Fd write_end(pipe_ends[1]);
        std::vector<char*> envp;
        for (const auto& e : environment) envp.push_back(const_cast<char*>(e.c_str()));
        envp.push_back(nullptr);
        const std::string path = program();
        char* argv[] = {const_cast<char*>(path.c_str()), nullptr};
        pid_t pid = -1;
        const int rc = posix_spawn(&pid, path.c_str(), &actions, nullptr, argv, envp.data());
        posix_spawn_file_actions_destroy(&actions);
        if (rc != 0) throw std::runtime_error("posix_spawn failed");
        return pid;
    }

    GatewayResult finish(pid_t pid, const std::string& tag) {
        GatewayResult result;
        int status = 0;
        if (::waitpid(pid, &status, 0) == pid && WIFEXITED(status)) {
            result.exited = true;
            result.status = WEXITSTATUS(status);
        }
        result.output = read_file(root_.file(tag + ".out"));
        return result;
    }

    GatewayResult run(const std::vector<std::string>& environment, const std::string& body = "") {
        const std::string tag = "run" + std::to_string(runs_++);
        return finish(start(environment, body, tag), tag);
    }

    // Names in the work directory, the error log left out.
    std::vector<std::string> work_files() const {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(work()))
            if (entry.path().filename() != "zrCGIErr.txt") names.push_back(entry.path().filename());
        return names;
    }

    std::string log() const { return read_file(work() + "zrCGIErr.txt"); }

private:
    TempDir root_;
    int runs_ = 0;
    std::vector<posix::Fd> stalled_;
};

}  // namespace qg::test
