// Security identifiers: the account identity carried by every DACL entry.
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace permwell {

struct Sid {
    std::uint64_t authority = 0;  // 48-bit identifier authority
    std::vector<std::uint32_t> sub_authorities;

    // "S-1-<authority>-<sub>-<sub>...", the identifier's text form.
    std::string text() const;
    // Bytes the identifier occupies inside an access-control entry.
    std::size_t byte_length() const { return 8 + 4 * sub_authorities.size(); }

    // Parses the text form; nullopt for anything else.
    static std::optional<Sid> parse(std::string_view text);
    static Sid everyone() { return Sid{1, {0}}; }

    bool operator==(const Sid&) const = default;
};

}  // namespace permwell
