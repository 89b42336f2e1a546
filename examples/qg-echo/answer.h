#pragma once
// What qg-echo answers to one request: the behaviour asked for by test
// parameters in the query string, and the response text.

#include <chrono>
#include <cstddef>
#include <optional>
#include <string>

#include "request.h"

namespace qgecho {

// Query parameters that steer the answer:
//   qg_sleep=N      answer after N milliseconds (at most kMaxSleep)
//   qg_status=N     answer with its own status line "HTTP/1.0 N <reason>"
//   qg_location=URL with qg_status, a Location header
//   qg_bytes=N      answer with exactly N bytes of a fixed pattern (at most kMaxBytes)
//   qg_empty=1      leave the output file empty
// Values that are not plain decimal numbers in range are ignored.
struct Behaviour {
    std::chrono::milliseconds delay{0};
    std::optional<int> status;
    std::string location;
    std::optional<std::size_t> bytes;
    bool empty = false;
};

inline constexpr std::chrono::milliseconds kMaxSleep{600'000};
inline constexpr std::size_t kMaxBytes = 64U * 1024U * 1024U;

Behaviour behaviour_for(const Request& request);

// The whole text for the output file.
std::string render_answer(const Request& request, const Behaviour& behaviour);

// The first n bytes of the pattern that qg_bytes answers with: lines of 64
// characters, letters and digits then a line feed. It never begins with
// "HTTP", so the gateway puts its default header in front.
std::string byte_pattern(std::size_t n);

}  // namespace qgecho
