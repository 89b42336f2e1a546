#include "sid.h"

#include <charconv>

namespace permwell {

namespace {

constexpr std::size_t max_sub_authorities = 15;
constexpr std::uint64_t max_authority = (std::uint64_t{1} << 48) - 1;

// Reads one decimal component of at most `limit`, moving `text` past it.
template <typename Number>
bool read_number(std::string_view& text, Number limit, Number& out) {
    const char* end = text.data() + text.size();
    auto [next, error] = std::from_chars(text.data(), end, out);
    if (error != std::errc{} || next == text.data() || out > limit) {
        return false;
    }
    text.remove_prefix(static_cast<std::size_t>(next - text.data()));
    return true;
}

}  // namespace

std::string Sid::text() const {
    std::string out = "S-1-" + std::to_string(authority);
    for (std::uint32_t sub : sub_authorities) {
        out += '-';
        out += std::to_string(sub);
    }
    return out;
}

std::optional<Sid> Sid::parse(std::string_view text) {
    constexpr std::string_view prefix = "S-1-";
    if (!text.starts_with(prefix)) {
        return std::nullopt;
    }
    text.remove_prefix(prefix.size());
    Sid sid;
    if (!read_number(text, max_authority, sid.authority)) {
        return std::nullopt;
    }
    while (!text.empty()) {
        if (text.front() != '-' || sid.sub_authorities.size() == max_sub_authorities) {
            return std::nullopt;
        }
        text.remove_prefix(1);
        std::uint32_t sub = 0;
        if (!read_number(text, UINT32_MAX, sub)) {
            return std::nullopt;
        }
        sid.sub_authorities.push_back(sub);
    }
    return sid;
}

}  // namespace permwell
