// A fresh directory for one test under the system's temporary directory
// ($TMPDIR or /tmp on Linux, %TEMP% on Windows), readable only by its owner
// and removed with everything in it when the test ends. Shared by every test
// program.
#pragma once

#include <filesystem>
#include <random>
#include <stdexcept>
#include <string>
#include <system_error>

namespace quillgate::testing {

class ScratchDir {
public:
    explicit ScratchDir(const std::string& prefix) {
        const std::filesystem::path base = std::filesystem::temp_directory_path();
        std::random_device seed;
        std::mt19937_64 random(seed());
        static constexpr char letters[] = "abcdefghijklmnopqrstuvwxyz0123456789";
        for (int attempt = 0; attempt < 100; ++attempt) {
            // No "." in the name: a program copied into it must not find
            // ".exe" or ".tmp" in its own path by chance.
            std::string name = prefix + "-";
            for (int i = 0; i < 8; ++i) name += letters[random() % (sizeof letters - 1)];
            std::error_code ec;
            // create_directory reports false for a name that exists already,
            // so two tests never share a directory.
            if (std::filesystem::create_directory(base / name, ec)) {
                path_ = base / name;
                std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                             std::filesystem::perm_options::replace, ec);
                return;
            }
            if (ec) throw std::runtime_error("cannot make a scratch directory in " + base.string());
        }
        throw std::runtime_error("no free scratch directory name in " + base.string());
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

// A scratch directory named as text, for tests that build paths by appending
// file names.
class TempDir {
public:
    // The directory's path, with the system's separator at its end so file
    // names can follow directly.
    std::string path() const { return (dir_.path() / "").string(); }
    std::string file(const std::string& name) const { return path() + name; }

private:
    ScratchDir dir_{"qg-test"};
};

}  // namespace quillgate::testing
