// The library's core: finding complete requests in the work directory,
// claiming each for exactly one process, and answering it.
//
// A request is claimed by creating, exclusively, the file
// "claims/<request name>.<stamp>.clm", where the stamp is a hash of the request
// file's whole text and its modification second. Every process that sees the
// same complete request derives the same claim name, so exactly one creation
// succeeds, on any file system where exclusive creation is atomic (local, NFSv3
// and later, SMB, sshfs). A later request that reuses the name carries another
// output file, other variables or another second, so a claim left behind never
// blocks it. The owner keeps its claim until the gateway deletes the request
// file (so nobody takes over a request it answered or gave up), renews its time
// while it holds it, and removes it then; a claim whose owner died is removed
// by any process once it has not been renewed for the claim expiry.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "platform.h"
#include "request_text.h"

namespace qga {

struct Options {
    std::uint64_t max_request_bytes = 256ULL * 1024 * 1024;
    std::chrono::milliseconds scan_interval{0};  // 0: 1000 ms with change reports, 100 ms without
    std::chrono::seconds claim_expiry{60};
};

// One claim this process holds.
struct Claim {
    std::string request_name;
    std::string path;  // relative to the work directory
    platform::FileId id;  // the request file it was made for
    std::chrono::steady_clock::time_point renewed;
    bool settled = false;  // answered or given up: kept until the request file goes
    std::optional<platform::FileId> signal;  // the signal file this process made
};

class WorkDirectory;

// A claimed request: its decoded text and its answer.
class Request {
public:
    enum class Result { ok, gone, refused, invalid, failed };

    Request(WorkDirectory& dir, std::shared_ptr<Claim> claim, RequestText text);
    Request(const Request&) = delete;
    Request& operator=(const Request&) = delete;
    // Gives the request up when it was not finished.
    ~Request();

    const std::string& name() const { return claim_->request_name; }
    const RequestText& text() const { return text_; }
    const std::string* find(std::string_view name) const;

    Result write(std::string_view bytes, std::string* error);
    Result finish(std::string* error);

private:
    Result open_output(std::string* error);
    bool still_there() const;
    Result end(Result result);

    WorkDirectory& dir_;
    std::shared_ptr<Claim> claim_;
    RequestText text_;
    std::unique_ptr<platform::OutputFile> output_;
    bool done_ = false;
};

class WorkDirectory {
public:
    enum class Accept { ok, timeout, failed };

    static std::unique_ptr<WorkDirectory> open(const std::string& path, std::string_view prefix, Options options,
                                               std::string* error);
    WorkDirectory(const WorkDirectory&) = delete;
    WorkDirectory& operator=(const WorkDirectory&) = delete;
    ~WorkDirectory();

    // Waits up to `limit` (negative: no limit) for a complete request and
    // claims it.
    Accept accept(std::chrono::milliseconds limit, std::unique_ptr<Request>* out, std::string* error);
    // The oldest report of a request file that is not read, if any.
    std::optional<std::string> next_skipped();
    void interrupt();

    platform::Directory& files() { return *dir_; }
    // Whether the request file a claim was made for is still there: not
    // deleted by the gateway, nor replaced by a later request of that name.
    bool still_there(const Claim& claim);
    // Called by a request: renews its claim when due; marks it settled.
    void renew_if_due(Claim& claim);
    void settle(Claim& claim);
    // Called by a request whose signal file this process made.
    void mark_signalled(Claim& claim, const platform::FileId& signal);
    // Removes the signal file this process made for the claim's request, but
    // only while that very file is there: under the same name there may by
    // now be the signal of a later request, which is not ours to remove.
    bool remove_own_signal(const Claim& claim);

private:
    // Removes the claim of a request the gateway has finished with, and our
    // signal file when the gateway never took it.
    void release_settled(const Claim& claim);
    struct Entry;
    struct Ready {
        std::string name;
        platform::FileText file;
        RequestText text;
    };
    enum class ClaimResult { won, lost, failed };

    WorkDirectory(std::unique_ptr<platform::Directory> dir, std::unique_ptr<platform::Watch> watch, std::string prefix,
                  Options options);
    ClaimResult claim(Ready& item, std::unique_ptr<Request>* out, std::string* error);
    void poll_once(std::chrono::steady_clock::time_point deadline);
    void apply(const std::vector<platform::Change>& changes, std::vector<std::string>* closed);
    void look_at(const std::string& name, bool after_close);
    void confirm(const std::string& name, Entry& entry, const platform::FileText& file);
    void scan();
    void housekeeping();
    void skip(const std::string& name, const platform::FileId& id, const std::string& why);

    std::unique_ptr<platform::Directory> dir_;
    std::unique_ptr<platform::Watch> watch_;
    std::string prefix_;
    Options options_;
    std::string label_;
    std::string probe_;  // this instance's file in the claims folder: the file system's clock

    // Only the polling thread touches these.
    std::map<std::string, Entry> entries_;
    std::chrono::steady_clock::time_point next_scan_{};
    std::chrono::steady_clock::time_point next_collect_{};

    std::mutex mutex_;
    std::condition_variable cv_;
    bool polling_ = false;
    bool interrupted_ = false;
    std::deque<Ready> ready_;
    std::deque<std::string> skipped_;
    std::vector<std::shared_ptr<Claim>> held_;
};

}  // namespace qga
