// What the fault-injection preload library reports back to the test that
// started the process: shared through a mapped file.
#pragma once

#include <cstdint>

namespace qg::fault {

enum class Kind : unsigned { open, read, write, rename, unlink, inotify, malloc };
inline constexpr unsigned kind_count = 7;
inline constexpr const char* kind_names[kind_count] = {"open",   "read",    "write", "rename",
                                                       "unlink", "inotify", "malloc"};

struct Report {
    std::uint64_t calls = 0;     // counted calls since main began
    int failed_kind = 0;         // Kind + 1 of the call made to fail, 0 when none was
    int failed_fd = -1;          // its descriptor, for reads and writes
    char failed_path[512] = {};  // the file it named or read or wrote, when known
};

}  // namespace qg::fault
