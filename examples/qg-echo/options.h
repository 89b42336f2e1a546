#pragma once
// qg-echo's command line, the same on every system.

#include <optional>
#include <string>

namespace qgecho {

struct Options {
    std::string workdir = ".";
    std::string prefix = "qg_";
};

// The options, or nullopt after --help (exit code 0) or a usage error (2);
// the text for the user is already written.
std::optional<Options> parse_options(int argc, char** argv, int* exit_code);

}  // namespace qgecho
