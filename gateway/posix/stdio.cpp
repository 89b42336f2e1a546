// Standard output and input on POSIX: writes that never block a stop
// request, and reads that a stop request ends.
#include "platform.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <memory>
#include <utility>

#include "posix/process.h"
#include "posix/text_mode.h"

namespace qg::platform {

using posix::termination;
using posix::wait_ready;

namespace {

// How a piece goes to standard output without ever blocking, so that a stop
// request always finds the gateway in a wait (poll) rather than in a write:
// a socket takes a non-blocking send; a pipe is written through a descriptor
// of its own, opened anew in non-blocking mode, so the flags of the
// description the web server shares stay untouched; a pipe that cannot be
// opened anew takes PIPE_BUF bytes once poll has said there is room for
// them; a file or a device takes everything.
enum class OutputKind { unknown, socket, pipe, own_pipe, file };
OutputKind output_kind = OutputKind::unknown;
int own_pipe_fd = -1;

void find_output_kind() {
    struct stat st {};
    if (::fstat(STDOUT_FILENO, &st) != 0) {
        output_kind = OutputKind::pipe;
    } else if (S_ISSOCK(st.st_mode)) {
        output_kind = OutputKind::socket;
    } else if (S_ISFIFO(st.st_mode)) {
        own_pipe_fd = ::open("/proc/self/fd/1", O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        output_kind = own_pipe_fd >= 0 ? OutputKind::own_pipe : OutputKind::pipe;
    } else {
        output_kind = S_ISREG(st.st_mode) ? OutputKind::file : OutputKind::pipe;
    }
}

// Whether a write could block, so the loop must wait for room first.
bool writes_may_block() { return output_kind == OutputKind::pipe; }

ssize_t write_stdout_piece(std::string_view bytes) {
    switch (output_kind) {
        case OutputKind::socket: return ::send(STDOUT_FILENO, bytes.data(), bytes.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
        case OutputKind::own_pipe: return ::write(own_pipe_fd, bytes.data(), bytes.size());
        case OutputKind::pipe:
            return ::write(STDOUT_FILENO, bytes.data(), std::min<std::size_t>(bytes.size(), PIPE_BUF));
        default: return ::write(STDOUT_FILENO, bytes.data(), bytes.size());
    }
}

}  // namespace

void stdout_write(std::string_view bytes) {
    if (output_kind == OutputKind::unknown) find_output_kind();
    // A web server that asked the gateway to end reads nothing more. A web
    // server that stops reading leaves the gateway in the wait for room,
    // where a stop request still reaches it. (The flag alone is read here:
    // the relay asks for pending stop requests once per piece already.)
    bool room = !writes_may_block();
    while (!bytes.empty() && termination == 0) {
        if (!room) {
            const int ready = wait_ready(STDOUT_FILENO, POLLOUT, std::nullopt);
            if (ready < 0 && errno != EINTR) break;
            if (ready <= 0) continue;
        }
        const ssize_t n = write_stdout_piece(bytes);
        if (n < 0 && errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK) break;
        if (n > 0) bytes.remove_prefix(static_cast<std::size_t>(n));
        // A full pipe or socket: wait for room before the next try.
        room = !writes_may_block() && !(n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK));
    }
}

void stdout_close() {
    if (own_pipe_fd >= 0) ::close(std::exchange(own_pipe_fd, -1));
    ::close(STDOUT_FILENO);
}

namespace {

// One plain read of standard input. Each read waits in poll first, where a
// stop request ends it; one that came before is still pending and ends the
// wait at once.
std::size_t read_stdin(char* buffer, std::size_t size) {
    while (!termination_requested()) {
        if (wait_ready(STDIN_FILENO, POLLIN, std::nullopt) < 0 && errno == EINTR) continue;
        const ssize_t n = ::read(STDIN_FILENO, buffer, size);
        if (n < 0 && (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK)) continue;
        return n > 0 ? static_cast<std::size_t>(n) : 0;
    }
    return 0;
}

}  // namespace

TextReader text_mode_stdin() {
    // Plain read calls: nothing is buffered beyond what the reader holds.
    auto reader = std::make_shared<posix::TextModeReader>(read_stdin);
    return [reader](char* buffer, std::size_t size) { return reader->read(buffer, size); };
}

TextReader binary_stdin() { return read_stdin; }

}  // namespace qg::platform
