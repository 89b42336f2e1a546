#include "arrivals.h"

#include <algorithm>
#include <new>

namespace qga {
namespace {

// A file found by listing (not by a close report) whose text does not prove
// itself whole is read twice, this far apart, and taken when both agree.
constexpr std::chrono::milliseconds confirm_delay{100};

}  // namespace

Arrivals::Arrivals(platform::Directory& dir, platform::Watch& watch, std::string prefix,
                   std::chrono::milliseconds scan_interval, std::uint64_t max_request_bytes)
    : dir_(dir),
      watch_(watch),
      prefix_(std::move(prefix)),
      scan_interval_(scan_interval),
      max_request_bytes_(max_request_bytes) {}

void Arrivals::poll(std::chrono::milliseconds limit, std::vector<Arrival>* ready, std::vector<std::string>* reports) {
    ready_ = ready;
    reports_ = reports;
    listed_ = false;
    auto until = Clock::now() + std::max(limit, std::chrono::milliseconds(0));
    until = std::min(until, next_scan_);
    for (const auto& name : confirming_) until = std::min(until, entries_[name].confirm_at);
    const auto now = Clock::now();
    const auto wait =
        until > now ? std::chrono::duration_cast<std::chrono::milliseconds>(until - now) + std::chrono::milliseconds(1)
                    : std::chrono::milliseconds(0);
    std::vector<platform::Change> changes;
    bool overflow = false;
    watch_.wait(wait, &changes, &overflow);

    // Requests reported closed after writing are read at once. A read that a
    // modification report follows is not trusted: the write was still going on.
    std::vector<std::string> closed;
    apply(changes, &closed);
    for (int round = 0; round < 8 && !closed.empty(); ++round) {
        for (const auto& name : closed) look_at(name, true, {});
        changes.clear();
        watch_.drain(&changes, &overflow);
        std::vector<std::string> again;  // close reports that came with the drain: next round
        apply(changes, &again);
        for (const auto& name : closed) {
            const auto it = entries_.find(name);
            if (it == entries_.end()) continue;
            Entry& entry = it->second;
            if (entry.first && entry.first_after_close && entry.modifications == entry.first_modifications &&
                std::find(again.begin(), again.end(), name) == again.end()) {
                platform::FileText file = std::move(*entry.first);
                entry.first.reset();
                confirm(name, entry, std::move(file));
            }
        }
        closed = std::move(again);
    }

    if (overflow || Clock::now() >= next_scan_) {
        scan();
        next_scan_ = Clock::now() + scan_interval_;
        listed_ = true;
    }
    confirm_due();
    ready_ = nullptr;
    reports_ = nullptr;
}

void Arrivals::blocked(const std::string& name, const platform::FileId& id, std::string blocker) {
    Entry& entry = entries_[name];
    entry.judged = id;
    entry.listing_key.clear();
    entry.blocker = std::move(blocker);
    entry.first.reset();
    confirming_.erase(name);
}

void Arrivals::apply(const std::vector<platform::Change>& changes, std::vector<std::string>* closed) {
    for (const auto& change : changes) {
        if (!is_request_name(change.name, prefix_)) continue;
        switch (change.kind) {
            case platform::Change::removed:
                entries_.erase(change.name);
                confirming_.erase(change.name);
                break;
            case platform::Change::modified: ++entries_[change.name].modifications; break;
            case platform::Change::closed_after_write: {
                Entry& entry = entries_[change.name];
                entry.closed = true;
                entry.modifications_at_close = entry.modifications;
                if (std::find(closed->begin(), closed->end(), change.name) == closed->end())
                    closed->push_back(change.name);
                break;
            }
        }
    }
}

bool Arrivals::read(const std::string& name, Entry& entry, platform::FileText* file) {
    std::string error;
    platform::ReadStatus status = platform::ReadStatus::failed;
    try {
        status = dir_.read(name, max_request_bytes_, file, &error);
    } catch (const std::bad_alloc&) {
        // Judged like a file over the limit: retrying would fail the same
        // way on every round, and the requests behind it must go on.
        const auto id = dir_.identify(name);
        if (id) judge(name, entry, *id, name + ": cannot be read: out of memory; skipped");
        return false;
    }
    if (status == platform::ReadStatus::too_large) {
        judge(name, entry, file->id, name + ": larger than the request size limit; not read");
        return false;
    }
    // An empty file is the gateway's placeholder, before its one write.
    return status == platform::ReadStatus::ok && !file->text.empty();
}

void Arrivals::look_at(const std::string& name, bool after_close, const std::string& listing_key) {
    Entry& entry = entries_[name];
    const bool was_closed = entry.closed;
    entry.closed = false;
    // A judged file whose listing shows it unchanged costs nothing more.
    if (entry.judged && !listing_key.empty() && listing_key == entry.listing_key && entry.blocker.empty()) return;
    const auto id = dir_.identify(name);
    if (!id) {
        entries_.erase(name);
        confirming_.erase(name);
        return;
    }
    if (entry.judged && *entry.judged == *id) {
        // Blocked by a claim or a signal file: looked at again once it goes.
        if (entry.blocker.empty() || dir_.exists(entry.blocker)) return;
        entry.blocker.clear();
    }
    entry.judged.reset();
    entry.blocker.clear();
    // Waiting for its second read.
    if (!after_close && entry.first && !entry.first_after_close && entry.first->id == *id) return;
    platform::FileText file;
    if (!read(name, entry, &file)) {
        entry.first.reset();
        confirming_.erase(name);
        if (entry.judged) entry.listing_key = listing_key;
        return;
    }
    if (dir_.reads_exclude_writers()) {
        entry.listing_key = listing_key;
        confirm(name, entry, std::move(file));
        return;
    }
    entry.first = std::move(file);
    entry.first_after_close = after_close && was_closed;
    entry.first_modifications = entry.modifications_at_close;
    entry.confirm_at = Clock::now() + confirm_delay;
    if (entry.first_after_close) {
        confirming_.erase(name);
        return;
    }
    // A text that proves itself whole needs no second read.
    if (auto text = parse_request(entry.first->text); text && proves_whole(*text)) {
        platform::FileText whole = std::move(*entry.first);
        entry.first.reset();
        confirming_.erase(name);
        confirm(name, entry, std::move(whole), std::move(text));
        return;
    }
    confirming_.insert(name);
}

void Arrivals::confirm_due() {
    const auto now = Clock::now();
    std::vector<std::string> due;
    for (const auto& name : confirming_)
        if (now >= entries_[name].confirm_at) due.push_back(name);
    for (const auto& name : due) {
        confirming_.erase(name);
        Entry& entry = entries_[name];
        if (!entry.first) continue;
        platform::FileText again;
        if (!read(name, entry, &again)) {
            entry.first.reset();
            continue;
        }
        if (again.text == entry.first->text && again.id == entry.first->id) {
            entry.first.reset();
            confirm(name, entry, std::move(again));
        } else {
            entry.first = std::move(again);
            entry.confirm_at = Clock::now() + confirm_delay;
            confirming_.insert(name);
        }
    }
}

void Arrivals::judge(const std::string& name, Entry& entry, const platform::FileId& id, std::string report) {
    entry.judged = id;
    entry.blocker.clear();
    entry.first.reset();
    confirming_.erase(name);
    if (!report.empty() && reports_ != nullptr) reports_->push_back(std::move(report));
}

void Arrivals::confirm(const std::string& name, Entry& entry, platform::FileText file,
                       std::optional<RequestText> text) {
    if (!text) text = parse_request(file.text);
    if (!text) {
        // A file that stays as it is: reported once, and looked at again only
        // when it changes (a gateway ended halfway through its write leaves
        // such a file until it ages out).
        judge(name, entry, file.id, name + ": not a whole request file; skipped until it changes");
        return;
    }
    const std::uint64_t stamp = claim_stamp(file.text, file.modified_s);
    judge(name, entry, file.id, {});
    if (ready_ != nullptr) ready_->push_back(Arrival{name, file.id, stamp, std::move(*text)});
}

void Arrivals::scan() {
    std::vector<platform::Listed> listed;
    std::string error;
    if (!dir_.list("", &listed, &error)) return;
    std::map<std::string, Entry> kept;
    for (const auto& item : listed) {
        if (!is_request_name(item.name, prefix_)) continue;
        auto it = entries_.find(item.name);
        if (it != entries_.end()) kept.emplace(item.name, std::move(it->second));
    }
    // Names the gateway has deleted may come back for new requests.
    entries_ = std::move(kept);
    std::erase_if(confirming_, [&](const std::string& name) { return !entries_.contains(name); });
    for (const auto& item : listed)
        if (is_request_name(item.name, prefix_)) look_at(item.name, false, item.key);
}

}  // namespace qga
