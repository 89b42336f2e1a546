// What the gateway's request file should hold for one environment entry, for
// the targets that check its encoder (request_text) and its decoder
// (app_decode) against it.
#pragma once

#include <optional>
#include <string>
#include <string_view>

namespace fuzz {

struct Variable {
    std::string name;
    std::string value;
    bool operator==(const Variable&) const = default;
};

// Only the entry's first 127 bytes count (all of them with `full`, the
// gateway's FullValues=1); it splits at the first "=", "HTTP_" goes, and an
// empty name or value adds nothing. Underscores and spaces in the name show
// as "+", as in the file.
inline std::optional<Variable> expected_variable(std::string_view entry, bool full = false) {
    if (!full) entry = entry.substr(0, 127);
    const auto eq = entry.find('=');
    if (eq == std::string_view::npos) return std::nullopt;
    std::string_view name = entry.substr(0, eq);
    const std::string_view value = entry.substr(eq + 1);
    if (name.starts_with("HTTP_")) name.remove_prefix(5);
    if (name.empty() || value.empty()) return std::nullopt;
    std::string shown(name);
    for (char& c : shown)
        if (c == '_' || c == ' ') c = '+';
    return Variable{shown, std::string(value)};
}

}  // namespace fuzz
