// A claimed request: its decoded text and its answer, in the order the
// gateway relies on: the output file written and closed, then the signal
// file made. Only the output file the gateway made for this request is ever
// written, and only while this process still owns the claim.
#pragma once

#include <memory>
#include <string>
#include <string_view>

#include "claims.h"
#include "platform.h"
#include "request_text.h"

namespace qga {

class Request {
public:
    enum class Result { ok, gone, refused, invalid, failed };

    Request(platform::Directory& dir, ClaimBook& book, std::shared_ptr<Claim> claim, RequestText text);
    Request(const Request&) = delete;
    Request& operator=(const Request&) = delete;
    // Gives the request up when it was not finished.
    ~Request();

    const std::string& name() const { return claim_->request_name; }
    const RequestText& text() const { return text_; }
    // The value of the first variable of this name, given as the request
    // file has it or as a CGI program knows it.
    const Variable* find(std::string_view name) const;

    Result write(std::string_view bytes, std::string* error);
    Result finish(std::string* error);

private:
    Result open_output(std::string* error);
    Result end(Result result);
    bool gone(std::string* error, bool fresh = false);

    platform::Directory& dir_;
    ClaimBook& book_;
    std::shared_ptr<Claim> claim_;
    RequestText text_;
    std::unique_ptr<platform::OutputFile> output_;
    bool done_ = false;
};

}  // namespace qga
