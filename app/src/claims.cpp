#include "claims.h"

#include <algorithm>
#include <cstdio>

#include "request_text.h"

namespace qga {
namespace {

constexpr std::string_view claim_ext = ".clm";
constexpr std::string_view probe_ext = ".live";

std::string hex16(std::uint64_t value) {
    char text[17];
    std::snprintf(text, sizeof text, "%016llx", static_cast<unsigned long long>(value));
    return text;
}

bool same_file(const platform::FileId& a, const platform::FileId& b) {
    // A touch changes the status-change time and nothing else we look at.
    return a.device == b.device && a.inode == b.inode;
}

}  // namespace

std::string claims_path(std::string_view name) {
    std::string path(claims_dir);
    path += '/';
    path += name;
    return path;
}

ClaimBook::ClaimBook(platform::Directory& dir, std::string label, std::string instance, std::chrono::seconds expiry)
    : dir_(dir), label_(std::move(label)), probe_(claims_path(instance + std::string(probe_ext))), expiry_(expiry) {}

ClaimBook::~ClaimBook() {
    {
        const std::lock_guard lock(mutex_);
        stopping_ = true;
    }
    cv_.notify_all();
    if (renewer_.joinable()) renewer_.join();
    tidy();
    dir_.remove(probe_);
    // Left only while another process holds claims; made again when needed.
    dir_.remove_subdirectory_if_empty(std::string(claims_dir));
}

bool ClaimBook::start(std::string* error) {
    if (!dir_.make_subdirectory(std::string(claims_dir), error)) return false;
    return dir_.create_new(probe_, label_, nullptr, error) != platform::CreateStatus::failed;
}

void ClaimBook::start_renewing() {
    renewer_ = platform::start_quiet_thread([this] { renew_loop(); });
}

ClaimBook::Take ClaimBook::take(const std::string& name, const platform::FileId& id, std::uint64_t stamp,
                                std::shared_ptr<Claim>* out, std::string* blocker, std::string* error) {
    // The gateway never names a request whose signal file exists, so a
    // request with one was answered already (its gateway ended before it
    // took the answer, or is about to take it).
    const std::string signal = signal_name(name);
    if (dir_.exists(signal)) {
        *blocker = signal;
        return Take::answered;
    }
    auto claim = std::make_shared<Claim>();
    claim->request_name = name;
    claim->path = claims_path(name + "." + hex16(stamp) + std::string(claim_ext));
    claim->request = id;
    claim->stamp = stamp;
    auto made = dir_.create_new(claim->path, label_, &claim->made, error);
    if (made == platform::CreateStatus::failed && dir_.make_subdirectory(std::string(claims_dir), error)) {
        // Another process removed the claims folder when it closed while empty.
        made = dir_.create_new(claim->path, label_, &claim->made, error);
    }
    switch (made) {
        case platform::CreateStatus::exists: *blocker = claim->path; return Take::claimed;
        case platform::CreateStatus::failed: return Take::failed;
        case platform::CreateStatus::created: break;
    }
    // The gateway may have deleted the request (and a new one taken its name)
    // since it was read, or the answer's signal file may have come meanwhile
    // from an owner whose claim had just been collected: then this claim is
    // for nothing. The text is compared too: an owner releases its claim
    // once the gateway deletes the request, so a process that read the text
    // just before that could otherwise claim, and answer, a request that was
    // answered already, in the place of the next one under the name.
    if (!request_still_there(*claim, true) || dir_.exists(signal)) {
        dir_.remove(claim->path);
        *blocker = signal;
        return Take::answered;
    }
    claim->verified = Clock::now();
    {
        const std::lock_guard lock(mutex_);
        held_.push_back(claim);
    }
    *out = std::move(claim);
    return Take::won;
}

bool ClaimBook::request_still_there(const Claim& claim, bool thorough) {
    if (!thorough) {
        const auto id = dir_.identify(claim.request_name);
        return id && *id == claim.request;
    }
    platform::FileText file;
    std::string error;
    // A text longer than the one claimed is another text.
    if (dir_.read(claim.request_name, claim.request.size, &file, &error) != platform::ReadStatus::ok) return false;
    return file.id == claim.request && claim_stamp(file.text, file.modified_s) == claim.stamp;
}

bool ClaimBook::still_ours(Claim& claim, bool fresh) {
    {
        const std::lock_guard lock(mutex_);
        if (claim.lost) return false;
        if (!fresh && Clock::now() - claim.verified < expiry_ / 4) return true;
    }
    return verify(claim);
}

bool ClaimBook::verify(Claim& claim) {
    // One look at a time: two threads finding the claim gone must not both
    // make it again, one of them then judging the other's file foreign.
    const std::lock_guard looking(verify_mutex_);
    std::unique_lock lock(mutex_);
    if (claim.lost) return false;
    const platform::FileId made = claim.made;
    lock.unlock();
    // Ours: the file made, still holding this process's label. An inode
    // number is used again as soon as it is free, so the file's identity
    // alone could take another process's new claim for ours.
    platform::FileText now;
    std::string error;
    const auto status = dir_.read(claim.path, 4096, &now, &error);
    bool ours = status == platform::ReadStatus::ok && same_file(now.id, made) && now.text == label_;
    platform::FileId remade = made;
    if (status == platform::ReadStatus::missing) {
        // Collected while this process stood still, and nobody took the
        // request over: it is still ours to answer.
        ours = dir_.create_new(claim.path, label_, &remade, &error) == platform::CreateStatus::created;
    }
    lock.lock();
    if (ours) {
        claim.made = remade;
        claim.verified = Clock::now();
    } else {
        claim.lost = true;
    }
    return ours;
}

void ClaimBook::settle(Claim& claim) {
    const std::lock_guard lock(mutex_);
    claim.settled = true;
}

void ClaimBook::mark_signalled(Claim& claim, const platform::FileId& signal) {
    const std::lock_guard lock(mutex_);
    claim.signal = signal;
}

bool ClaimBook::remove_own_signal(const Claim& claim) {
    std::optional<platform::FileId> made;
    {
        const std::lock_guard lock(mutex_);
        made = claim.signal;
    }
    const std::string signal = signal_name(claim.request_name);
    if (!made || dir_.identify(signal) != made) return false;
    return dir_.remove(signal);
}

void ClaimBook::release(const Claim& claim) {
    // The gateway deletes the signal file before the request file, whether it
    // took the answer or gave up. So once the request file is gone, a signal
    // file of ours still there was never taken: the gateway gave up while it
    // was being made. Left behind, it would keep the number from later
    // requests, or answer a later request of that name with whatever its
    // output file holds.
    remove_own_signal(claim);
    bool lost = false;
    {
        const std::lock_guard lock(mutex_);
        lost = claim.lost;
    }
    // A lost claim's file is another process's now.
    if (!lost) dir_.remove(claim.path);
}

void ClaimBook::tidy() {
    std::vector<std::shared_ptr<Claim>> held;
    {
        const std::lock_guard lock(mutex_);
        held = held_;
    }
    std::vector<const Claim*> dropped;
    for (const auto& claim : held) {
        bool settled = false;
        {
            const std::lock_guard lock(mutex_);
            settled = claim->settled;
        }
        if (settled && !request_still_there(*claim)) {
            release(*claim);
            dropped.push_back(claim.get());
        }
    }
    const std::lock_guard lock(mutex_);
    std::erase_if(held_, [&](const auto& claim) {
        return std::find(dropped.begin(), dropped.end(), claim.get()) != dropped.end();
    });
}

void ClaimBook::renew() {
    std::vector<std::shared_ptr<Claim>> held;
    {
        const std::lock_guard lock(mutex_);
        held = held_;
    }
    for (const auto& claim : held) {
        if (verify(*claim)) dir_.touch(claim->path);
    }
    if (Clock::now() >= next_collect_) {
        next_collect_ = Clock::now() + expiry_ / 4;
        collect();
    }
}

void ClaimBook::collect() {
    // The file system's "now": this process's probe, just touched.
    auto clock = dir_.touch(probe_);
    if (!clock) {
        std::string error;
        if (dir_.create_new(probe_, label_, nullptr, &error) == platform::CreateStatus::failed &&
            dir_.make_subdirectory(std::string(claims_dir), &error)) {
            dir_.create_new(probe_, label_, nullptr, &error);
        }
        clock = dir_.modified(probe_);
    }
    if (!clock) return;
    std::vector<platform::Listed> names;
    std::string error;
    if (!dir_.list(std::string(claims_dir), &names, &error)) return;
    std::vector<std::string> ours;
    {
        const std::lock_guard lock(mutex_);
        for (const auto& claim : held_)
            if (!claim->lost) ours.push_back(claim->path);
    }
    for (const auto& item : names) {
        if (!item.name.ends_with(claim_ext) && !item.name.ends_with(probe_ext)) continue;
        const std::string path = claims_path(item.name);
        if (path == probe_ || std::find(ours.begin(), ours.end(), path) != ours.end()) continue;
        const auto modified = dir_.modified(path);
        if (modified && *clock - *modified > expiry_.count()) dir_.remove(path);
    }
}

void ClaimBook::renew_loop() {
    std::unique_lock lock(mutex_);
    while (!stopping_) {
        cv_.wait_for(lock, expiry_ / 4, [this] { return stopping_; });
        if (stopping_) break;
        lock.unlock();
        renew();
        lock.lock();
    }
}

std::size_t ClaimBook::held() const {
    const std::lock_guard lock(mutex_);
    return held_.size();
}

}  // namespace qga
