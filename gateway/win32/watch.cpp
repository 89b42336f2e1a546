// The directory watch on Windows: ReadDirectoryChangesW, which names the
// changed entries, and the plain poll without it.
#include "platform.h"

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <algorithm>
#include <memory>

#include "ascii.h"
#include "win32/kernel.h"

namespace qg::platform {

namespace {

// A directory watch that reports the names changed (ReadDirectoryChangesW),
// so that files of other requests are passed over by comparing names, with
// no look-up in the directory: a bare change notification says only that
// something changed, and each look-up after one reads the directory (under
// Wine, all of it).
struct NameWatch {
    HANDLE dir = INVALID_HANDLE_VALUE;
    HANDLE event = nullptr;
    OVERLAPPED overlapped{};
    alignas(DWORD) unsigned char buffer[16384];

    ~NameWatch() {
        if (dir != INVALID_HANDLE_VALUE) {
            ::CancelIo(dir);
            DWORD ignored = 0;
            ::GetOverlappedResult(dir, &overlapped, &ignored, TRUE);  // the buffer stays until the read ends
            ::CloseHandle(dir);
        }
        if (event != nullptr) ::CloseHandle(event);
    }

    // Asks for the next changes; false when the watch cannot go on.
    bool arm() {
        ::ResetEvent(event);
        overlapped = OVERLAPPED{};
        overlapped.hEvent = event;
        return ::ReadDirectoryChangesW(dir, buffer, sizeof buffer, FALSE, FILE_NOTIFY_CHANGE_FILE_NAME, nullptr,
                                       &overlapped, nullptr) != 0;
    }
};

NameWatch* watch_of(std::intptr_t handle) { return reinterpret_cast<NameWatch*>(handle); }

// The least time between two looks at the changes of a busy directory.
constexpr std::uint32_t batch_gap_ms = 20;

}  // namespace

DirectoryWatch::DirectoryWatch(const std::string& dir) {
#ifndef QG_NO_CHANGE_NOTIFICATION
    auto watch = std::make_unique<NameWatch>();
    watch->dir = ::CreateFileA(dir.c_str(), FILE_LIST_DIRECTORY, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                               nullptr, OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS | FILE_FLAG_OVERLAPPED, nullptr);
    watch->event = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (watch->dir != INVALID_HANDLE_VALUE && watch->event != nullptr && watch->arm())
        handle_ = reinterpret_cast<std::intptr_t>(watch.release());
#else
    (void)dir;  // benchmark builds measure the plain poll
#endif
}

DirectoryWatch::~DirectoryWatch() {
    if (handle_ != -1) std::unique_ptr<NameWatch> closing(watch_of(handle_));
}

bool DirectoryWatch::active() const { return handle_ != -1; }

DirectoryWatch::News DirectoryWatch::wait(const std::string& path, std::uint32_t ms, std::string* named) {
    if (handle_ == -1 || ms == 0) {
        sleep_ms(ms);
        return handle_ == -1 ? News::lost : News::none;
    }
    NameWatch& watch = *watch_of(handle_);
    const std::size_t dir_end = file_name_start(path);
    const std::string_view name = std::string_view(path).substr(dir_end);
    const HANDLE events[2] = {watch.event, termination_event};
    const DWORD count = termination_event != nullptr ? 2 : 1;
    const std::uint32_t start = tick_ms();
    News news = News::none;
    while (news == News::none) {
        const std::uint32_t elapsed = tick_ms() - start;
        if (elapsed >= ms) break;
        const DWORD woke = ::WaitForMultipleObjects(count, events, FALSE, ms - elapsed);
        if (woke != WAIT_OBJECT_0) {
            if (woke != WAIT_FAILED) break;  // the pause is over, or the gateway is asked to end
        } else {
            DWORD bytes = 0;
            bool read = ::GetOverlappedResult(watch.dir, &watch.overlapped, &bytes, FALSE) != 0;
            // No bytes (or, on some file systems, this error): more changes
            // came than the buffer holds.
            if (!read && ::GetLastError() == ERROR_NOTIFY_ENUM_DIR) {
                read = true;
                bytes = 0;
            }
            if (read && bytes == 0) news = News::lost;
            for (DWORD at = 0; read && at + sizeof(FILE_NOTIFY_INFORMATION) <= bytes;) {
                const auto* change = reinterpret_cast<const FILE_NOTIFY_INFORMATION*>(watch.buffer + at);
                if (change->Action == FILE_ACTION_ADDED || change->Action == FILE_ACTION_RENAMED_NEW_NAME) {
                    const auto changed = to_ansi(change->FileName, change->FileNameLength / sizeof(wchar_t));
                    if (changed && ascii::equal_any_case(*changed, name)) {
                        if (named != nullptr) *named = path.substr(0, dir_end) + *changed;
                        news = News::named;
                        break;
                    }
                }
                if (change->NextEntryOffset == 0) break;
                at += change->NextEntryOffset;
            }
            // Re-armed at once, so a change that comes next is kept for the
            // next wait. After changes to other names the next look comes
            // a moment later, so that a busy directory's changes arrive in
            // batches: each wake costs several calls to the system (under
            // Wine, each a round trip to its server).
            if (read && watch.arm()) {
                const std::uint32_t spent = tick_ms() - start;
                if (news == News::none && spent < ms) sleep_ms(std::min<std::uint32_t>(batch_gap_ms, ms - spent));
                continue;
            }
        }
        // The watch is dead (the directory renamed or removed, a network
        // session dropped): this wait and all later ones are plain pauses.
        std::unique_ptr<NameWatch> closing(watch_of(std::exchange(handle_, -1)));
        const std::uint32_t spent = tick_ms() - start;
        if (spent < ms) sleep_ms(ms - spent);
        news = News::lost;
        break;
    }
    return news;
}

}  // namespace qg::platform
