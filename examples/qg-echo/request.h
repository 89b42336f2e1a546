#pragma once
// One request as qg-echo's answers see it: copied out of the application
// library's handle (which decodes the request file).

#include <string>
#include <string_view>
#include <vector>

#include "decode.h"

namespace qgecho {

struct Request {
    std::string output_path;      // exactly as the gateway wrote it
    std::vector<Pair> variables;  // decoded names and values, in file order
    std::string body;             // the form body
    bool has_body = false;

    // First variable with this decoded name (e.g. "REQUEST METHOD"), or nullptr.
    [[nodiscard]] const std::string* find(std::string_view name) const;
};

}  // namespace qgecho
