// The Windows side of starting as a FastCGI responder. IIS's FastCGI module
// starts each pooled process with the server end of a named pipe as its
// standard input and connects to it as the client; every request then comes
// over that pipe. A CGI host passes the body through an anonymous pipe,
// whose reading end is a server end too, so only a process started without
// a CGI environment serves FastCGI on it (see serve_if_responder).
#include <windows.h>

#include "platform.h"

namespace qg::platform {

std::optional<std::intptr_t> inherited_listener() {
    std::optional<std::intptr_t> found;
    const HANDLE in = ::GetStdHandle(STD_INPUT_HANDLE);
    DWORD flags = 0;
    if (in != nullptr && in != INVALID_HANDLE_VALUE && ::GetFileType(in) == FILE_TYPE_PIPE &&
        ::GetNamedPipeInfo(in, &flags, nullptr, nullptr, nullptr) && (flags & PIPE_SERVER_END) != 0)
        found = reinterpret_cast<std::intptr_t>(in);
    return found;
}

void prepare_responder_process() {
    // No message boxes in a server process, as for the CGI program.
    ::SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOGPFAULTERRORBOX | SEM_NOOPENFILEERRORBOX);
}

void remove_stale_socket(const std::string&) {}

}  // namespace qg::platform
