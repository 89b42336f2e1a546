// The claim book: which requests this process holds, in the work directory's
// "claims" folder, and keeping those claims alive.
//
// A request is claimed by creating, exclusively, "claims/<request>.<stamp>.clm"
// (the stamp: claim_stamp of the request file). Every process that sees the
// same incarnation derives the same name, so exactly one creation succeeds on
// any file system where exclusive creation is atomic. The owner keeps its
// claim until the gateway deletes the request file, so that nobody takes over
// a request it answered or gave up. A thread of the book renews every claim
// held (whatever the application is doing), and removes the claims and probes
// of other processes that have not been renewed for the claim expiry, aged on
// the file system's own clock: this process's probe file is touched, and its
// time is the file system's "now".
//
// Fencing: a claim that was removed and made again by another process (this
// one stopped for longer than the expiry) is lost; its owner's writes and
// finish report the request gone and make no signal file.
#pragma once

#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform.h"

namespace qga {

inline constexpr std::string_view claims_dir = "claims";

struct Claim {
    using Clock = std::chrono::steady_clock;

    std::string request_name;
    std::string path;          // relative to the work directory
    platform::FileId request;  // the request file's incarnation it was made for
    std::uint64_t stamp = 0;   // claim_stamp of that incarnation's text
    // Guarded by the book's lock.
    platform::FileId made;                   // the claim file as this process made it
    Clock::time_point verified;              // when it was last seen to be ours
    bool settled = false;                    // answered or given up: kept until the request file goes
    bool lost = false;                       // taken over by another process
    std::optional<platform::FileId> signal;  // the signal file this process made
};

class ClaimBook {
public:
    using Clock = Claim::Clock;
    enum class Take { won, claimed, answered, failed };

    // `label`: what this process writes into its claims ("host pid instance").
    ClaimBook(platform::Directory& dir, std::string label, std::string instance, std::chrono::seconds expiry);
    ClaimBook(const ClaimBook&) = delete;
    ClaimBook& operator=(const ClaimBook&) = delete;
    // Stops renewing; claims of requests the gateway has finished with go,
    // the others stay until it has (another process collects them after the
    // expiry).
    ~ClaimBook();

    // Makes the claims folder and this process's probe.
    bool start(std::string* error);
    // Starts the renewal thread (tests renew by hand).
    void start_renewing();

    // Claims one incarnation of a request. `claimed`: another process holds
    // it (*blocker names its claim); `answered`: its signal file is there
    // (*blocker names it), so it was answered already, perhaps before a
    // restart: never answered twice.
    Take take(const std::string& name, const platform::FileId& id, std::uint64_t stamp, std::shared_ptr<Claim>* out,
              std::string* blocker, std::string* error);

    // Whether the request file is still the claimed incarnation. A
    // `thorough` answer reads the file again and compares its stamp too: a
    // network file system may show a file made anew under the name with the
    // same node, the same size and times in whole seconds, and a local one
    // may reuse the inode within one tick of its clock.
    bool request_still_there(const Claim& claim, bool thorough = false);
    // Whether the claim is still this process's. A `fresh` answer looks at
    // the claim file now; otherwise the file is looked at when the last look
    // is older than a quarter of the expiry (after a stop).
    bool still_ours(Claim& claim, bool fresh = false);
    void settle(Claim& claim);
    void mark_signalled(Claim& claim, const platform::FileId& signal);
    // Removes the signal file this process made for the claim's request, but
    // only while that very file is there: under the same name there may by
    // now be the signal of a later request, which is not ours to remove.
    bool remove_own_signal(const Claim& claim);

    // Releases the claims of settled requests whose request file is gone.
    void tidy();
    // One renewal round: touches every claim held, marks lost the ones taken
    // over, makes again the ones removed meanwhile; then, when due, removes
    // other processes' claims and probes older than the expiry.
    void renew();

    std::size_t held() const;

private:
    bool verify(Claim& claim);  // with the lock held
    void collect();
    void release(const Claim& claim);
    void renew_loop();

    platform::Directory& dir_;
    std::string label_;
    std::string probe_;
    std::chrono::seconds expiry_;

    std::mutex verify_mutex_;
    mutable std::mutex mutex_;
    std::condition_variable cv_;
    bool stopping_ = false;
    std::vector<std::shared_ptr<Claim>> held_;
    Clock::time_point next_collect_{};
    std::thread renewer_;
};

// "claims/<name>"
std::string claims_path(std::string_view name);

}  // namespace qga
