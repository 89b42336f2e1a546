// A unique temporary directory for one test, removed with everything in it.
#pragma once

#include <filesystem>
#include <string>

#include "file_io.h"
#include "scratch_dir.h"

namespace qg::test {

class TempDir {
public:
    // The directory's path, with a final "/" so file names can follow directly.
    std::string path() const { return dir_.path().string() + "/"; }
    std::string file(const std::string& name) const { return path() + name; }

private:
    quillgate::testing::ScratchDir dir_{"qg-test"};
};

using quillgate::testing::read_file;
using quillgate::testing::write_file;

}  // namespace qg::test
