// Arrivals: from change reports and listings of the work directory to whole
// requests, each read and decoded once per incarnation of its name.
//
// A request file exists empty from the gateway's naming until its single
// write. Where the kernel reports changes, a close after writing with no later
// modification proves that write over; elsewhere the text proves it (see
// proves_whole) or two equal reads a short time apart are taken as proof.
// Every incarnation is judged once: queued, too large, not a request, already
// answered or claimed by another process. A judged file is looked at again
// only when it changes (or, for one that met another process's claim, when
// that claim goes), so a bad file costs one look per listing, never a loop.
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform.h"
#include "request_text.h"

namespace qga {

// A whole request, ready to be claimed.
struct Arrival {
    std::string name;
    platform::FileId id;
    std::uint64_t stamp = 0;
    RequestText text;
};

class Arrivals {
public:
    using Clock = std::chrono::steady_clock;

    Arrivals(platform::Directory& dir, platform::Watch& watch, std::string prefix,
             std::chrono::milliseconds scan_interval, std::uint64_t max_request_bytes);

    // One round: waits up to `limit` for changes (less when a confirming read
    // is due), reads what changed and lists the directory when a listing is
    // due. Whole requests go to *ready, lines about skipped files to
    // *reports. A file that cannot be read for want of memory is skipped.
    void poll(std::chrono::milliseconds limit, std::vector<Arrival>* ready, std::vector<std::string>* reports);

    // The claim of this incarnation belongs to another process (or its
    // signal file shows it answered): looked at again only once the file at
    // `blocker` (a claim, or the signal file) is gone.
    void blocked(const std::string& name, const platform::FileId& id, std::string blocker);

    // Whether a listing ran in the last poll (claims are tidied then).
    bool listed() const { return listed_; }

private:
    struct Entry {
        std::uint64_t modifications = 0;  // modification reports seen
        std::uint64_t modifications_at_close = 0;
        bool closed = false;  // a close report not yet looked at
        // This incarnation was dealt with; not read again while it lasts.
        std::optional<platform::FileId> judged;
        std::string listing_key;  // what the listing said of the judged file, where it says enough
        std::string blocker;      // set while judged because of another process's claim
        // A read waiting for its confirmation.
        std::optional<platform::FileText> first;
        bool first_after_close = false;
        std::uint64_t first_modifications = 0;
        Clock::time_point confirm_at{};
    };

    void apply(const std::vector<platform::Change>& changes, std::vector<std::string>* closed);
    void look_at(const std::string& name, bool after_close, const std::string& listing_key);
    // Queues a whole request; `text` is its decoded form where the caller
    // has it already.
    void confirm(const std::string& name, Entry& entry, platform::FileText file,
                 std::optional<RequestText> text = std::nullopt);
    void judge(const std::string& name, Entry& entry, const platform::FileId& id, std::string report);
    void scan();
    void confirm_due();
    bool read(const std::string& name, Entry& entry, platform::FileText* file);

    platform::Directory& dir_;
    platform::Watch& watch_;
    std::string prefix_;
    std::chrono::milliseconds scan_interval_;
    std::uint64_t max_request_bytes_;

    std::map<std::string, Entry> entries_;
    std::set<std::string> confirming_;  // names with a listing read waiting for its second
    Clock::time_point next_scan_{};
    bool listed_ = false;

    // Output of the round in progress.
    std::vector<Arrival>* ready_ = nullptr;
    std::vector<std::string>* reports_ = nullptr;
};

}  // namespace qga
