// The POSIX side of starting as a FastCGI responder.
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>
#include <string>

#include "platform.h"

namespace qg::platform {
namespace {

bool listening_socket(int fd) {
    int accepting = 0;
    socklen_t length = sizeof accepting;
    return ::getsockopt(fd, SOL_SOCKET, SO_ACCEPTCONN, &accepting, &length) == 0 && accepting != 0;
}

}  // namespace

std::optional<std::intptr_t> inherited_listener() {
    std::optional<std::intptr_t> found;
    const char* pid = std::getenv("LISTEN_PID");
    const char* fds = std::getenv("LISTEN_FDS");
    if (pid != nullptr && fds != nullptr && std::strtol(pid, nullptr, 10) == ::getpid() &&
        std::strtol(fds, nullptr, 10) >= 1 && listening_socket(3)) {
        ::fcntl(3, F_SETFD, FD_CLOEXEC);
        found = 3;
    } else if (listening_socket(STDIN_FILENO)) {
        found = STDIN_FILENO;
    }
    return found;
}

void prepare_responder_process() {
    ::signal(SIGPIPE, SIG_IGN);
    // What the kernel sends when another process opens an output file while
    // the relay holds its lease for the moment of the check.
    ::signal(SIGIO, SIG_IGN);
}

void remove_stale_socket(const std::string& path) {
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0 && S_ISSOCK(st.st_mode)) ::unlink(path.c_str());
}

}  // namespace qg::platform
