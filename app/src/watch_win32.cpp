// The library's change watch on Windows: a change notification on the work
// directory wakes the waiting thread, which then lists the directory (Windows
// says only that something changed, not what), and an event for wake-ups.
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <algorithm>

#include "platform.h"

namespace qga::platform {
namespace {

class Win32Watch final : public Watch {
public:
    Win32Watch(HANDLE change, HANDLE wake) : change_(change), wake_(wake) {}
    ~Win32Watch() override {
        if (change_ != INVALID_HANDLE_VALUE) ::FindCloseChangeNotification(change_);
        ::CloseHandle(wake_);
    }

    // Windows says only that something changed, not what.
    bool reports_changes() const override { return false; }

    void wait(std::chrono::milliseconds limit, std::vector<Change>*, bool* overflow) override {
        HANDLE handles[2] = {wake_, change_};
        const DWORD count = change_ != INVALID_HANDLE_VALUE ? 2 : 1;
        const auto ms = static_cast<DWORD>(std::max<long long>(0, std::min<long long>(limit.count(), 60'000)));
        const DWORD woke = ::WaitForMultipleObjects(count, handles, FALSE, ms);
        if (woke == WAIT_OBJECT_0 + 1) {
            ::FindNextChangeNotification(change_);
            *overflow = true;  // look at every name again
        }
    }

    void drain(std::vector<Change>*, bool*) override {}

    void wake() override { ::SetEvent(wake_); }

private:
    HANDLE change_;
    HANDLE wake_;
};

}  // namespace

std::unique_ptr<Watch> watch_directory(Directory& dir) {
    HANDLE wake = ::CreateEventA(nullptr, FALSE, FALSE, nullptr);
    if (wake == nullptr) return nullptr;
    // A network share may send no notifications; the listing still runs.
    HANDLE change = ::FindFirstChangeNotificationA(
        dir.path().c_str(), FALSE,
        FILE_NOTIFY_CHANGE_FILE_NAME | FILE_NOTIFY_CHANGE_LAST_WRITE | FILE_NOTIFY_CHANGE_SIZE);
    return std::make_unique<Win32Watch>(change, wake);
}

}  // namespace qga::platform
