// A fresh directory for one test under $TMPDIR (or /tmp), removed with
// everything in it when the test ends. Shared by every test program.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <stdexcept>
#include <string>
#include <system_error>

namespace quillgate::testing {

class ScratchDir {
public:
    explicit ScratchDir(const std::string& prefix) {
        const char* base = std::getenv("TMPDIR");
        // No "." in the name: a program copied into it must not find ".exe"
        // or ".tmp" in its own path by chance.
        std::string pattern = std::string(base != nullptr && base[0] == '/' ? base : "/tmp") + "/" + prefix + "-XXXXXX";
        if (::mkdtemp(pattern.data()) == nullptr) throw std::runtime_error("mkdtemp failed for " + pattern);
        path_ = pattern;
    }
    ScratchDir(const ScratchDir&) = delete;
    ScratchDir& operator=(const ScratchDir&) = delete;
    ~ScratchDir() {
        std::error_code ignored;
        std::filesystem::remove_all(path_, ignored);
    }

    [[nodiscard]] const std::filesystem::path& path() const { return path_; }

private:
    std::filesystem::path path_;
};

}  // namespace quillgate::testing
