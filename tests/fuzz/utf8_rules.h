// The well-formed UTF-8 byte sequences, read from the Unicode table row by
// row: an oracle for the fuzz targets that does not share the library's code.
#pragma once

#include <cstddef>
#include <string_view>

namespace fuzz {

// Length of the well-formed UTF-8 character at `pos`, or 0 when none starts
// there (the table of well-formed byte sequences, row by row).
inline std::size_t char_length(std::string_view s, std::size_t pos) {
    auto at = [&](std::size_t i) { return pos + i < s.size() ? static_cast<unsigned char>(s[pos + i]) : 0x100u; };
    auto in = [](unsigned v, unsigned lo, unsigned hi) { return v >= lo && v <= hi; };
    const unsigned b0 = at(0);
    if (b0 <= 0x7F) return 1;
    if (in(b0, 0xC2, 0xDF)) return in(at(1), 0x80, 0xBF) ? 2 : 0;
    if (b0 == 0xE0) return in(at(1), 0xA0, 0xBF) && in(at(2), 0x80, 0xBF) ? 3 : 0;
    if (in(b0, 0xE1, 0xEC) || in(b0, 0xEE, 0xEF)) return in(at(1), 0x80, 0xBF) && in(at(2), 0x80, 0xBF) ? 3 : 0;
    if (b0 == 0xED) return in(at(1), 0x80, 0x9F) && in(at(2), 0x80, 0xBF) ? 3 : 0;
    if (b0 == 0xF0) return in(at(1), 0x90, 0xBF) && in(at(2), 0x80, 0xBF) && in(at(3), 0x80, 0xBF) ? 4 : 0;
    if (in(b0, 0xF1, 0xF3)) return in(at(1), 0x80, 0xBF) && in(at(2), 0x80, 0xBF) && in(at(3), 0x80, 0xBF) ? 4 : 0;
    if (b0 == 0xF4) return in(at(1), 0x80, 0x8F) && in(at(2), 0x80, 0xBF) && in(at(3), 0x80, 0xBF) ? 4 : 0;
    return 0;
}

inline bool valid_utf8(std::string_view s) {
    for (std::size_t pos = 0; pos < s.size();) {
        const std::size_t n = char_length(s, pos);
        if (n == 0) return false;
        pos += n;
    }
    return true;
}

}  // namespace fuzz
