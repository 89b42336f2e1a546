// What the POSIX platform files share about the process: the stop flag that
// the termination handler sets, and the one wait every blocking call goes
// through, so that a stop request always ends it.
#pragma once

#include <signal.h>

#include <cstdint>
#include <optional>

namespace qg::posix {

// Set by the termination handler, read by the waits and the cycle.
extern volatile sig_atomic_t termination;

// Waits until `fd` is ready for `events`, or only for the time when `fd` is
// -1, at most `ms` milliseconds (nothing: no limit). Stop requests are let
// through for the wait only. Returns as poll does: -1 with EINTR when a
// signal ended the wait.
int wait_ready(int fd, short events, std::optional<std::uint32_t> ms, short* revents = nullptr);

}  // namespace qg::posix
