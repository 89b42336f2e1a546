// Runs copies of the built gateway as CGI processes, with a settings file
// beside the copy, a private work directory, and a controlled environment.
// What differs between Linux and Windows (program names, how the temporary
// directory is given, how many gateways run at once) is kept here, so the
// test cases are the same on both.
#pragma once

#include <chrono>
#include <filesystem>
#include <thread>
#include <optional>
#include <string>
#include <vector>

#include "child_process.h"
#include "eventually.h"
#include "file_io.h"
#include "scratch_dir.h"

namespace qg::test {

#ifdef _WIN32
inline constexpr const char* gateway_name = "qg.exe";
// Every Wine process is costly to start; 20 at once still overlap.
inline constexpr int concurrent_gateways = 20;
inline constexpr bool has_fifos = false;
// A CGI program on Windows is stopped from outside without a signal it could
// catch; console control events need a shared console, which tests lack.
inline const std::vector<int> termination_signals = {};

// A program built beside the running test program.
inline std::string built_program(const std::string& name) {
    char path[MAX_PATH + 1] = {};
    const DWORD n = ::GetModuleFileNameA(nullptr, path, MAX_PATH);
    return (std::filesystem::path(std::string(path, n)).parent_path() / name).string();
}

// The environment that makes `dir` the system temporary directory.
inline std::vector<std::string> temp_dir_environment(const std::string& dir) {
    return {"TMP=" + dir, "TEMP=" + dir};
}

// Whether the system itself adds a variable of this name to every process
// it starts: Wine adds its own and the system folders' after those given.
inline bool added_by_system(std::string_view name) {
    return name.rfind("WINE", 0) == 0 || name == "SystemDrive" || name == "SystemRoot";
}
#else
inline constexpr const char* gateway_name = "qg";
inline constexpr int concurrent_gateways = 50;
inline constexpr bool has_fifos = true;
// What a web server sends to end a CGI program.
inline const std::vector<int> termination_signals = {SIGTERM, SIGHUP, SIGINT};

inline std::string built_program(const std::string& path) { return path; }

inline std::vector<std::string> temp_dir_environment(const std::string& dir) { return {"TMPDIR=" + dir}; }

inline bool added_by_system(std::string_view) { return false; }
#endif

// A variable line of a request file without the "&NAME=value" pieces of
// variables the system added on its own.
inline std::string without_system_variables(const std::string& text) {
    std::string kept;
    std::size_t at = 0;
    while (at < text.size()) {
        std::size_t end = text.find('&', at + 1);
        if (end == std::string::npos || text.compare(at, 1, "&") != 0) end = text.size();
        const std::string piece = text.substr(at, end - at);
        const auto eq = piece.find('=');
        if (eq == std::string::npos || !added_by_system(std::string_view(piece).substr(1, eq - 1))) kept += piece;
        at = end;
    }
    return kept;
}

using quillgate::testing::eventually;
using quillgate::testing::read_file;
using quillgate::testing::TempDir;
using quillgate::testing::write_file;

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
        std::filesystem::copy_file(built_program(binary), program());
        std::filesystem::create_directory(work());
        if (settings) write_file(settings_file(), *settings);
    }

    std::string program() const { return root_.file(gateway_name); }
    std::string settings_file() const { return root_.file("qg.ini"); }
    std::string work() const { return (std::filesystem::path(root_.path()) / "work" / "").string(); }
    std::string root() const { return root_.path(); }

    // Settings with the work directory of this sandbox.
    std::string settings_for(const std::string& extra) const {
        return "[zrcgi]\r\nPath=" + work() + "\r\n" + extra;
    }

    using Output = ChildOutput;

    // Starts one gateway; its standard input is `body`, its standard output
    // a file named after `tag` or a pipe (see ChildOutput).
    Child start(const std::vector<std::string>& environment, const std::string& body, const std::string& tag,
                Output output = Output::file) {
        const std::string in = root_.file(tag + ".in");
        write_file(in, body);
        return Child(program(), ChildOptions{{}, environment, in, root_.file(tag + ".out"), output});
    }

    // Starts one gateway reading its standard input from `input` (a FIFO the
    // test feeds, for one).
    Child start_reading(const std::vector<std::string>& environment, const std::string& input,
                        const std::string& tag, Output output = Output::file) {
        return Child(program(), ChildOptions{{}, environment, input, root_.file(tag + ".out"), output});
    }

    GatewayResult finish(Child& child, const std::string& tag) {
        const ChildExit exit = child.wait();
        return GatewayResult{exit.exited, exit.status, read_file(root_.file(tag + ".out"))};
    }

    GatewayResult run(const std::vector<std::string>& environment, const std::string& body = "") {
        const std::string tag = "run" + std::to_string(runs_++);
        Child child = start(environment, body, tag);
        return finish(child, tag);
    }

    // Names in the work directory, the error log left out.
    std::vector<std::string> work_files() const {
        std::vector<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(work()))
            if (entry.path().filename() != "zrCGIErr.txt") names.push_back(entry.path().filename().string());
        return names;
    }

    std::string log() const { return read_file(work() + "zrCGIErr.txt"); }

private:
    TempDir root_;
    int runs_ = 0;
};

}  // namespace qg::test
