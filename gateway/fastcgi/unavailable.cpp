// Builds without an event library serve as a CGI program only.
#include "fastcgi/responder.h"

namespace qg::fastcgi {

std::optional<int> serve_if_responder(int, char**) { return std::nullopt; }

}  // namespace qg::fastcgi
