#include "options.h"

#include <iostream>
#include <string_view>

namespace qgecho {
namespace {

constexpr std::string_view kUsage =
    "Usage: qg-echo [--workdir DIR] [--prefix PFX]\n"
    "\n"
    "Answers the Quillgate gateway's requests in DIR with an HTML page that echoes\n"
    "the method, the path, the variables and the form body.\n"
    "\n"
    "  --workdir DIR  work directory shared with the gateway (its Path setting);\n"
    "                 default: the current directory\n"
    "  --prefix PFX   request-file prefix (the gateway's Template setting); only the\n"
    "                 first three characters count, in any letter case; default qg_\n"
    "  --help         show this text\n"
    "\n"
    "Query parameters steer an answer: qg_sleep=MS answers late, qg_status=N with\n"
    "qg_location=URL answers with its own status line, qg_bytes=N answers with N\n"
    "bytes, qg_empty=1 answers with an empty output file.\n"
    "Runs until interrupted: SIGINT or SIGTERM, or Ctrl+C on Windows.\n";

}  // namespace

std::optional<Options> parse_options(int argc, char** argv, int* exit_code) {
    Options options;
    for (int i = 1; i < argc; ++i) {
        const std::string_view arg = argv[i];
        if (arg == "--help" || arg == "-h") {
            std::cout << kUsage;
            *exit_code = 0;
            return std::nullopt;
        }
        if ((arg == "--workdir" || arg == "--prefix") && i + 1 < argc) {
            (arg == "--workdir" ? options.workdir : options.prefix) = argv[++i];
            continue;
        }
        std::cerr << "qg-echo: unknown or incomplete option: " << arg << "\n" << kUsage;
        *exit_code = 2;
        return std::nullopt;
    }
    if (options.prefix.empty() || options.workdir.empty()) {
        std::cerr << "qg-echo: --prefix and --workdir must not be empty\n";
        *exit_code = 2;
        return std::nullopt;
    }
    return options;
}

}  // namespace qgecho
