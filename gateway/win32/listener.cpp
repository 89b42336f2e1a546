// The Windows side of starting as a FastCGI responder: not yet served, so the
// program always runs as a CGI program there.
#include "platform.h"

namespace qg::platform {

std::optional<std::intptr_t> inherited_listener() { return std::nullopt; }
void prepare_responder_process() {}
void remove_stale_socket(const std::string&) {}

}  // namespace qg::platform
