// qg-echo for Windows: the same answers as on Linux. It finds request files
// by scanning the work directory every 100 ms and stops on Ctrl+C, Ctrl+Break
// or when its console is closed.

#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#include <iostream>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <utility>

#include "answer.h"
#include "log.h"
#include "options.h"
#include "request.h"
#include "scheduler.h"

namespace qgecho {
namespace {

constexpr std::size_t kWorkers = 8;
constexpr DWORD kScanMs = 100;
// The gateway holds the whole request in memory; anything beyond this is not
// a request qg-echo will echo.
constexpr ULONGLONG kMaxRequestSize = 256ULL * 1024ULL * 1024ULL;

// Set by the console handler, which gets no context of its own.
HANDLE stop_event = nullptr;

BOOL WINAPI on_console_event(DWORD type) {
    switch (type) {
        case CTRL_C_EVENT:
        case CTRL_BREAK_EVENT:
        case CTRL_CLOSE_EVENT:
            ::SetEvent(stop_event);
            return TRUE;
        default:
            return FALSE;
    }
}

class Handle {
public:
    explicit Handle(HANDLE h) : h_(h) {}
    Handle(const Handle&) = delete;
    Handle& operator=(const Handle&) = delete;
    ~Handle() { close(); }
    [[nodiscard]] bool valid() const { return h_ != INVALID_HANDLE_VALUE && h_ != nullptr; }
    [[nodiscard]] HANDLE get() const { return h_; }
    // Closes now and reports whether closing succeeded.
    bool close() { return !valid() || ::CloseHandle(std::exchange(h_, INVALID_HANDLE_VALUE)) != 0; }

private:
    HANDLE h_;
};

// One incarnation of a file name: the gateway deletes request files and may
// later make one with the same name.
struct FileId {
    DWORD volume = 0;
    DWORD index_high = 0;
    DWORD index_low = 0;
    FILETIME created{};
    bool operator==(const FileId& other) const {
        return volume == other.volume && index_high == other.index_high && index_low == other.index_low &&
               ::CompareFileTime(&created, &other.created) == 0;
    }
};

// Opened so that the gateway may still write, replace or delete the file.
Handle open_shared(const std::string& path, DWORD access) {
    return Handle(::CreateFileA(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
}

std::optional<FileId> id_of(HANDLE file, ULONGLONG* size) {
    BY_HANDLE_FILE_INFORMATION info{};
    if (!::GetFileInformationByHandle(file, &info) || (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0)
        return std::nullopt;
    if (size != nullptr) *size = (static_cast<ULONGLONG>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
    return FileId{info.dwVolumeSerialNumber, info.nFileIndexHigh, info.nFileIndexLow, info.ftCreationTime};
}

char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

bool equal_any_case(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (lower(a[i]) != lower(b[i])) return false;
    return true;
}

bool is_hex(char c) { return (c >= '0' && c <= '9') || (lower(c) >= 'a' && lower(c) <= 'f'); }

// A request-file name as Windows makes it: the prefix's first three
// characters, one to four hexadecimal digits and ".TMP", all in any letter
// case (Windows writes upper case, Wine lower case).
bool is_request_name(std::string_view name, std::string_view prefix) {
    prefix = prefix.substr(0, 3);
    if (name.size() < prefix.size() + 5 || !equal_any_case(name.substr(0, prefix.size()), prefix) ||
        !equal_any_case(name.substr(name.size() - 4), ".tmp"))
        return false;
    const std::string_view digits = name.substr(prefix.size(), name.size() - prefix.size() - 4);
    if (digits.empty() || digits.size() > 4) return false;
    for (const char c : digits)
        if (!is_hex(c)) return false;
    return true;
}

std::string full_path(const std::string& path) {
    char buffer[MAX_PATH * 4];
    const DWORD n = ::GetFullPathNameA(path.c_str(), sizeof buffer, buffer, nullptr);
    return n == 0 || n >= sizeof buffer ? std::string() : std::string(buffer, n);
}

enum class Delivery { answered, abandoned, failed };

std::string error_text(std::string_view what) { return std::string(what) + ": error " + std::to_string(::GetLastError()); }

class WorkDir {
public:
    // `full` is the directory's full path with its final separator.
    explicit WorkDir(std::string full) : full_(std::move(full)) {}

    [[nodiscard]] const std::string& path() const { return full_; }

    [[nodiscard]] std::optional<std::string> read_request(const std::string& name, FileId* id) const {
        Handle file = open_shared(full_ + name, GENERIC_READ);
        ULONGLONG size = 0;
        const auto found = file.valid() ? id_of(file.get(), &size) : std::nullopt;
        if (!found || size > kMaxRequestSize) return std::nullopt;
        std::string text(static_cast<std::size_t>(size), '\0');
        std::size_t have = 0;
        while (have < text.size()) {
            DWORD n = 0;
            if (!::ReadFile(file.get(), text.data() + have, static_cast<DWORD>(text.size() - have), &n, nullptr))
                return std::nullopt;
            if (n == 0) break;
            have += n;
        }
        text.resize(have);
        *id = *found;
        return text;
    }

    // Output file first, closed, then the signal file; nothing for a request
    // the gateway has given up (its request or output file gone).
    Delivery deliver(const std::string& request_name, const FileId& id, const std::string& output_path,
                     std::string_view answer, std::string* why) const {
        // The output path comes from a file anyone with access to the work
        // directory could write; only write to files inside that directory.
        const std::string output_full = full_path(output_path);
        const auto separator = output_full.find_last_of("\\/");
        if (separator == std::string::npos || separator + 1 == output_full.size() ||
            ::lstrcmpiA(output_full.substr(0, separator + 1).c_str(), full_.c_str()) != 0) {
            *why = "output file is not in the work directory: " + output_path;
            return Delivery::failed;
        }
        if (!still_there(request_name, id)) {
            *why = "request file gone before answering";
            return Delivery::abandoned;
        }
        // The gateway made the file; if it is gone the gateway has given up
        // and must not find a stray file later. No sharing: the answer is
        // written whole before anyone reads it.
        Handle out(::CreateFileA(output_full.c_str(), GENERIC_WRITE, 0, nullptr, TRUNCATE_EXISTING,
                                 FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!out.valid()) {
            if (::GetLastError() == ERROR_FILE_NOT_FOUND) {
                *why = "output file gone before answering";
                return Delivery::abandoned;
            }
            *why = error_text("cannot open " + output_path);
            return Delivery::failed;
        }
        for (std::string_view rest = answer; !rest.empty();) {
            DWORD n = 0;
            const DWORD chunk = rest.size() > (1U << 30) ? (1U << 30) : static_cast<DWORD>(rest.size());
            if (!::WriteFile(out.get(), rest.data(), chunk, &n, nullptr) || n == 0) {
                *why = error_text("cannot write " + output_path);
                return Delivery::failed;
            }
            rest.remove_prefix(n);
        }
        // The gateway reads the output file only when nobody holds it open,
        // so it must be closed before the signal file appears.
        if (!out.close()) {
            *why = error_text("cannot close " + output_path);
            return Delivery::failed;
        }
        if (!still_there(request_name, id)) {
            *why = "request file gone while answering";
            return Delivery::abandoned;
        }
        const std::string signal = request_name.substr(0, request_name.size() - 4) + ".ret";
        Handle created(::CreateFileA((full_ + signal).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                     FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!created.valid() || !created.close()) {
            *why = error_text("cannot create " + signal);
            return Delivery::failed;
        }
        return Delivery::answered;
    }

private:
    [[nodiscard]] bool still_there(const std::string& name, const FileId& id) const {
        Handle file = open_shared(full_ + name, FILE_READ_ATTRIBUTES);
        const auto now = file.valid() ? id_of(file.get(), nullptr) : std::nullopt;
        return now && *now == id;
    }

    std::string full_;
};

void respond(const WorkDir& dir, const std::string& name, const FileId& id, const Request& request,
             const Behaviour& behaviour) {
    const std::string answer = render_answer(request, behaviour);
    std::string why;
    switch (dir.deliver(name, id, request.output_path, answer, &why)) {
        case Delivery::answered: log_line("answered " + name); break;
        case Delivery::abandoned: log_line("abandoned " + name + ": " + why); break;
        case Delivery::failed: log_line("failed " + name + ": " + why); break;
    }
}

// Finds complete request files and hands each to the scheduler exactly once.
class Scanner {
public:
    Scanner(const WorkDir& dir, std::string prefix, Scheduler& scheduler)
        : dir_(dir), prefix_(std::move(prefix)), scheduler_(scheduler) {}

    // False when the work directory can no longer be listed.
    bool scan() {
        WIN32_FIND_DATAA entry{};
        const HANDLE search = ::FindFirstFileA((dir_.path() + "*").c_str(), &entry);
        if (search == INVALID_HANDLE_VALUE) {
            log_line(error_text("cannot list work directory " + dir_.path()));
            return false;
        }
        std::set<std::string> present;
        do {
            present.insert(entry.cFileName);
            if ((entry.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0) consider(entry.cFileName);
        } while (::FindNextFileA(search, &entry));
        ::FindClose(search);
        // Names the gateway has deleted may be used again for new requests.
        std::erase_if(taken_, [&present](const auto& item) { return !present.contains(item.first); });
        return true;
    }

private:
    void consider(const std::string& name) {
        if (!is_request_name(name, prefix_)) return;
        FileId id;
        const auto text = dir_.read_request(name, &id);
        if (!text) return;
        if (const auto it = taken_.find(name); it != taken_.end() && it->second == id) return;
        if (!request_complete(*text)) return;  // still empty or being written
        taken_[name] = id;
        auto request = parse_request(*text);
        if (!request) {
            log_line("ignored " + name + ": not a request file");
            return;
        }
        const Behaviour behaviour = behaviour_for(*request);
        scheduler_.submit(Scheduler::Clock::now() + behaviour.delay,
                          [&dir = dir_, name, id, request = std::move(*request), behaviour] {
                              respond(dir, name, id, request, behaviour);
                          });
    }

    const WorkDir& dir_;
    std::string prefix_;
    Scheduler& scheduler_;
    std::map<std::string, FileId> taken_;
};

}  // namespace
}  // namespace qgecho

int main(int argc, char** argv) {
    using namespace qgecho;
    int exit_code = 0;
    const auto options = parse_options(argc, argv, &exit_code);
    if (!options) return exit_code;

    std::string full = full_path(options->workdir);
    const DWORD attributes = full.empty() ? INVALID_FILE_ATTRIBUTES : ::GetFileAttributesA(full.c_str());
    if (attributes == INVALID_FILE_ATTRIBUTES || (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
        std::cerr << "qg-echo: cannot open work directory " << options->workdir << ": not a directory\n";
        return 1;
    }
    if (full.back() != '\\' && full.back() != '/') full += '\\';

    stop_event = ::CreateEventA(nullptr, TRUE, FALSE, nullptr);
    if (stop_event == nullptr || !::SetConsoleCtrlHandler(on_console_event, TRUE)) {
        std::cerr << "qg-echo: cannot set up Ctrl+C handling\n";
        return 1;
    }
    const WorkDir dir(full);
    bool ok = true;
    {
        Scheduler scheduler(kWorkers);
        Scanner scanner(dir, options->prefix, scheduler);
        log_line("watching " + dir.path() + " for " + options->prefix.substr(0, 3) + "*.TMP");
        while (::WaitForSingleObject(stop_event, kScanMs) == WAIT_TIMEOUT) {
            if (!scanner.scan()) {
                ok = false;
                break;
            }
        }
    }
    log_line("stopped");
    return ok ? 0 : 1;
}
