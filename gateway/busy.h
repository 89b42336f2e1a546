// The busy rule: a file operation that fails because another process holds
// the file (on Windows a virus scanner or an indexer opens a fresh file for a
// moment; an application may close its signal file a little late) is tried
// again every 25 ms for up to 500 ms. Every such retry in the gateway goes
// through here, so they all wait alike.
#pragma once

#include <cstdint>

#include "platform.h"

namespace qg {

inline constexpr std::uint32_t busy_retry_ms = 25;
inline constexpr std::uint32_t busy_give_up_ms = 500;

// Runs `attempt`, which returns whether it found the file busy, and runs it
// again while it does, until 500 ms have passed or the web server asks the
// gateway to end. Returns whether the file was still busy at the end.
template <typename Attempt>
bool retry_while_busy(Attempt&& attempt) {
    bool busy = attempt();
    const std::uint32_t start = platform::tick_ms();
    while (busy && !platform::termination_requested() && platform::tick_ms() - start < busy_give_up_ms) {
        platform::sleep_ms(busy_retry_ms);
        busy = attempt();
    }
    return busy;
}

// Deletes a file, waiting by the busy rule while another process holds it
// open without delete sharing. A missing file is no failure. Returns whether
// the file is gone.
inline bool delete_when_free(const std::string& path) {
    platform::Error failure;
    retry_while_busy([&] {
        failure = platform::delete_file(path);
        return failure.kind == platform::ErrorKind::busy;
    });
    return !failure.failed() || failure.kind == platform::ErrorKind::not_found;
}

}  // namespace qg
