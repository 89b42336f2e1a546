// A unique temporary directory for one test, removed with everything in it.
#pragma once

#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>

#include "scratch_dir.h"

namespace qg::test {

class TempDir {
public:
    // The directory's path, with the system's separator at its end so file
    // names can follow directly.
    std::string path() const { return (dir_.path() / "").string(); }
    std::string file(const std::string& name) const { return path() + name; }

private:
    quillgate::testing::ScratchDir dir_{"qg-test"};
};

inline std::string read_file(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

inline void write_file(const std::string& path, const std::string& content) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << content;
}

}  // namespace qg::test
