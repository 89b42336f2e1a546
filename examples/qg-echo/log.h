#pragma once
// One line per event on standard output. Each line goes out in a single
// write, so lines of different workers never interleave; tests and the
// serving script read them to know when qg-echo is ready or done.

#include <string_view>

namespace qgecho {

void log_line(std::string_view text);

}  // namespace qgecho
