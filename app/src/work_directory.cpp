#include "work_directory.h"

#include <cstdio>

namespace qga {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::size_t max_skipped = 100;

std::string hex16(std::uint64_t value) {
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(value));
    return text;
}

Options settled(Options options, bool reports_changes) {
    if (options.scan_interval.count() <= 0) {
        options.scan_interval = reports_changes ? std::chrono::milliseconds(1000) : std::chrono::milliseconds(100);
    }
    options.claim_expiry = std::max(options.claim_expiry, std::chrono::seconds(10));
    return options;
}

// Gives polling up on every way out of a round, an exception included:
// otherwise no thread would ever look at the directory again.
class PollingTurn {
public:
    PollingTurn(std::unique_lock<std::mutex>& lock, bool& polling, std::condition_variable& cv)
        : lock_(lock), polling_(polling), cv_(cv) {
        polling_ = true;
        lock_.unlock();
    }
    PollingTurn(const PollingTurn&) = delete;
    PollingTurn& operator=(const PollingTurn&) = delete;
    ~PollingTurn() {
        lock_.lock();
        polling_ = false;
        cv_.notify_all();
    }

private:
    std::unique_lock<std::mutex>& lock_;
    bool& polling_;
    std::condition_variable& cv_;
};

}  // namespace

std::unique_ptr<WorkDirectory> WorkDirectory::open(const std::string& path, std::string_view prefix, Options options,
                                                   std::string* error) {
    auto dir = platform::open_directory(path, error);
    if (!dir) return nullptr;
    auto watch = platform::watch_directory(*dir);
    if (!watch) {
        *error = "cannot set up waiting on " + path;
        return nullptr;
    }
    auto work = over(std::move(dir), std::move(watch), prefix, options, error);
    if (work) work->book_->start_renewing();
    return work;
}

std::unique_ptr<WorkDirectory> WorkDirectory::over(std::unique_ptr<platform::Directory> dir,
                                                   std::unique_ptr<platform::Watch> watch, std::string_view prefix,
                                                   Options options, std::string* error) {
    if (prefix.empty()) {
        *error = "the request prefix is empty";
        return nullptr;
    }
    std::unique_ptr<WorkDirectory> work(
        new WorkDirectory(std::move(dir), std::move(watch), std::string(prefix.substr(0, 3)), options));
    if (!work->book_->start(error)) return nullptr;
    return work;
}

WorkDirectory::WorkDirectory(std::unique_ptr<platform::Directory> dir, std::unique_ptr<platform::Watch> watch,
                             std::string prefix, Options options)
    : dir_(std::move(dir)),
      watch_(std::move(watch)),
      options_(settled(options, watch_->reports_changes())),
      arrivals_(*dir_, *watch_, std::move(prefix), options_.scan_interval, options_.max_request_bytes) {
    const std::string instance = hex16(platform::random_u64());
    book_ = std::make_unique<ClaimBook>(*dir_, platform::process_label() + " " + instance + "\n", instance,
                                        options_.claim_expiry);
}

WorkDirectory::~WorkDirectory() = default;

void WorkDirectory::interrupt() {
    {
        const std::lock_guard lock(mutex_);
        interrupted_ = true;
    }
    cv_.notify_all();
    watch_->wake();
}

std::optional<std::string> WorkDirectory::next_skipped() {
    const std::lock_guard lock(mutex_);
    if (skipped_.empty()) return std::nullopt;
    std::string line = std::move(skipped_.front());
    skipped_.pop_front();
    return line;
}

WorkDirectory::Accept WorkDirectory::accept(std::chrono::milliseconds limit, std::unique_ptr<Request>* out,
                                            std::string* error) {
    const auto deadline = limit.count() < 0 ? Clock::time_point::max() : Clock::now() + limit;
    bool looked = false;  // a time-out of 0 still takes what is ready now
    std::unique_lock lock(mutex_);
    for (;;) {
        if (interrupted_) return Accept::timeout;
        if (!ready_.empty()) {
            Arrival item = std::move(ready_.front());
            ready_.pop_front();
            lock.unlock();
            std::shared_ptr<Claim> claim;
            std::string blocker;
            switch (book_->take(item.name, item.id, item.stamp, &claim, &blocker, error)) {
                case ClaimBook::Take::won:
                    *out = std::make_unique<Request>(*dir_, *book_, std::move(claim), std::move(item.text));
                    return Accept::ok;
                case ClaimBook::Take::failed: return Accept::failed;
                case ClaimBook::Take::claimed:
                case ClaimBook::Take::answered: {
                    // Looked at again once the claim (or signal file) is gone.
                    lock.lock();
                    blocked_.push_back({std::move(item.name), item.id, std::move(blocker)});
                    continue;
                }
            }
        }
        if (looked && Clock::now() >= deadline) return Accept::timeout;
        if (!polling_) {
            // One thread at a time watches the directory; the others wait for
            // what it finds.
            looked = true;
            const PollingTurn turn(lock, polling_, cv_);
            poll(deadline);
            continue;
        }
        if (Clock::now() >= deadline) return Accept::timeout;
        cv_.wait_until(lock, deadline);
    }
}

void WorkDirectory::poll(Clock::time_point deadline) {
    std::vector<Blocked> blocked;
    {
        const std::lock_guard lock(mutex_);
        blocked.swap(blocked_);
    }
    for (auto& item : blocked) arrivals_.blocked(item.name, item.id, std::move(item.blocker));
    const auto now = Clock::now();
    const auto limit = deadline <= now
                           ? std::chrono::milliseconds(0)
                           : std::chrono::duration_cast<std::chrono::milliseconds>(std::min(
                                 deadline - now, std::chrono::duration_cast<Clock::duration>(std::chrono::hours(1))));
    std::vector<Arrival> ready;
    std::vector<std::string> reports;
    arrivals_.poll(limit, &ready, &reports);
    if (arrivals_.listed()) book_->tidy();
    {
        const std::lock_guard lock(mutex_);
        for (auto& item : ready) ready_.push_back(std::move(item));
        for (auto& line : reports)
            if (skipped_.size() < max_skipped) skipped_.push_back(std::move(line));
    }
    if (!ready.empty()) cv_.notify_all();
}

}  // namespace qga
