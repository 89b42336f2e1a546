// The error log on Windows: one whole line per entry from many processes, and
// the local time its lines carry.
#include "platform.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include "win32/kernel.h"

namespace qg::platform {

bool append_log(const std::string& path, std::string_view line) {
    // Read sharing only: while one gateway writes, another's open fails with
    // a sharing violation. It waits for its turn, about two seconds at most,
    // instead of dropping its entry.
    for (int waited_ms = 0;; waited_ms += 10) {
        OwnedHandle file(::CreateFileA(path.c_str(), GENERIC_WRITE, FILE_SHARE_READ, nullptr, OPEN_ALWAYS,
                                       FILE_ATTRIBUTE_NORMAL, nullptr));
        if (file.valid()) {
            LARGE_INTEGER zero{};
            return ::SetFilePointerEx(file.get(), zero, nullptr, FILE_END) && write_all(file.get(), line);
        }
        if (error_kind(last_error()) != ErrorKind::busy || waited_ms >= 2000) return false;
        ::Sleep(10);
    }
}

LocalTime local_time() {
    SYSTEMTIME now{};
    ::GetLocalTime(&now);
    return LocalTime{now.wDay, now.wMonth, now.wYear, now.wHour, now.wMinute};
}

}  // namespace qg::platform
