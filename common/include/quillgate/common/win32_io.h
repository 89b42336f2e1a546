// The handle owner and the whole write that the Windows platform files of
// every deliverable use.
#pragma once

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <string_view>
#include <utility>

namespace quillgate::common {

// Owns a kernel handle: closes it exactly once and keeps the thread's last
// error, so closing never hides the failure being reported.
class Handle {
public:
    explicit Handle(HANDLE h = INVALID_HANDLE_VALUE) : h_(h) {}
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    ~Handle() {
        if (valid()) {
            const DWORD saved = ::GetLastError();
            ::CloseHandle(h_);
            ::SetLastError(saved);
        }
    }
    bool valid() const { return h_ != INVALID_HANDLE_VALUE && h_ != nullptr; }
    HANDLE get() const { return h_; }
    HANDLE release() { return std::exchange(h_, INVALID_HANDLE_VALUE); }

private:
    HANDLE h_;
};

// Writes everything with WriteFile; one call does it for every size written
// here (up to 1 GiB a call), the loop only covers a short write.
bool write_all(HANDLE h, std::string_view bytes);

}  // namespace quillgate::common
