// The hand-off of one FastCGI request on the calling thread, from its
// parameters to its answer: for a responder that serves one request at a
// time on each connection, as IIS's FastCGI module sends them. The request
// text, file names, waiting, relay, clean-up, error pages and log lines are
// the CGI program's own.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "fastcgi/connection.h"
#include "fastcgi/settings.h"

namespace qg::fastcgi {

// Hands the request over and waits for its answer. `given_up` is asked at
// least every `check_ms` while the request waits; once it says the server
// gave the request up, the request's files go and nothing is returned.
// Otherwise returns the answer as STDOUT records (the application's, or an
// error page), without the end of the request.
std::optional<std::string> hand_off(std::uint16_t id, Incoming incoming, const Settings& settings,
                                    const std::function<bool()>& given_up, std::uint32_t check_ms);

}  // namespace qg::fastcgi
