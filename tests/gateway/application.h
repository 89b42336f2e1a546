// Plays the application's side of the contract in tests: watches a work
// directory for request files, answers each through a responder, writes the
// output file, closes it, and then creates the signal file.
#pragma once

#ifndef _WIN32
#include <sys/stat.h>
#endif

#include <atomic>
#include <chrono>
#include <filesystem>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <thread>

#include "ascii.h"
#include "file_io.h"

namespace qg::test {

using quillgate::testing::OpenFile;
using quillgate::testing::read_file;
using quillgate::testing::write_file;

struct Answer {
    std::string output;                // written into the output file
    std::string signal_suffix = ".ret";  // extension of the signal file
    bool upper_case_signal = false;    // whole signal name in capitals
    bool keep_output_open = false;     // signal while still holding the output file
    enum class Replace { none, fifo, directory, link };  // a FIFO only where the system has them
    Replace replace_output = Replace::none;  // put something else in the output file's place
                                             // (a link names `output` as its target)
};

// Returns the answer, or nothing to leave the request unanswered.
using Responder = std::function<std::optional<Answer>(const std::string& request)>;

inline bool make_fifo([[maybe_unused]] const std::string& path) {
#ifdef _WIN32
    return false;
#else
    return ::mkfifo(path.c_str(), 0600) == 0;
#endif
}

// The value of the first variable, the output file's path.
inline std::string output_path_of(const std::string& request) {
    const std::string head = "&OUTPUT+FILE=";
    const auto end = request.find('&', head.size());
    return request.substr(head.size(), end - head.size());
}

class Application {
public:
    Application(std::string work_dir, std::string prefix, Responder responder)
        : work_(std::move(work_dir)), prefix_(std::move(prefix)), responder_(std::move(responder)),
          thread_([this] { loop(); }) {}
    Application(const Application&) = delete;
    Application& operator=(const Application&) = delete;
    ~Application() {
        stop_ = true;
        thread_.join();
    }

    int answered() const { return answered_; }

private:
    // A request file is complete once it holds the marker line and ends a line.
    static bool complete(const std::string& request) {
        return request.rfind("&OUTPUT+FILE=", 0) == 0 && request.find("\r\n#@$ FORM VARIABLES $@#\r\n") != std::string::npos &&
               request.size() >= 2 && request.compare(request.size() - 2, 2, "\r\n") == 0;
    }

    void loop() {
        while (!stop_) {
            std::error_code ec;
            // A name the gateway has deleted may come back for a new request,
            // so only names still present count as answered.
            std::set<std::string> present;
            for (const auto& entry : std::filesystem::directory_iterator(work_, ec)) {
                // Windows names them in either letter case, Wine in lower case.
                const std::string name = entry.path().filename().string();
                if (!ascii::starts_with_any_case(name, prefix_) || name.size() < 4 ||
                    !ascii::equal_any_case(name.substr(name.size() - 4), ".TMP"))
                    continue;
                present.insert(name);
                if (seen_.count(name) != 0) continue;
                const std::string request = read_file(entry.path().string());
                if (!complete(request)) continue;
                seen_.insert(name);
                answer(entry.path(), request);
            }
            if (!ec) std::erase_if(seen_, [&present](const std::string& name) { return !present.contains(name); });
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }

    void answer(const std::filesystem::path& request_path, const std::string& request) {
        const auto reply = responder_(request);
        if (!reply) return;
        const std::string output = output_path_of(request);
        if (reply->replace_output != Answer::Replace::none) {
            std::error_code ec;
            std::filesystem::remove(output, ec);
            bool put = false;
            switch (reply->replace_output) {
                case Answer::Replace::fifo: put = make_fifo(output); break;
                case Answer::Replace::link:
                    std::filesystem::create_symlink(reply->output, output, ec);
                    put = !ec;
                    break;
                default: put = std::filesystem::create_directory(output, ec); break;
            }
            if (!put) return;
            signal_for(request_path, *reply);
            return;
        }
        OpenFile out(output, reply->output, false);
        if (!out.valid()) return;
        if (!reply->keep_output_open) out.close();
        signal_for(request_path, *reply);
        if (reply->keep_output_open) held_.push_back(std::move(out));
    }

    void signal_for(const std::filesystem::path& request_path, const Answer& reply) {
        std::string signal = request_path.filename().string();
        signal = signal.substr(0, signal.size() - 4) + reply.signal_suffix;
        if (reply.upper_case_signal)
            for (char& c : signal) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
        write_file((request_path.parent_path() / signal).string(), "");
        ++answered_;
    }

    std::string work_;
    std::string prefix_;
    Responder responder_;
    std::set<std::string> seen_;
    std::vector<OpenFile> held_;
    std::atomic<bool> stop_{false};
    std::atomic<int> answered_{0};
    std::thread thread_;
};

}  // namespace qg::test
