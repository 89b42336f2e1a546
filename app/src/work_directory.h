// The library's facade: an open work directory, from which threads accept
// claimed requests. Arrivals (arrivals.h) turn the directory's changes into
// whole requests; the claim book (claims.h) makes each one this process's
// alone; a Request (answer.h) writes its answer.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "answer.h"
#include "arrivals.h"
#include "claims.h"
#include "platform.h"

namespace qga {

struct Options {
    std::uint64_t max_request_bytes = 256ULL * 1024 * 1024;
    std::chrono::milliseconds scan_interval{0};  // 0: 1000 ms with change reports, 100 ms without
    std::chrono::seconds claim_expiry{60};
};

class WorkDirectory {
public:
    enum class Accept { ok, timeout, failed };

    static std::unique_ptr<WorkDirectory> open(const std::string& path, std::string_view prefix, Options options,
                                               std::string* error);
    // Over a platform of the caller's (the tests' fakes); nothing is started.
    static std::unique_ptr<WorkDirectory> over(std::unique_ptr<platform::Directory> dir,
                                               std::unique_ptr<platform::Watch> watch, std::string_view prefix,
                                               Options options, std::string* error);
    WorkDirectory(const WorkDirectory&) = delete;
    WorkDirectory& operator=(const WorkDirectory&) = delete;
    ~WorkDirectory();

    // Waits up to `limit` (negative: no limit) for a complete request and
    // claims it. A limit of 0 takes a request that is ready now.
    Accept accept(std::chrono::milliseconds limit, std::unique_ptr<Request>* out, std::string* error);
    // The oldest report of a request file that is not read, if any.
    std::optional<std::string> next_skipped();
    void interrupt();

    ClaimBook& claims() { return *book_; }

private:
    WorkDirectory(std::unique_ptr<platform::Directory> dir, std::unique_ptr<platform::Watch> watch, std::string prefix,
                  Options options);
    void poll(std::chrono::steady_clock::time_point deadline);

    std::unique_ptr<platform::Directory> dir_;
    std::unique_ptr<platform::Watch> watch_;
    Options options_;
    std::unique_ptr<ClaimBook> book_;
    Arrivals arrivals_;  // only the polling thread touches it

    std::mutex mutex_;
    std::condition_variable cv_;
    bool polling_ = false;
    bool interrupted_ = false;
    std::deque<Arrival> ready_;
    std::deque<std::string> skipped_;
    // Requests that met another process's claim or a signal file, for the
    // arrivals to look at again once that file is gone.
    struct Blocked {
        std::string name;
        platform::FileId id;
        std::string blocker;
    };
    std::vector<Blocked> blocked_;
};

}  // namespace qga
