// Standard output and input on Windows, through the C runtime's descriptors.
#include "platform.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <fcntl.h>
#include <io.h>

#include <cstdio>

#include "win32/kernel.h"

namespace qg::platform {

void stdout_write(std::string_view bytes) {
    const int fd = ::_fileno(stdout);
    // A web server that asked the gateway to end reads nothing more.
    while (!bytes.empty() && !termination_requested()) {
        const unsigned chunk = bytes.size() > 0x10000000 ? 0x10000000u : static_cast<unsigned>(bytes.size());
        const int n = ::_write(fd, bytes.data(), chunk);
        if (n <= 0) break;
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
}

void stdout_close() { ::_close(::_fileno(stdout)); }

TextReader binary_stdin() {
    // The descriptor is switched to binary mode: no translation at all.
    ::_setmode(0, _O_BINARY);
    return [](char* buffer, std::size_t size) -> std::size_t {
        const unsigned chunk = size > 0x10000000 ? 0x10000000u : static_cast<unsigned>(size);
        const int n = ::_read(0, buffer, chunk);
        return n > 0 ? static_cast<std::size_t>(n) : 0;
    };
}

TextReader text_mode_stdin() {
    // Descriptor 0 keeps the C runtime's text mode: the runtime itself turns
    // CR LF into LF and ends the input at 0x1A.
    return [](char* buffer, std::size_t size) -> std::size_t {
        const unsigned chunk = size > 0x10000000 ? 0x10000000u : static_cast<unsigned>(size);
        const int n = ::_read(0, buffer, chunk);
        return n > 0 ? static_cast<std::size_t>(n) : 0;
    };
}

}  // namespace qg::platform
