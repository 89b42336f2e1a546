#include "log.h"

#include <unistd.h>

#include <string>

namespace qgecho {

void log_line(std::string_view text) {
    std::string line = "qg-echo: ";
    line += text;
    line += '\n';
    // Nothing useful can be done when standard output is gone.
    [[maybe_unused]] const ssize_t n = ::write(STDOUT_FILENO, line.data(), line.size());
}

}  // namespace qgecho
