// Letter case of ASCII text, without any locale: settings names, file names,
// variable names and the "HTTP" check ignore case the same way in every
// deliverable.
#pragma once

#include <cstddef>
#include <string_view>

namespace quillgate::common::ascii {

constexpr char lower(char c) { return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c; }

constexpr bool equal_any_case(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (lower(a[i]) != lower(b[i])) return false;
    return true;
}

constexpr bool starts_with_any_case(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && equal_any_case(text.substr(0, prefix.size()), prefix);
}

}  // namespace quillgate::common::ascii
