#pragma once
// Text helpers for the request file's variable line and for the echo page.

#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace qgecho {

using Pair = std::pair<std::string, std::string>;

// Undoes the gateway's field encoding: "+" is a space and "%XX" a byte
// (either letter case). A "%" not followed by two hex digits is kept as is.
std::string url_decode(std::string_view text);

// Splits "a=1&b=2" into decoded pairs. Empty segments are skipped; a
// segment without "=" gives an empty value.
std::vector<Pair> split_pairs(std::string_view text);

// Makes text safe to place inside HTML element content and attribute values.
std::string html_escape(std::string_view text);

}  // namespace qgecho
