#include "answer.h"

namespace qga {

Request::Request(platform::Directory& dir, ClaimBook& book, std::shared_ptr<Claim> claim, RequestText text)
    : dir_(dir), book_(book), claim_(std::move(claim)), text_(std::move(text)) {}

Request::~Request() {
    // An unfinished request is given up: its output is left as it is and no
    // signal file is made; the claim stays until the gateway deletes the
    // request, so no other process answers it either.
    output_.reset();
    book_.settle(*claim_);
}

const Variable* Request::find(std::string_view name) const {
    for (const auto& variable : text_.variables)
        if (variable.name == name) return &variable;
    // The name as a CGI program knows it, or with "+" for a space as the
    // request file has it.
    std::string other = gateway_name_form(name);
    for (char& c : other)
        if (c == '+') c = ' ';
    if (other == name) return nullptr;
    for (const auto& variable : text_.variables)
        if (variable.name == other) return &variable;
    return nullptr;
}

Request::Result Request::end(Result result) {
    done_ = true;
    output_.reset();
    book_.settle(*claim_);
    return result;
}

// Whether the request is no longer ours to answer: the gateway gave it up
// (its request file is gone or made anew), or another process took the claim
// over while this one stood still. Before the two steps that another owner's
// answer could not survive (emptying the output file, making the signal
// file) the claim file itself is looked at (`fresh`): a look remembered from
// a moment ago cannot tell of a takeover since, which a host whose view of
// the claim's time lags (a network file system's attribute cache) may make
// sooner than the expiry promises. The request file is then read again
// too: a file made anew under the name may look like the old one.
bool Request::gone(std::string* error, bool fresh) {
    if (!book_.still_ours(*claim_, fresh)) {
        *error = "another process took the request over";
        return true;
    }
    if (!book_.request_still_there(*claim_, fresh)) {
        *error = "the gateway gave the request up";
        return true;
    }
    return false;
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
    // Opened first, then the request checked: the gateway deletes the request
    // file before it relays and deletes the output, so a request still there
    // means the file held open is this request's output, even if its number
    // is taken by a later request a moment later. Emptied only then.
    switch (dir_.open_output(name, &output_, error)) {
        case platform::OpenStatus::ok: break;
        case platform::OpenStatus::missing: *error = "the gateway gave the request up"; return end(Result::gone);
        case platform::OpenStatus::refused: return end(Result::refused);
        case platform::OpenStatus::failed: return end(Result::failed);
    }
    if (gone(error, true)) return end(Result::gone);
    if (!output_->empty(error)) return end(Result::failed);
    return Result::ok;
}

Request::Result Request::write(std::string_view bytes, std::string* error) {
    if (done_) {
        *error = "the request is already finished";
        return Result::invalid;
    }
    if (!output_) {
        const Result opened = open_output(error);
        if (opened != Result::ok) return opened;
    } else if (gone(error)) {
        // The header promises QGA_GONE once the gateway has given up, not
        // only on the first write.
        return end(Result::gone);
    }
    if (!output_->write(bytes, error)) return end(Result::failed);
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
    if (gone(error, true)) return end(Result::gone);
    platform::FileId signal;
    const auto made = dir_.create_new(signal_name(claim_->request_name), {}, &signal, error);
    switch (made) {
        case platform::CreateStatus::failed: return end(Result::failed);
        case platform::CreateStatus::exists:
            // Not ours: another answer's (this process's claim was taken
            // over), never a success of this one.
            *error = "the request was answered already";
            return end(Result::gone);
        case platform::CreateStatus::created: break;
    }
    // The gateway deletes the signal file before the request file. So a
    // request file gone (or made anew) while our signal file is still there
    // means a give-up racing with the signal: the gateway no longer looks for
    // it, and a later request under the same name must not find it. Our
    // signal gone too: the answer was taken. A signal file under that name
    // that is not ours belongs to a later request and stays.
    book_.mark_signalled(*claim_, signal);
    if (!book_.request_still_there(*claim_) && book_.remove_own_signal(*claim_)) {
        *error = "the gateway gave the request up";
        return end(Result::gone);
    }
    return end(Result::ok);
}

}  // namespace qga
