// Conversions between UTF-8 and UTF-16.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace permwell {

// Strict: nullopt for any byte sequence that is not well-formed UTF-8.
std::optional<std::u16string> utf8_to_utf16(std::string_view text);
// Lenient: ill-formed sequences become U+FFFD.
std::u16string utf8_to_utf16_lossy(std::string_view text);
// Unpaired surrogates become U+FFFD.
std::string utf16_to_utf8(std::u16string_view text);
// The longest prefix of at most max_bytes bytes that does not split a character.
std::size_t utf8_prefix_length(std::string_view text, std::size_t max_bytes);

}  // namespace permwell
