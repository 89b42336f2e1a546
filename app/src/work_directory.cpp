#include "work_directory.h"

#include <algorithm>
#include <cstdio>

namespace qga {
namespace {

using Clock = std::chrono::steady_clock;

constexpr std::string_view claims_dir = "claims";
constexpr std::string_view claim_ext = ".clm";
constexpr std::string_view probe_ext = ".live";
// A file found by listing (not by a close report) is read twice, this far
// apart, and taken only when both reads agree.
constexpr std::chrono::milliseconds confirm_delay{100};
constexpr std::size_t max_skipped = 100;

std::string hex16(std::uint64_t value) {
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(value));
    return text;
}

std::string claims_path(std::string_view name) {
    std::string path(claims_dir);
    path += '/';
    path += name;
    return path;
}

}  // namespace

// What the polling thread knows about one request-file name.
struct WorkDirectory::Entry {
    std::uint64_t modifications = 0;  // modification reports seen
    bool closed = false;  // a close report not yet looked at
    std::uint64_t modifications_at_close = 0;
    std::optional<platform::FileId> handled;  // the incarnation already queued or skipped
    std::optional<platform::FileText> first;  // a read waiting for its confirmation
    bool first_after_close = false;
    std::uint64_t first_modifications = 0;
    Clock::time_point confirm_at{};
    bool reported = false;  // a stable text that is not a request was reported
};

std::unique_ptr<WorkDirectory> WorkDirectory::open(const std::string& path, std::string_view prefix, Options options,
                                                   std::string* error) {
    if (prefix.empty()) {
        *error = "the request prefix is empty";
        return nullptr;
    }
    auto dir = platform::open_directory(path, error);
    if (!dir || !dir->make_subdirectory(std::string(claims_dir), error)) return nullptr;
    auto watch = platform::watch_directory(*dir);
    if (!watch) {
        *error = "cannot set up waiting on " + path;
        return nullptr;
    }
    std::unique_ptr<WorkDirectory> work(
        new WorkDirectory(std::move(dir), std::move(watch), std::string(prefix.substr(0, 3)), options));
    if (work->dir_->create_new(work->probe_, work->label_, nullptr, error) == platform::CreateStatus::failed) return nullptr;
    return work;
}

WorkDirectory::WorkDirectory(std::unique_ptr<platform::Directory> dir, std::unique_ptr<platform::Watch> watch,
                             std::string prefix, Options options)
    : dir_(std::move(dir)), watch_(std::move(watch)), prefix_(std::move(prefix)), options_(options) {
    if (options_.scan_interval.count() <= 0) {
        options_.scan_interval = watch_->reports_changes() ? std::chrono::milliseconds(1000) : std::chrono::milliseconds(100);
    }
    options_.claim_expiry = std::max(options_.claim_expiry, std::chrono::seconds(10));
    const std::string instance = hex16(platform::random_u64());
    label_ = platform::process_label() + " " + instance + "\n";
    probe_ = claims_path(instance + std::string(probe_ext));
}

WorkDirectory::~WorkDirectory() {
    // Claims of requests the gateway has finished with go now; the others
    // stay until it has (another process collects them after the expiry).
    for (const auto& claim : held_)
        if (claim->settled && !still_there(*claim)) release_settled(*claim);
    dir_->remove(probe_);
    // Left only while another process holds claims; made again when needed.
    dir_->remove_subdirectory_if_empty(std::string(claims_dir));
}

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
    std::unique_lock lock(mutex_);
    for (;;) {
        if (interrupted_) return Accept::timeout;
        if (!ready_.empty()) {
            Ready item = std::move(ready_.front());
            ready_.pop_front();
            lock.unlock();
            const ClaimResult result = claim(item, out, error);
            if (result == ClaimResult::won) return Accept::ok;
            if (result == ClaimResult::failed) return Accept::failed;
            lock.lock();
            continue;
        }
        if (Clock::now() >= deadline) return Accept::timeout;
        if (!polling_) {
            // One thread at a time watches the directory; the others wait for
            // what it finds.
            polling_ = true;
            lock.unlock();
            poll_once(deadline);
            lock.lock();
            polling_ = false;
            cv_.notify_all();
            continue;
        }
        cv_.wait_until(lock, deadline);
    }
}

WorkDirectory::ClaimResult WorkDirectory::claim(Ready& item, std::unique_ptr<Request>* out, std::string* error) {
    // The same complete request gives every process the same claim name.
    const std::uint64_t stamp =
        hash_bytes(item.file.text) ^ (static_cast<std::uint64_t>(item.file.modified_s) * 0x9E3779B97F4A7C15ULL);
    auto claim = std::make_shared<Claim>();
    claim->request_name = item.name;
    claim->path = claims_path(item.name + "." + hex16(stamp) + std::string(claim_ext));
    claim->id = item.file.id;
    claim->renewed = Clock::now();
    auto made = dir_->create_new(claim->path, label_, nullptr, error);
    if (made == platform::CreateStatus::failed && dir_->make_subdirectory(std::string(claims_dir), error)) {
        // Another process removed the claims folder when it closed while empty.
        made = dir_->create_new(claim->path, label_, nullptr, error);
    }
    switch (made) {
        case platform::CreateStatus::exists: return ClaimResult::lost;
        case platform::CreateStatus::failed: return ClaimResult::failed;
        case platform::CreateStatus::created: break;
    }
    // The gateway may have deleted the request (and a new one taken its name)
    // since it was read: then this claim is for nothing.
    if (!still_there(*claim)) {
        dir_->remove(claim->path);
        return ClaimResult::lost;
    }
    {
        const std::lock_guard lock(mutex_);
        held_.push_back(claim);
    }
    *out = std::make_unique<Request>(*this, std::move(claim), std::move(item.text));
    return ClaimResult::won;
}

bool WorkDirectory::still_there(const Claim& claim) {
    const auto id = dir_->identify(claim.request_name);
    return id && *id == claim.id;
}

void WorkDirectory::renew_if_due(Claim& claim) {
    const auto now = Clock::now();
    {
        const std::lock_guard lock(mutex_);
        if (now - claim.renewed < options_.claim_expiry / 4) return;
        claim.renewed = now;
    }
    dir_->touch(claim.path);
}

void WorkDirectory::release_settled(const Claim& claim) {
    // The gateway deletes the signal file before the request file, whether it
    // took the answer or gave up. So once the request file is gone, a signal
    // file of ours still there was never taken: the gateway gave up while it
    // was being made (after our last look at the request). Left behind, it
    // would keep the number from later requests until it aged out, or answer
    // a later request of that name with whatever its output file holds.
    remove_own_signal(claim);
    dir_->remove(claim.path);
}

bool WorkDirectory::remove_own_signal(const Claim& claim) {
    std::optional<platform::FileId> made;
    {
        const std::lock_guard lock(mutex_);
        made = claim.signal;
    }
    const std::string signal = signal_name(claim.request_name);
    if (!made || dir_->identify(signal) != made) return false;
    return dir_->remove(signal);
}

void WorkDirectory::settle(Claim& claim) {
    const std::lock_guard lock(mutex_);
    claim.settled = true;
}

void WorkDirectory::mark_signalled(Claim& claim, const platform::FileId& signal) {
    const std::lock_guard lock(mutex_);
    claim.signal = signal;
}

void WorkDirectory::skip(const std::string& name, const platform::FileId& id, const std::string& why) {
    entries_[name].handled = id;
    entries_[name].first.reset();
    const std::lock_guard lock(mutex_);
    if (skipped_.size() < max_skipped) skipped_.push_back(name + ": " + why);
}

void WorkDirectory::poll_once(Clock::time_point deadline) {
    auto until = std::min(deadline, next_scan_);
    for (const auto& [name, entry] : entries_)
        if (entry.first && !entry.first_after_close) until = std::min(until, entry.confirm_at);
    const auto now = Clock::now();
    const auto wait = until > now ? std::chrono::duration_cast<std::chrono::milliseconds>(until - now) + std::chrono::milliseconds(1)
                                  : std::chrono::milliseconds(0);
    std::vector<platform::Change> changes;
    bool overflow = false;
    watch_->wait(wait, &changes, &overflow);

    // Requests reported closed after writing are read at once. Reads that a
    // modification report follows are not trusted: the write was still going on.
    std::vector<std::string> closed;
    apply(changes, &closed);
    for (int round = 0; round < 8 && !closed.empty(); ++round) {
        for (const auto& name : closed) look_at(name, true);
        changes.clear();
        watch_->drain(&changes, &overflow);
        // Close reports that came in with the drain are looked at next round.
        std::vector<std::string> again;
        apply(changes, &again);
        for (const auto& name : closed) {
            const auto it = entries_.find(name);
            if (it == entries_.end()) continue;
            Entry& entry = it->second;
            if (entry.first && entry.first_after_close && entry.modifications == entry.first_modifications &&
                std::find(again.begin(), again.end(), name) == again.end()) {
                const platform::FileText file = std::move(*entry.first);
                entry.first.reset();
                confirm(name, entry, file);
            }
        }
        closed = std::move(again);
    }

    if (overflow || Clock::now() >= next_scan_) {
        scan();
        next_scan_ = Clock::now() + options_.scan_interval;
        housekeeping();
    }
    // Reads found by listing, confirmed by a second one.
    const auto later = Clock::now();
    for (auto it = entries_.begin(); it != entries_.end(); ++it) {
        Entry& entry = it->second;
        if (!entry.first || entry.first_after_close || later < entry.confirm_at) continue;
        const auto id = dir_->identify(it->first);
        if (!id) {
            entry.first.reset();
            continue;
        }
        if (*id == entry.first->id && entry.reported) continue;  // unchanged, known not to be a request
        platform::FileText again;
        std::string error;
        const auto status = dir_->read(it->first, options_.max_request_bytes, &again, &error);
        if (status == platform::ReadStatus::too_large) {
            skip(it->first, again.id, "larger than the request size limit; not read");
        } else if (status != platform::ReadStatus::ok || again.text.empty()) {
            entry.first.reset();
        } else if (again.text == entry.first->text && again.id == entry.first->id) {
            confirm(it->first, entry, again);
        } else {
            entry.first = std::move(again);
            entry.reported = false;
            entry.confirm_at = later + confirm_delay;
        }
    }
}

void WorkDirectory::apply(const std::vector<platform::Change>& changes, std::vector<std::string>* closed) {
    for (const auto& change : changes) {
        if (!is_request_name(change.name, prefix_)) continue;
        switch (change.kind) {
            case platform::Change::removed: entries_.erase(change.name); break;
            case platform::Change::modified: ++entries_[change.name].modifications; break;
            case platform::Change::closed_after_write: {
                Entry& entry = entries_[change.name];
                entry.closed = true;
                entry.modifications_at_close = entry.modifications;
                if (std::find(closed->begin(), closed->end(), change.name) == closed->end()) closed->push_back(change.name);
                break;
            }
        }
    }
}

// Reads a request file. After a close report the read is confirmed once no
// modification report follows it; otherwise by a second read later.
void WorkDirectory::look_at(const std::string& name, bool after_close) {
    Entry& entry = entries_[name];
    const bool was_closed = entry.closed;
    entry.closed = false;
    const auto id = dir_->identify(name);
    if (!id) {
        entries_.erase(name);
        return;
    }
    if (entry.handled && *entry.handled == *id) return;  // this incarnation was dealt with
    if (!after_close && entry.first && !entry.first_after_close && entry.first->id == *id) return;  // waiting for its second read
    platform::FileText file;
    std::string error;
    const auto status = dir_->read(name, options_.max_request_bytes, &file, &error);
    if (status == platform::ReadStatus::too_large) {
        skip(name, file.id, "larger than the request size limit; not read");
        return;
    }
    // An empty file is the gateway's placeholder, before its one write.
    if (status != platform::ReadStatus::ok || file.text.empty()) {
        entry.first.reset();
        return;
    }
    if (dir_->reads_exclude_writers()) {
        confirm(name, entry, file);
        return;
    }
    entry.first = std::move(file);
    entry.reported = false;
    entry.first_after_close = after_close && was_closed;
    entry.first_modifications = entry.modifications_at_close;
    entry.confirm_at = Clock::now() + confirm_delay;
}

void WorkDirectory::confirm(const std::string& name, Entry& entry, const platform::FileText& file) {
    auto text = parse_request(file.text);
    if (!text) {
        // Not (yet) a whole request: looked at again only when it changes.
        entry.first = file;
        entry.first_after_close = false;
        entry.confirm_at = Clock::now() + options_.scan_interval;
        if (!entry.reported) {
            entry.reported = true;
            const std::lock_guard lock(mutex_);
            if (skipped_.size() < max_skipped) skipped_.push_back(name + ": not a whole request file; waiting for it to change");
        }
        return;
    }
    entry.handled = file.id;
    entry.first.reset();
    {
        const std::lock_guard lock(mutex_);
        ready_.push_back(Ready{name, file, std::move(*text)});
    }
    cv_.notify_one();
}

void WorkDirectory::scan() {
    std::vector<std::string> names;
    std::string error;
    if (!dir_->list("", &names, &error)) return;
    std::map<std::string, Entry> kept;
    for (const auto& name : names) {
        if (!is_request_name(name, prefix_)) continue;
        auto it = entries_.find(name);
        if (it != entries_.end()) kept.emplace(name, std::move(it->second));
    }
    // Names the gateway has deleted may come back for new requests.
    entries_ = std::move(kept);
    for (const auto& name : names)
        if (is_request_name(name, prefix_)) look_at(name, false);
}

void WorkDirectory::housekeeping() {
    const auto now = Clock::now();
    std::vector<std::shared_ptr<Claim>> held;
    {
        const std::lock_guard lock(mutex_);
        held = held_;
    }
    std::vector<Claim*> dropped;
    for (const auto& claim : held) {
        bool settled = false;
        {
            const std::lock_guard lock(mutex_);
            settled = claim->settled;
        }
        if (settled && !still_there(*claim)) {
            release_settled(*claim);
            dropped.push_back(claim.get());
            continue;
        }
        renew_if_due(*claim);
    }
    {
        const std::lock_guard lock(mutex_);
        std::erase_if(held_, [&](const auto& claim) {
            return std::find(dropped.begin(), dropped.end(), claim.get()) != dropped.end();
        });
    }

    // Claims and probes of processes that stopped renewing them, aged on the
    // file system's own clock.
    if (now < next_collect_) return;
    next_collect_ = now + options_.claim_expiry / 4;
    auto clock = dir_->touch(probe_);
    if (!clock) {
        std::string error;
        if (dir_->create_new(probe_, label_, nullptr, &error) == platform::CreateStatus::failed &&
            dir_->make_subdirectory(std::string(claims_dir), &error)) {
            dir_->create_new(probe_, label_, nullptr, &error);
        }
        clock = dir_->modified(probe_);
    }
    if (!clock) return;
    std::vector<std::string> names;
    std::string error;
    if (!dir_->list(std::string(claims_dir), &names, &error)) return;
    for (const auto& name : names) {
        if (!name.ends_with(claim_ext) && !name.ends_with(probe_ext)) continue;
        const std::string path = claims_path(name);
        if (std::any_of(held.begin(), held.end(), [&](const auto& claim) { return claim->path == path; })) continue;
        const auto modified = dir_->modified(path);
        if (modified && *clock - *modified > options_.claim_expiry.count()) dir_->remove(path);
    }
}

Request::Request(WorkDirectory& dir, std::shared_ptr<Claim> claim, RequestText text)
    : dir_(dir), claim_(std::move(claim)), text_(std::move(text)) {}

Request::~Request() {
    // An unfinished request is given up: its output is left as it is and no
    // signal file is made; the claim stays until the gateway deletes the
    // request, so no other process answers it either.
    output_.reset();
    dir_.settle(*claim_);
}

const std::string* Request::find(std::string_view name) const {
    for (const auto& variable : text_.variables)
        if (variable.name == name) return &variable.value;
    // The name as a CGI program knows it, or with "+" for a space as the
    // request file has it.
    std::string other = gateway_name_form(name);
    for (char& c : other)
        if (c == '+') c = ' ';
    if (other == name) return nullptr;
    for (const auto& variable : text_.variables)
        if (variable.name == other) return &variable.value;
    return nullptr;
}

bool Request::still_there() const { return dir_.still_there(*claim_); }

Request::Result Request::end(Result result) {
    done_ = true;
    output_.reset();
    dir_.settle(*claim_);
    return result;
}

Request::Result Request::open_output(std::string* error) {
    // Only a file of the gateway's kind, directly in the work directory: the
    // path comes from a file that anyone who can write the directory can
    // write. It is opened by its name inside the directory, whatever
    // directory the path names (another host may mount the directory
    // elsewhere).
    const std::string name(file_name_of(text_.output_path));
    if (!is_output_name(name)) {
        *error = "output file is not one the gateway makes: " + text_.output_path;
        return end(Result::refused);
    }
    if (!still_there()) {
        *error = "the gateway gave the request up";
        return end(Result::gone);
    }
    switch (dir_.files().open_output(name, &output_, error)) {
        case platform::OpenStatus::ok: return Result::ok;
        case platform::OpenStatus::missing: *error = "the gateway gave the request up"; return end(Result::gone);
        case platform::OpenStatus::refused: return end(Result::refused);
        case platform::OpenStatus::failed: return end(Result::failed);
    }
    return end(Result::failed);
}

Request::Result Request::write(std::string_view bytes, std::string* error) {
    if (done_) {
        *error = "the request is already finished";
        return Result::invalid;
    }
    if (!output_) {
        const Result opened = open_output(error);
        if (opened != Result::ok) return opened;
    }
    if (!output_->write(bytes, error)) return end(Result::failed);
    dir_.renew_if_due(*claim_);
    return Result::ok;
}

Request::Result Request::finish(std::string* error) {
    if (done_) {
        *error = "the request is already finished";
        return Result::invalid;
    }
    if (!output_) {
        const Result opened = open_output(error);
        if (opened != Result::ok) return opened;
    }
    // Closed first: the gateway opens the output without sharing as soon as
    // the signal file is there.
    const bool closed = output_->close(error);
    output_.reset();
    if (!closed) return end(Result::failed);
    if (!still_there()) {
        *error = "the gateway gave the request up";
        return end(Result::gone);
    }
    platform::FileId signal;
    const auto made = dir_.files().create_new(signal_name(claim_->request_name), {}, &signal, error);
    if (made == platform::CreateStatus::failed) return end(Result::failed);
    // The gateway deletes the signal file before the request file. So a
    // request file gone (or made anew) while our signal file is still there
    // means a give-up racing with the signal: the gateway no longer looks for
    // it, and a later request under the same name must not find it. Our
    // signal gone too: the answer was taken. A signal file under that name
    // that is not ours belongs to a later request and stays.
    if (made == platform::CreateStatus::created) {
        dir_.mark_signalled(*claim_, signal);
        if (!still_there() && dir_.remove_own_signal(*claim_)) {
            *error = "the gateway gave the request up";
            return end(Result::gone);
        }
    }
    return end(Result::ok);
}

}  // namespace qga
